// Writing [Main] Com must read back as written and leave every other key
// as it was. The fuzz target "settings" checks this for any file; these are
// the files it found wanting, each cut down to its few telling bytes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"

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

// DISABLED until the writer is mended: a file whose last line ends in a
// lone CR (a CR LF file cut short after its CR) loses the write. The reader
// takes that CR as the line end, but the writer sees a line end already
// there and appends right after the CR, so the new "Com=COM5" joins the
// last line: with [Main] last, Com is not found and the last key's value
// becomes "5\rCom=COM5"; with no [Main], the CR LF put before the new
// section turns the last value "1" into "1\r".
TEST(SettingsWriteRegression, DISABLED_LastLineEndsInLoneCr) {
  const WriteCase rows[] = {
      {"MainLastKeyThenLoneCr", "[Main]\r\nSpeed=5\r", {{"Main", "Speed"}}},
      {"MainHeaderThenLoneCr", "[Main]\r", {}},
      {"NoMainAndLoneCr", "[Log]\r\nOn=1\r", {{"Log", "On"}}},
  };
  for (const WriteCase& row : rows) ExpectComWrittenAndOthersKept(row);
}

}  // namespace
