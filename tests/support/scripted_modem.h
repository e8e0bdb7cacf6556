#pragma once

// A GSM modem on a pseudo-terminal, for the end-to-end and fault tests and
// the benchmark: it answers every command line the program writes, sends
// what a test queues, and can vanish and come back behind a stable symlink.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pty_pair.h"

namespace testsupport {

class ScriptedModem {
 public:
  using SteadyClock = std::chrono::steady_clock;
  // The reply bytes to one command line, given without its "\r" or "\r\n".
  using Answer = std::function<std::string(const std::string& command)>;

  // With its echo off: OK to everything, a manufacturer and a model to
  // AT+CGMI and AT+CGMM.
  static std::string StandardAnswer(const std::string& command);

  // The program is given linkPath, a symlink that always points at the
  // current pseudo-terminal, as its serial device.
  explicit ScriptedModem(std::filesystem::path linkPath);
  ~ScriptedModem();
  ScriptedModem(const ScriptedModem&) = delete;
  ScriptedModem& operator=(const ScriptedModem&) = delete;

  const std::filesystem::path& LinkPath() const { return linkPath_; }

  // Called on the modem's own thread; may itself call Send.
  void SetAnswer(Answer answer);
  // Asked on the modem's own thread every few milliseconds for bytes that
  // fall due by themselves (a ring repeated, a report), which go out then.
  using Ticker = std::function<std::string()>;
  void SetTicker(Ticker ticker);
  // ERROR to every command while on, whatever the answer function says.
  void AnswerError(bool on) { error_ = on; }

  // Unsolicited bytes. They go out from the modem's own thread, in order
  // with its replies, and never block the caller.
  void Send(const std::string& bytes);
  // The same, then waits until the last of the bytes has been written to
  // the line: the moment it was, or nullopt when that took longer than limit.
  std::optional<SteadyClock::time_point> SendStamped(const std::string& bytes,
                                                     std::chrono::milliseconds limit = std::chrono::seconds(5));
  // True once every byte handed to Send has been written to the line.
  bool Drained();

  // Every line the program wrote, with its line end ("AT+CLIP=1\r", "ATA\r\n").
  std::vector<std::string> Commands();
  size_t Count(const std::string& line);
  bool WaitForCount(const std::string& line, size_t atLeast, std::chrono::milliseconds limit);

  // The far end of the line goes away; the device under the symlink is gone.
  void Vanish();
  // A new pseudo-terminal behind the same symlink, as a re-plugged adapter.
  void Return();

 private:
  struct StampRequest {
    uint64_t lastByte = 0;  // written_ once the request's last byte is out
    std::optional<SteadyClock::time_point> at;
    bool done = false;
  };

  void Open();  // with mutex_ held, or before the thread exists
  void Run();
  void Wake();
  void Queue(const std::string& bytes);  // with mutex_ held
  void Flush();
  void Record(const std::string& line);
  void SettleStamps(bool discarded);  // with mutex_ held

  const std::filesystem::path linkPath_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> error_{false};
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_:
  std::unique_ptr<PtyPair> line_;
  Answer answer_ = StandardAnswer;
  Ticker ticker_;
  std::vector<std::string> commands_;
  std::string pending_;
  uint64_t queued_ = 0;   // bytes ever handed to the line
  uint64_t written_ = 0;  // of those, written (or dropped by Vanish)
  std::vector<StampRequest*> stamps_;
  std::thread thread_;  // last: it starts once the rest is there
};

}  // namespace testsupport
