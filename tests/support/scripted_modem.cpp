#include "tests/support/scripted_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace testsupport {
namespace {

// How late the modem's thread sees a stop or a vanished line.
constexpr int kSliceMs = 10;
// A flood goes out in pieces, so the lock is never held for long.
constexpr size_t kPiece = 1024;

}  // namespace

std::string ScriptedModem::StandardAnswer(const std::string& command) {
  if (command.rfind("AT+CGMI", 0) == 0) return "\r\nACME\r\n\r\nOK\r\n";
  if (command.rfind("AT+CGMM", 0) == 0) return "\r\nGSM-1\r\n\r\nOK\r\n";
  return "\r\nOK\r\n";
}

ScriptedModem::ScriptedModem(std::filesystem::path linkPath) : linkPath_(std::move(linkPath)) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2 failed");
  Open();
  thread_ = std::thread([this] { Run(); });
}

ScriptedModem::~ScriptedModem() {
  stop_ = true;
  Wake();
  thread_.join();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void ScriptedModem::SetAnswer(Answer answer) {
  std::lock_guard lock(mutex_);
  answer_ = std::move(answer);
}

void ScriptedModem::SetTicker(Ticker ticker) {
  std::lock_guard lock(mutex_);
  ticker_ = std::move(ticker);
}

void ScriptedModem::Send(const std::string& bytes) {
  {
    std::lock_guard lock(mutex_);
    Queue(bytes);
  }
  Wake();
}

std::optional<ScriptedModem::SteadyClock::time_point> ScriptedModem::SendStamped(const std::string& bytes,
                                                                                 std::chrono::milliseconds limit) {
  StampRequest request;
  std::unique_lock lock(mutex_);
  Queue(bytes);
  request.lastByte = queued_;
  stamps_.push_back(&request);
  Wake();
  changed_.wait_for(lock, limit, [&] { return request.done; });
  stamps_.erase(std::find(stamps_.begin(), stamps_.end(), &request));
  return request.at;
}

bool ScriptedModem::Drained() {
  std::lock_guard lock(mutex_);
  return pending_.empty();
}

std::vector<std::string> ScriptedModem::Commands() {
  std::lock_guard lock(mutex_);
  return commands_;
}

size_t ScriptedModem::Count(const std::string& line) {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count(commands_.begin(), commands_.end(), line));
}

bool ScriptedModem::WaitForCount(const std::string& line, size_t atLeast, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    return static_cast<size_t>(std::count(commands_.begin(), commands_.end(), line)) >= atLeast;
  });
}

void ScriptedModem::Vanish() {
  std::lock_guard lock(mutex_);
  line_.reset();
  written_ += pending_.size();
  pending_.clear();
  SettleStamps(true);
}

void ScriptedModem::Return() {
  {
    std::lock_guard lock(mutex_);
    Open();
  }
  Wake();
}

void ScriptedModem::Open() {
  try {
    line_ = std::make_unique<PtyPair>();
  } catch (const std::runtime_error&) {
    return;  // no line: the program finds no device, as with an unplugged adapter
  }
  // Only the program holds the device open, so its close shows as a hang-up.
  line_->CloseSlave();
  // Replace the link in one step, so the program never finds it missing.
  const auto temporary = linkPath_.string() + ".new";
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  std::filesystem::create_symlink(line_->SlavePath(), temporary, ignored);
  std::filesystem::rename(temporary, linkPath_, ignored);
}

void ScriptedModem::Wake() {
  const char byte = 0;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);  // a full pipe is awake enough
}

void ScriptedModem::Queue(const std::string& bytes) {
  pending_ += bytes;
  queued_ += bytes.size();
}

// Marks the requests whose last byte is out; with discarded, every one left:
// their bytes will never be written.
void ScriptedModem::SettleStamps(bool discarded) {
  const auto now = SteadyClock::now();
  for (StampRequest* r : stamps_) {
    if (r->done) continue;
    if (written_ >= r->lastByte && !discarded) r->at = now;
    if (written_ >= r->lastByte || discarded) r->done = true;
  }
  changed_.notify_all();
}

// Writes what the line takes now; the rest waits for room.
void ScriptedModem::Flush() {
  std::lock_guard lock(mutex_);
  while (line_ && !pending_.empty()) {
    const ssize_t n = ::write(line_->MasterFd(), pending_.data(), std::min(pending_.size(), kPiece));
    if (n <= 0) break;  // full, or nobody there: EAGAIN or EIO
    pending_.erase(0, static_cast<size_t>(n));
    written_ += static_cast<uint64_t>(n);
    SettleStamps(false);
  }
}

void ScriptedModem::Run() {
  std::string input;
  while (!stop_) {
    Ticker ticker;
    {
      std::lock_guard lock(mutex_);
      ticker = ticker_;
    }
    if (ticker) {
      // Outside the lock, like an answer function.
      const std::string due = ticker();
      std::lock_guard lock(mutex_);
      if (line_) Queue(due);
    }
    Flush();
    int fd = -1;
    bool pending = false;
    {
      std::lock_guard lock(mutex_);
      if (line_) fd = line_->MasterFd();
      pending = !pending_.empty();
    }
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    if (::poll(fds, count, kSliceMs) < 0) continue;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (count < 2) continue;
    // A master reports a hang-up for as long as nobody has the slave open
    // (yet, or any more); it would wake the loop at once, forever.
    if (fds[1].revents & POLLHUP) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
      continue;
    }
    if (!(fds[1].revents & POLLIN)) continue;
    char buffer[512];
    ssize_t n;
    {
      std::lock_guard lock(mutex_);
      if (!line_ || line_->MasterFd() != fd) continue;  // vanished meanwhile
      n = ::read(fd, buffer, sizeof buffer);
    }
    if (n <= 0) continue;
    input.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = input.find('\r')) != std::string::npos) {
      if (end + 1 < input.size() && input[end + 1] == '\n') ++end;
      Record(input.substr(0, end + 1));
      input.erase(0, end + 1);
    }
  }
}

void ScriptedModem::Record(const std::string& line) {
  Answer answer;
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(line);
    answer = answer_;
  }
  changed_.notify_all();
  std::string command = line;
  while (!command.empty() && (command.back() == '\r' || command.back() == '\n')) command.pop_back();
  // Outside the lock: an answer function may queue bytes of its own.
  const std::string reply = error_ ? "\r\nERROR\r\n" : answer ? answer(command) : std::string();
  std::lock_guard lock(mutex_);
  Queue(reply);
}

}  // namespace testsupport
