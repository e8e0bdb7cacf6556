// Writing [Main] Com must read back as written and leave every other key
// as it was. The fuzz target "settings" checks this for any file; these are
// the files it found wanting, each cut down to its few telling bytes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/settings.h"

namespace {

namespace ini = app::ini;

struct Key {
  std::string_view section;
  std::string_view key;
};

struct WriteCase {
  const char* name;
  std::string_view file;
  std::vector<Key> others;  // keys that must read the same after the write
};

void ExpectComWrittenAndOthersKept(const WriteCase& row) {
  SCOPED_TRACE(row.name);
  const std::string written = ini::WithValue(row.file, "Main", "Com", "COM5");
  EXPECT_EQ(ini::ReadString(written, "Main", "Com"), std::optional<std::string>("COM5"));
  for (const Key& k : row.others) {
    EXPECT_EQ(ini::ReadString(written, k.section, k.key), ini::ReadString(row.file, k.section, k.key))
        << "[" << k.section << "] " << k.key;
  }
}

// The neighbours of the failing files below, which the writer gets right:
// a last line with no line end at all, and a complete CR LF file.
TEST(SettingsWriteRegression, LastLineWithoutLineEnd) {
  const WriteCase rows[] = {
      {"MainLastWithoutLineEnd", "[Main]\nSpeed=5", {{"Main", "Speed"}}},
      {"MainHeaderLast", "[Main]", {}},
      {"OtherSectionLastWithoutLineEnd", "[Log]\nOn=1", {{"Log", "On"}}},
      {"CrLfFileWithoutMain", "[Log]\r\nOn=1\r\n", {{"Log", "On"}}},
      {"CrLfFileWithMain", "[Main]\r\nSpeed=5\r\n[Log]\r\nOn=1\r\n", {{"Main", "Speed"}, {"Log", "On"}}},
  };
  for (const WriteCase& row : rows) ExpectComWrittenAndOthersKept(row);
}

// A file whose last line ends in a lone CR (a CR LF file cut short after
// its CR): the new line must not join the last one, and the CR must not
// become part of the last value.
TEST(SettingsWriteRegression, LastLineEndsInLoneCr) {
  const WriteCase rows[] = {
      {"MainLastKeyThenLoneCr", "[Main]\r\nSpeed=5\r", {{"Main", "Speed"}}},
      {"MainHeaderThenLoneCr", "[Main]\r", {}},
      {"NoMainAndLoneCr", "[Log]\r\nOn=1\r", {{"Log", "On"}}},
  };
  for (const WriteCase& row : rows) ExpectComWrittenAndOthersKept(row);
}

}  // namespace
