#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace bench {

using Clock = std::chrono::steady_clock;

// A modem that answers at once and places calls when told, on the master
// side of a pseudo-terminal; the program opens the slave path. Replies carry
// no delay of their own, so every millisecond measured is the program's.
class BenchModem {
 public:
  BenchModem();
  ~BenchModem();
  BenchModem(const BenchModem&) = delete;
  BenchModem& operator=(const BenchModem&) = delete;

  const std::string& devicePath() const { return devicePath_; }

  // Writes a ring and a caller identification for number; returns the time
  // at which its last byte had been written.
  Clock::time_point placeCall(int64_t number);

  // Counts of commands answered; waits return false on time-out.
  int64_t hangUps() const;
  bool waitHangUps(int64_t atLeast, std::chrono::milliseconds limit);
  bool waitClipArmed(std::chrono::milliseconds limit);  // the start-up dialogue is through
  void resetClipArmed();

 private:
  void run();
  void answer(const std::string& command);
  void writeAll(const std::string& bytes);

  int master_ = -1;
  int slave_ = -1;  // kept open so the master never reads EIO between program runs
  std::string devicePath_;
  std::mutex writeMutex_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int64_t hangUps_ = 0;
  bool clipArmed_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace bench
