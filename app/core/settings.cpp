#include "app/core/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "common/files.h"

namespace app {
namespace ini {
namespace {

// The profile functions read at most this many characters of a value.
constexpr size_t kMaxValueLength = 2047;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Offsets [begin, end) into the file text, so the writer can splice in place.
struct Span {
  size_t begin = 0;
  size_t end = 0;
};

Span Trimmed(std::string_view text, Span s) {
  while (s.begin < s.end && IsBlank(text[s.begin])) ++s.begin;
  while (s.end > s.begin && IsBlank(text[s.end - 1])) --s.end;
  return s;
}

std::string_view View(std::string_view text, Span s) { return text.substr(s.begin, s.end - s.begin); }

enum class LineKind { Other, Section, Key };

// One physical line: "[name]" opens a section, "key = value" gives a value,
// anything else (blank, ";comment", a stray word) is kept but means nothing.
struct Line {
  Span whole;  // without the line end
  Span next;   // where the following line starts (after its line end)
  LineKind kind = LineKind::Other;
  Span name;   // section or key name
  Span value;  // key lines: the value, blanks trimmed
};

Line ParseLine(std::string_view text, size_t begin) {
  Line line;
  size_t end = text.find('\n', begin);
  line.next.begin = line.next.end = (end == std::string_view::npos) ? text.size() : end + 1;
  if (end == std::string_view::npos) end = text.size();
  if (end > begin && text[end - 1] == '\r') --end;
  line.whole = {begin, end};

  const Span body = Trimmed(text, line.whole);
  if (body.begin == body.end || text[body.begin] == ';') return line;
  if (text[body.begin] == '[') {
    const size_t close = text.find(']', body.begin);
    if (close == std::string_view::npos || close >= body.end) return line;
    line.kind = LineKind::Section;
    line.name = Trimmed(text, {body.begin + 1, close});
    return line;
  }
  const size_t eq = text.find('=', body.begin);
  if (eq == std::string_view::npos || eq >= body.end) return line;
  line.kind = LineKind::Key;
  line.name = Trimmed(text, {body.begin, eq});
  line.value = Trimmed(text, {eq + 1, body.end});
  return line;
}

// A UTF-8 byte-order mark left by an editor is not part of the first line.
size_t FirstLineStart(std::string_view text) { return text.starts_with("\xEF\xBB\xBF") ? 3 : 0; }

std::vector<Line> ParseLines(std::string_view text) {
  std::vector<Line> lines;
  for (size_t pos = FirstLineStart(text); pos < text.size();) {
    lines.push_back(ParseLine(text, pos));
    pos = lines.back().next.begin;
  }
  return lines;
}

// Where a key sits: the first matching key of the first matching section
// that has it, which is how duplicate sections and keys resolve.
struct Found {
  const Line* key = nullptr;
  const Line* sectionLastLine = nullptr;  // last non-blank line of the first matching section
};

Found Find(std::string_view text, const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Found found;
  bool inSection = false;
  bool firstSectionDone = false;
  for (const Line& line : lines) {
    if (line.kind == LineKind::Section) {
      if (inSection) firstSectionDone = true;
      inSection = SameName(View(text, line.name), section);
      if (inSection && !firstSectionDone) found.sectionLastLine = &line;
      continue;
    }
    if (!inSection) continue;
    if (!firstSectionDone && Trimmed(text, line.whole).begin != line.whole.end) found.sectionLastLine = &line;
    if (line.kind == LineKind::Key && found.key == nullptr && SameName(View(text, line.name), key)) found.key = &line;
  }
  return found;
}

std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
  return value;
}

// Accepts exactly: [+|-]digits, or $hex / 0x hex / 0X hex / x hex / X hex.
std::optional<int32_t> ParseInt32(std::string_view s) {
  int base = 10;
  bool negative = false;
  if (s.starts_with("0x") || s.starts_with("0X")) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.starts_with('$') || s.starts_with('x') || s.starts_with('X')) {
    base = 16;
    s.remove_prefix(1);
  } else if (s.starts_with('+') || s.starts_with('-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  int64_t magnitude = 0;
  for (char c : s) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > int64_t{INT32_MAX} + 1) return std::nullopt;  // stops growth long before int64 overflows
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::string_view LineEnd(std::string_view text) { return text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n"; }

}  // namespace

std::optional<std::string> ReadString(std::string_view fileText, std::string_view section, std::string_view key) {
  const std::vector<Line> lines = ParseLines(fileText);
  const Found found = Find(fileText, lines, section, key);
  if (found.key == nullptr) return std::nullopt;
  std::string_view value = Unquoted(View(fileText, found.key->value));
  return std::string(value.substr(0, kMaxValueLength));
}

int32_t ReadInt(std::string_view fileText, std::string_view section, std::string_view key, int32_t def) {
  const std::optional<std::string> text = ReadString(fileText, section, key);
  if (!text) return def;
  return ParseInt32(*text).value_or(def);
}

namespace {

// Before a line is added after the last one, that line needs its end. A text
// that stops in a lone CR is a CR LF file cut short: it gets only the LF it
// lacks, or the CR would be read as part of its value.
void EndLastLine(std::string& out, std::string_view nl) {
  if (out.empty() || out.back() == '\n') return;
  out.append(out.back() == '\r' ? std::string_view("\n") : nl);
}

}  // namespace

std::string WithValue(std::string_view fileText, std::string_view section, std::string_view key, std::string_view value) {
  // A line break in the value would split the file's structure; a profile
  // value is one line, so it ends there.
  value = value.substr(0, value.find_first_of("\r\n"));
  const std::vector<Line> lines = ParseLines(fileText);
  const Found found = Find(fileText, lines, section, key);
  std::string out;
  if (found.key != nullptr) {
    // An empty value has no span of its own: it goes right after the "=".
    const Span v = found.key->value;
    out.append(fileText.substr(0, v.begin)).append(value).append(fileText.substr(v.end));
    return out;
  }
  const std::string_view nl = LineEnd(fileText);
  const std::string entry = std::string(key) + "=" + std::string(value);
  if (found.sectionLastLine != nullptr) {
    const Line& last = *found.sectionLastLine;
    out.append(fileText.substr(0, last.next.begin));
    EndLastLine(out, nl);
    out.append(entry).append(nl).append(fileText.substr(last.next.begin));
    return out;
  }
  out.append(fileText);
  EndLastLine(out, nl);
  out.append("[").append(section).append("]").append(nl).append(entry).append(nl);
  return out;
}

}  // namespace ini

namespace {

std::string SettingsPath(const std::string& dir) { return dir + kSettingsFileName; }

bool IsFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The whole file, or nullopt when it cannot be read or is no regular file:
// a FIFO or a device under the settings' name must not block the reader
// (the link thread reads [ServerHost] at every attempt), so the open never
// waits and only what proves to be a regular file is read.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    text.emplace();
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        text.reset();
        break;
      }
      if (n == 0) break;
      text->append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return text;
}

// A file that cannot be read behaves like one without the keys: defaults.
std::string ReadOrEmpty(const std::string& path) { return ReadWholeFile(path).value_or(std::string()); }

std::string ReadText(std::string_view text, std::string_view section, std::string_view key, std::string_view def) {
  return ini::ReadString(text, section, key).value_or(std::string(def));
}

bool ReadBool(std::string_view text, std::string_view section, std::string_view key, bool def) {
  return ini::ReadInt(text, section, key, def ? 1 : 0) != 0;
}

// Replaces the file as a whole, so a crash or a full disk leaves either the
// old or the new file, never a truncated one. The temporary name is fixed
// (one writer, the UI thread); O_NOFOLLOW keeps a planted link from
// redirecting the write.
bool ReplaceFile(const std::string& path, std::string_view text, mode_t mode) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = common::WriteAll(fd, text) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  // The rename is only durable once the directory entry itself is on disk.
  common::SyncDirectory(common::DirectoryOf(path));
  return true;
}

