#include "bench/bench_modem.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace bench {

BenchModem::BenchModem() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  // Raw from the start: a cooked slave would echo our notifications back to
  // us before the program has set its own line.
  termios raw{};
  ::tcgetattr(slave_, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(slave_, TCSANOW, &raw);
  devicePath_ = name;
  thread_ = std::thread([this] { run(); });
}

BenchModem::~BenchModem() {
  stop_ = true;
  thread_.join();
  ::close(slave_);
  ::close(master_);
}

void BenchModem::writeAll(const std::string& bytes) {
  std::lock_guard lock(writeMutex_);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    }
  }
}

Clock::time_point BenchModem::placeCall(int64_t number) {
  writeAll("\r\nRING\r\n\r\n+CLIP: \"+7" + std::to_string(number) + "\",145,,,,0\r\n");
  return Clock::now();
}

void BenchModem::answer(const std::string& command) {
  if (command.empty()) return;
  if (command == "AT+CGMI") return writeAll("\r\nBENCH\r\n\r\nOK\r\n");
  if (command == "AT+CGMM") return writeAll("\r\nB-1\r\n\r\nOK\r\n");
  if (command == "AT+CPMS?") return writeAll("\r\n+CPMS: \"SM\",0,20,\"SM\",0,20\r\n\r\nOK\r\n");
  writeAll("\r\nOK\r\n");
  std::lock_guard lock(mutex_);
  if (command == "ATH") ++hangUps_;
  if (command == "AT+CLIP=1") clipArmed_ = true;
  changed_.notify_all();
}

void BenchModem::run() {
  std::string line;
  char buffer[512];
  while (!stop_) {
    pollfd fd{master_, POLLIN, 0};
    if (::poll(&fd, 1, 50) <= 0) continue;
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) continue;
    // Commands end in "\r" (or "\r\n"); the echo is never turned on here.
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c == '\r') {
        answer(line);
        line.clear();
      } else if (c != '\n' && line.size() < 256) {
        line.push_back(c);
      }
    }
  }
}

int64_t BenchModem::hangUps() const {
  std::lock_guard lock(mutex_);
  return hangUps_;
}

bool BenchModem::waitHangUps(int64_t atLeast, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return hangUps_ >= atLeast; });
}

bool BenchModem::waitClipArmed(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return clipArmed_; });
}

void BenchModem::resetClipArmed() {
  std::lock_guard lock(mutex_);
  clipArmed_ = false;
}

}  // namespace bench
