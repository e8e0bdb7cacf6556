// Arbitrary settings-file contents, with a port name the window could
// write. What must hold for every file:
//   - reading is total: every key the program reads gets a value, and a
//     value read never spans a line break nor exceeds 2047 bytes;
//   - after writing [Main] Com, reading it back gives the written name, and
//     every other key of every section reads exactly as before;
//   - writing the same name again changes nothing.
// The input's first line is the name (made representable the way the
// window's names are: one line, no surrounding blanks or quotes, at most
// 2047 bytes); the rest is the file.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/settings.h"

namespace {

namespace ini = app::ini;

constexpr size_t kMaxValueLength = 2047;
// Bounds on the names compared before and after the write, which keep an
// input of many short lines from costing seconds.
constexpr size_t kMaxSections = 16;
constexpr size_t kMaxKeys = 32;

struct Key {
  std::string_view section;
  std::string_view key;
};

// What the program reads, besides [Ports] COM1..COM32.
constexpr std::array<Key, 10> kProgramKeys{{
    {"Main", "Com"}, {"Main", "Speed"}, {"Main", "Code"}, {"main", "PathForSoob"}, {"Main", "NumberS"},
    {"Main", "Syslog"}, {"Log", "Path"}, {"Log", "On"}, {"ServerHost", "Address"}, {"ServerHost", "Port"},
}};

void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool Quoted(std::string_view s) { return s.size() >= 2 && s.front() == '"' && s.back() == '"'; }

std::string RepresentableName(std::string_view line) {
  std::string_view name = line.substr(0, std::min(line.find('\r'), kMaxValueLength));
  name = TrimBlanks(name);
  while (Quoted(name)) name = TrimBlanks(name.substr(0, name.size() - 1));
  return name.empty() ? std::string("COM3") : std::string(name);
}

void AddName(std::vector<std::string>& names, std::string_view name, size_t limit) {
  std::string lowered = Lowered(name);
  if (names.size() < limit && std::find(names.begin(), names.end(), lowered) == names.end()) {
    names.push_back(std::move(lowered));
  }
}

// A rough, independent look at the names a file mentions: enough to choose
// what to compare, without relying on the reader's own parsing.
void CollectNames(std::string_view text, std::vector<std::string>& sections, std::vector<std::string>& keys) {
  for (size_t pos = 0; pos <= text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimBlanks(text.substr(pos, end - pos));
    if (line.starts_with('[') && line.find(']') != std::string_view::npos) {
      AddName(sections, TrimBlanks(line.substr(1, line.find(']') - 1)), kMaxSections);
    } else if (line.find('=') != std::string_view::npos) {
      AddName(keys, TrimBlanks(line.substr(0, line.find('='))), kMaxKeys);
    }
    pos = end + 1;
  }
}

void CheckTotal(std::string_view text, std::string_view section, std::string_view key) {
  const std::optional<std::string> value = ini::ReadString(text, section, key);
  if (value && value->size() > kMaxValueLength) Fail("a value is at most 2047 bytes");
  if (value && value->find('\n') != std::string::npos) Fail("a value is one line");
  (void)ini::ReadInt(text, section, key, 9600);
}

void CheckReadingIsTotal(std::string_view text) {
  for (const Key& k : kProgramKeys) CheckTotal(text, k.section, k.key);
  for (int n = 1; n <= app::kMaxComNumber; ++n) CheckTotal(text, "Ports", "COM" + std::to_string(n));
}

bool IsComKey(std::string_view section, std::string_view key) {
  return Lowered(section) == "main" && Lowered(key) == "com";
}

void CheckOthersUnchanged(std::string_view before, std::string_view after) {
  std::vector<std::string> sections;
  std::vector<std::string> keys;
  for (const Key& k : kProgramKeys) {
    AddName(sections, k.section, kMaxSections);
    AddName(keys, k.key, kMaxKeys);
  }
  CollectNames(before, sections, keys);
  for (const std::string& section : sections) {
    for (const std::string& key : keys) {
      if (IsComKey(section, key)) continue;
      if (ini::ReadString(before, section, key) != ini::ReadString(after, section, key)) {
        std::fprintf(stderr, "[%s] %s changed\n", section.c_str(), key.c_str());
        Fail("writing Com leaves every other key as it was");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t lf = input.find('\n');
  const std::string name = RepresentableName(input.substr(0, lf));
  const std::string_view file = lf == std::string_view::npos ? std::string_view() : input.substr(lf + 1);

  CheckReadingIsTotal(file);
  const std::string written = ini::WithValue(file, "Main", "Com", name);
  CheckReadingIsTotal(written);
  if (ini::ReadString(written, "Main", "Com") != name) Fail("Com reads back as written");
  CheckOthersUnchanged(file, written);
  if (ini::WithValue(written, "Main", "Com", name) != written) Fail("writing the same name again changes nothing");
  return 0;
}
