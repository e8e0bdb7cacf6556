#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <optional>
#include <mutex>
#include <thread>

#include "bench/bench_modem.h"

namespace bench {

// A message server on a loopback port: grants access, answers every block
// with one block as the real one does, and notes when each call event
// (keyed by its number) has been read in full.
class BenchServer {
 public:
  BenchServer();
  ~BenchServer();
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  uint16_t port() const { return port_; }
  bool waitConnected(std::chrono::milliseconds limit);
  // The time at which the event for number was read, or nullopt on time-out.
  std::optional<Clock::time_point> waitEvent(int64_t number, std::chrono::milliseconds limit);
  int64_t eventCount() const;
  bool waitEventCount(int64_t atLeast, std::chrono::milliseconds limit);

 private:
  void run();
  void serve(int client);

  int listener_ = -1;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int64_t, Clock::time_point> events_;
  int64_t eventCount_ = 0;
  bool connected_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace bench
