#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyPair::PtyPair() {
  char name[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  slavePath_ = name;
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
  CloseSlave();
  CloseMaster();
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyPair::CloseSlave() {
  if (slave_ >= 0) ::close(slave_);
  slave_ = -1;
}

bool PtyPair::WriteMaster(std::string_view bytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd pfd{master_, POLLOUT, 0};
    if (RemainingMs(deadline) == 0) return false;
    ::poll(&pfd, 1, RemainingMs(deadline));
  }
  return true;
}

std::string PtyPair::ReadMaster(std::size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string got;
  char buffer[4096];
  while (got.size() < count) {
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      got.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (RemainingMs(deadline) == 0) break;
    pollfd pfd{master_, POLLIN, 0};
    ::poll(&pfd, 1, RemainingMs(deadline));
  }
  return got;
}

int PendingInput(int fd) {
  int waiting = 0;
  return ::ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : -1;
}

bool WaitForInput(int fd, std::size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (int tries = 0;; ++tries) {
    const int waiting = PendingInput(fd);
    if (waiting >= 0 && static_cast<std::size_t>(waiting) >= count) return true;
    if (waiting < 0 || RemainingMs(deadline) == 0) return false;
    // The bytes are as a rule through within microseconds; a fuzz target
    // that slept a millisecond for each arrival would run a tenth as fast.
    if (tries < 1000) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

std::string PositionBytes(std::size_t from, std::size_t count) {
  std::string bytes;
  for (std::size_t i = from; i < from + count; ++i) bytes.push_back(static_cast<char>(i % 251));
  return bytes;
}

}  // namespace testsupport
