#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Waits for what real I/O or another process will bring about. The bound is
// generous, so a loaded machine only makes a test slower; no rule of the
// code under test is timed by it.
template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