// Writes through a symbolic link to the file it names, as an in-place
// write would, instead of replacing the link with a plain file.
std::string ResolvedPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved(real);
  std::free(real);
  return resolved;
}

}  // namespace

std::string ProgramDir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  // Without /proc the working directory stands in: "" prefixes nothing.
  if (ec || !exe.has_parent_path()) return std::string();
  std::filesystem::path programDir = exe.parent_path();
#ifdef MCALLD_PROGRAM_DIR
  // The installed program lies where only root may write; what its operators
  // write (settings, logs, spool) has a directory of its own. A copy anywhere
  // else keeps its settings beside itself.
  if (std::filesystem::equivalent(programDir, MCALLD_INSTALLED_BIN_DIR, ec)) programDir = MCALLD_PROGRAM_DIR;
#endif
  std::string dir = programDir.string();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

bool ReadSettings(const std::string& programDir, Settings& settings) {
  const std::string path = SettingsPath(programDir);
  if (!IsFile(path)) return false;
  const std::string text = ReadOrEmpty(path);
  settings.ComName = ReadText(text, "Main", "Com", "COM1");
  settings.Speed = ini::ReadInt(text, "Main", "Speed", 9600);
  settings.Code = ReadText(text, "Main", "Code", "1120");
  settings.LogPath = ReadText(text, "Log", "Path", "");
  settings.LogOn = ReadBool(text, "Log", "On", false);
  settings.PathForSoob = ReadText(text, "main", "PathForSoob", "");
  settings.NumberS = ini::ReadInt(text, "Main", "NumberS", 0);
  settings.Syslog = ReadBool(text, "Main", "Syslog", false);
  settings.Health = ReadBool(text, "Main", "Health", true);

  // Only a convenience for the system log; the writers report their own
  // failures. A relative path lies beside the program, a full one is used
  // as it stands.
  std::error_code ec;
  const bool absolute = settings.LogPath.starts_with('/');
  if (!settings.LogPath.empty()) std::filesystem::create_directories(absolute ? settings.LogPath : programDir + settings.LogPath, ec);
  return true;
}

