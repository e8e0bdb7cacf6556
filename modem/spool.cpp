#include "modem/spool.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include "common/files.h"

namespace modem {
namespace {

constexpr size_t kSpoolFileSize = 4 + kCallEventSize;
constexpr mode_t kSpoolMode = 0660;

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
  return text;
}

uint32_t SpoolNumber(const common::DateTimeParts& t) {
  // At most 31 days of milliseconds: 2678399999, which fits unsigned 32 bits.
  const uint32_t seconds = static_cast<uint32_t>(t.day) * 86400u + static_cast<uint32_t>(t.hour) * 3600u +
                           static_cast<uint32_t>(t.minute) * 60u + static_cast<uint32_t>(t.second);
  return seconds * 1000u + static_cast<uint32_t>(t.millisecond);
}

std::vector<uint8_t> SpoolBytes(const CallEventBytes& event) {
  std::vector<uint8_t> bytes(kSpoolFileSize);
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(kCallEventFrameType >> (8 * i));
  std::copy(event.begin(), event.end(), bytes.begin() + 4);
  return bytes;
}

// Writes the bytes to a fresh temporary file that the reader of "*.dd8"
// files never picks up, and flushes it to disk. Returns its path, or empty.
std::string WriteTemporary(const std::string& pathForSoob, const std::vector<uint8_t>& bytes) {
  std::string path = pathForSoob + ".spool-XXXXXX";
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return {};
  const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // Read by the message server and the other operators of the group, like
  // the logs; mkostemp alone would leave it to its owner.
  const bool ok = ::fchmod(fd, kSpoolMode) == 0 && common::WriteAll(fd, data) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok) {
    ::unlink(path.c_str());
    return {};
  }
  return path;
}

enum class Placed { kDone, kTaken, kFailed };

// Gives the temporary file its final name, never replacing a file there.
Placed PlaceNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return Placed::kDone;
  if (errno == EEXIST) return Placed::kTaken;
  // Some file systems do not know the flag; a hard link is just as exclusive.
  if (errno != EINVAL && errno != ENOSYS) return Placed::kFailed;
  if (::link(from.c_str(), to.c_str()) != 0) return errno == EEXIST ? Placed::kTaken : Placed::kFailed;
  ::unlink(from.c_str());
  return Placed::kDone;
}

}  // namespace

std::string SpoolFileName(const common::DateTimeParts& t) { return Hex(SpoolNumber(t)); }

SpoolResult WriteSpoolFile(const std::string& pathForSoob, common::DateTime now, const CallEventBytes& event) {
  uint32_t number = SpoolNumber(common::SplitDateTime(now));
  SpoolResult result;
  result.Path = pathForSoob + Hex(number) + ".dd8";
  const std::string temporary = WriteTemporary(pathForSoob, SpoolBytes(event));
  if (temporary.empty()) return result;

  // A name can be taken by an event of another month at the same day and
  // time that is still waiting; the next free number keeps both. The walk
  // ends at the latest when every 32-bit name has been tried.
  for (uint64_t tries = 0; tries <= UINT32_MAX; ++tries, ++number) {
    result.Path = pathForSoob + Hex(number) + ".dd8";
    const Placed placed = PlaceNoReplace(temporary, result.Path);
    if (placed == Placed::kTaken) continue;
    if (placed == Placed::kFailed) break;
    // The event is whole under its name now; a directory that cannot be
    // flushed only weakens the power-cut guarantee, so it is not reported
    // as a lost event.
    // The prefix may end inside a file name ("/var/spool/ev_").
    common::SyncDirectory(common::DirectoryOf(pathForSoob));
    result.Ok = true;
    return result;
  }
  ::unlink(temporary.c_str());
  return result;
}

}  // namespace modem
