#include "app/core/logs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/files.h"

namespace app {
namespace {

// No locale is consulted: the program reads no environment, so the formats
// are fixed to the Russian defaults (05.12.2008, 14:03:07).
std::string DateText(const common::DateTimeParts& p) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", p.day, p.month, p.year);
  return buf;
}

std::string TimeText(const common::DateTimeParts& p) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", p.hour, p.minute, p.second);
  return buf;
}

// Logs may hold callers' numbers: the group (the operators, the message
// server) reads them and appends to them, nobody else, whatever the umask.
constexpr mode_t kLogMode = 0660;

// One open, one write, one close per line, so each line is on disk when the
// call returns and another program may move the file between lines. A
// symbolic link planted under the log's name is refused, not followed.
bool AppendLine(const std::string& path, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text).append("\r\n");
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, kLogMode);
  if (fd >= 0) {
    ::fchmod(fd, kLogMode);  // created here: the umask has had its say
  } else if (errno == EEXIST) {
    fd = ::open(path.c_str(), kFlags);
  }
  if (fd < 0) return false;
  const bool ok = common::WriteAll(fd, line);
  return (::close(fd) == 0) && ok;
}

}  // namespace

std::string DateTimeText(common::DateTime t) {
  const common::DateTimeParts p = common::SplitDateTime(t);
  // Midnight to the second: the milliseconds do not count.
  if (p.hour == 0 && p.minute == 0 && p.second == 0) return DateText(p);
  return DateText(p) + " " + TimeText(p);
}

bool Logs::WriteOperatorLog(std::string_view text) {
  if (!LogOn) return true;
  std::string line = DateTimeText(clock_.Now());
  line.append(" - ").append(text);
  return AppendLine("mcall.log", line);
}

bool Logs::WriteSystemLog(std::string_view text) {
  if (!Syslog) return true;
  const std::string path = LogPath + DateText(common::SplitDateTime(clock_.Now())) + ".lgs";
  return AppendLine(path, text);
}

}  // namespace app
