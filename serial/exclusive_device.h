#pragma once

#include <optional>
#include <string>

namespace serial {

// Where UUCP lock files live; /var/lock unless told otherwise. Tests point it
// at a temporary directory so they never touch the machine's locks.
void SetLockDirectory(std::string dir);
std::string LockDirectory();

// "LCK..ttyUSB0" for /dev/ttyUSB0; aliases such as /dev/serial/by-id/...
// resolve to the same name, and /dev/pts/3 becomes "LCK..pts_3".
std::string LockFileName(const std::string& devicePath);

// A serial device held the way the other serial programs of a Linux desktop
// expect: a UUCP lock file, TIOCEXCL and an flock on the descriptor.
struct ExclusiveDevice {
  int fd = -1;
  std::string lockFile;  // empty when the lock directory was not usable
};

// Why a device could not be had, for the operator.
enum class OpenError {
  kNone,
  kAbsent,  // no such device (unplugged, a wrong path)
  kBusy,    // another holder has it: a live lock file, the flock, TIOCEXCL
  kDenied,  // no permission (the account is not in the device's group)
  kFailed,  // anything else
};

// Non-blocking, never waits for carrier. Nothing when the device is absent
// or another holder has it; *error, when given, says which.
std::optional<ExclusiveDevice> OpenExclusive(const std::string& devicePath, OpenError* error = nullptr);

// Never blocks: pending output is discarded and the driver's close wait is
// cut, so a stuck USB modem cannot hold the caller for its 30 s drain.
void CloseExclusive(ExclusiveDevice& device);

}  // namespace serial
