#include "serial/exclusive_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "common/files.h"

namespace serial {
namespace {

std::mutex g_lockDirMutex;
std::string g_lockDir = "/var/lock";

// A UUCP lock in HDB format holds the owner's pid as ten right-aligned
// ASCII digits and a newline: "      4242\n".
std::string HdbContent(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

std::optional<pid_t> ReadLockPid(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[64] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  if (end == text || pid <= 0 || pid > 0x7fffffff) return std::nullopt;
  return static_cast<pid_t>(pid);
}

// A lock whose owner is gone is stale. Unreadable content counts as stale
// too: our writers publish the file complete (link of a finished temporary
// file), so a half-written lock is not something a live owner leaves.
bool OwnerAlive(const std::string& lockPath) {
  const auto pid = ReadLockPid(lockPath);
  if (!pid) return false;
  return ::kill(*pid, 0) == 0 || errno == EPERM;
}

OpenError ErrorOfOpen(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
      return OpenError::kAbsent;
    case EBUSY:
      return OpenError::kBusy;
    case EACCES:
    case EPERM:
      return OpenError::kDenied;
    default:
      return OpenError::kFailed;
  }
}

// Writes the finished lock to a temporary name first and links it into
// place, so no reader ever sees an empty lock.
std::optional<std::string> WriteTemporaryLock(const std::string& dir) {
  static std::atomic<unsigned> counter{0};
  const std::string path = dir + "/LTMP." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return std::nullopt;
  const bool ok = common::WriteAll(fd, HdbContent(::getpid()));
  ::close(fd);
  if (!ok) {
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return path;
}

enum class LockResult { Held, Taken, Skipped };

LockResult TakeLock(const std::string& lockPath) {
  const auto temporary = WriteTemporaryLock(LockDirectory());
  if (!temporary) return LockResult::Skipped;  // directory absent or not writable
  LockResult result = LockResult::Skipped;
  // Second round only after removing a stale lock; a lock that reappears
  // in between belongs to someone who won the race.
  for (int round = 0; round < 2; ++round) {
    if (::link(temporary->c_str(), lockPath.c_str()) == 0) {
      result = LockResult::Taken;
      break;
    }
    if (errno != EEXIST) break;  // a file system without hard links: skip
    if (OwnerAlive(lockPath)) {
      result = LockResult::Held;
      break;
    }
    ::unlink(lockPath.c_str());
    result = LockResult::Held;
  }
  ::unlink(temporary->c_str());
  return result;
}

}  // namespace

void SetLockDirectory(std::string dir) {
  std::lock_guard lock(g_lockDirMutex);
  g_lockDir = std::move(dir);
}

std::string LockDirectory() {
  std::lock_guard lock(g_lockDirMutex);
  return g_lockDir;
}

std::string LockFileName(const std::string& devicePath) {
  std::string path = devicePath;
  if (char* real = ::realpath(devicePath.c_str(), nullptr)) {
    path = real;
    std::free(real);
  }
  std::string name;
  if (path.rfind("/dev/", 0) == 0) {
    name = path.substr(5);
  } else {
    const auto slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return "LCK.." + name;
}

std::optional<ExclusiveDevice> OpenExclusive(const std::string& devicePath, OpenError* error) {
  OpenError ignored = OpenError::kNone;
  OpenError& why = error ? *error : ignored;
  why = OpenError::kAbsent;
  if (devicePath.empty()) return std::nullopt;
  ExclusiveDevice device;
  const std::string lockPath = LockDirectory() + "/" + LockFileName(devicePath);
  switch (TakeLock(lockPath)) {
    case LockResult::Held: why = OpenError::kBusy; return std::nullopt;
    case LockResult::Taken: device.lockFile = lockPath; break;
    case LockResult::Skipped: break;
  }
  device.fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (device.fd < 0) {
    why = ErrorOfOpen(errno);
    CloseExclusive(device);
    return std::nullopt;
  }
  // The flock comes first: TIOCEXCL is a flag of the whole terminal, and a
  // loser of the flock must not leave it set for the holder. Root passes
  // TIOCEXCL anyway; the flock refuses every second holder.
  if (::flock(device.fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(device.fd);  // the holder's output is not ours to flush
    device.fd = -1;
    CloseExclusive(device);
    why = OpenError::kBusy;
    return std::nullopt;
  }
  why = OpenError::kNone;
  ::ioctl(device.fd, TIOCEXCL);
  return device;
}

void CloseExclusive(ExclusiveDevice& device) {
  if (device.fd >= 0) {
    ::tcflush(device.fd, TCIOFLUSH);
    serial_struct info{};
    if (::ioctl(device.fd, TIOCGSERIAL, &info) == 0) {
      info.closing_wait = ASYNC_CLOSING_WAIT_NONE;
      ::ioctl(device.fd, TIOCSSERIAL, &info);
    }
    ::ioctl(device.fd, TIOCNXCL);
    ::flock(device.fd, LOCK_UN);
    ::close(device.fd);
    device.fd = -1;
  }
  if (!device.lockFile.empty()) {
    ::unlink(device.lockFile.c_str());
    device.lockFile.clear();
  }
}

}  // namespace serial
