#pragma once

// What both tools need around their poll loop: a stop flag set by SIGINT or
// SIGTERM, and a monotonic millisecond clock.
#include <signal.h>
#include <time.h>

#include <cstdint>

namespace tools {

inline volatile sig_atomic_t g_stop = 0;

inline void OnStopSignal(int) { g_stop = 1; }

// The signals stay blocked except inside ppoll (given the unblocked mask),
// so one cannot slip in between the check of the flag and the wait.
inline void InstallStopSignals() {
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, nullptr);
}

inline int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace tools