bool WriteComSetting(const std::string& programDir, const std::string& name) {
  const std::string path = SettingsPath(programDir);
  if (name.empty() || !IsFile(path)) return false;
  const std::string target = ResolvedPath(path);
  struct stat st {};
  const std::optional<std::string> text = ReadWholeFile(target);
  if (!text || ::stat(target.c_str(), &st) != 0) throw SettingsWriteError("Unable to write to " + path);
  const std::string updated = ini::WithValue(*text, "Main", "Com", name);
  if (!ReplaceFile(target, updated, st.st_mode & 07777)) throw SettingsWriteError("Unable to write to " + path);
  return true;
}

serverlink::ServerAddress ReadServerHost(const std::string& settingsDir) {
  std::string dir = settingsDir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  const std::string text = ReadOrEmpty(SettingsPath(dir));
  serverlink::ServerAddress address;
  address.Address = ReadText(text, "ServerHost", "Address", address.Address);
  address.Port = ini::ReadInt(text, "ServerHost", "Port", address.Port);
  return address;
}

int ComNumber(std::string_view comName) {
  // Only the canonical form maps, so one device has one name: "COM3", never "COM03".
  constexpr std::string_view kPrefix = "COM";
  if (comName.size() < 4 || comName.size() > 5) return 0;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    const char c = comName[i];
    if (c != kPrefix[i] && c != kPrefix[i] - 'A' + 'a') return 0;
  }
  int n = 0;
  for (char c : comName.substr(kPrefix.size())) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  if (comName[kPrefix.size()] == '0' || n < 1 || n > kMaxComNumber) return 0;
  return n;
}

std::string ComDevicePath(const std::string& programDir, int n) {
  const std::string key = "COM" + std::to_string(n);
  const std::string mapped = ReadText(ReadOrEmpty(SettingsPath(programDir)), "Ports", key, "");
  if (!mapped.empty()) return mapped;
  return "/dev/ttyS" + std::to_string(n - 1);
}

std::string DevicePathFor(const std::string& programDir, const std::string& comName) {
  const int n = ComNumber(comName);
  if (n > 0) return ComDevicePath(programDir, n);
  return comName.rfind('/', 0) == 0 ? comName : "/dev/" + comName;
}

}  // namespace app
