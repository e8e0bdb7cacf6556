#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "fakes.h"
#include "modem/spool.h"

namespace modem {
namespace {

using testing::TempDir;

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(SpoolFileName, IsTheMillisecondOfTheMonthInUpperCaseHex) {
  struct Case {
    common::DateTimeParts t;
    const char* name;
  };
  for (const Case& c : {
           Case{{2024, 3, 15, 12, 30, 45, 123}, "4FEEB983"},
           Case{{2024, 1, 1, 0, 0, 0, 0}, "5265C00"},
           Case{{2024, 1, 31, 23, 59, 59, 999}, "A4CB7FFF"},
           Case{{2024, 1, 24, 20, 31, 23, 647}, "7FFFFFFF"},
           Case{{2024, 1, 24, 20, 31, 23, 648}, "80000000"},
       }) {
    EXPECT_EQ(SpoolFileName(c.t), c.name);
  }
}

class Spool : public ::testing::Test {
 protected:
  TempDir dir;
  const common::DateTime now = common::MakeDateTime({2024, 3, 15, 12, 30, 45, 123});
  CallEventBytes event = [] {
    CallEventBytes e;
    for (size_t i = 0; i < e.size(); ++i) e[i] = static_cast<uint8_t>(i + 1);
    return e;
  }();

  std::vector<uint8_t> expectedFile() const {
    std::vector<uint8_t> bytes{0x4A, 0x00, 0x00, 0x03};
    bytes.insert(bytes.end(), event.begin(), event.end());
    return bytes;
  }
};

TEST_F(Spool, WritesTheFrameTypeAndTheEventAndNothingElse) {
  const SpoolResult r = WriteSpoolFile(dir.prefix(), now, event);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.Path, dir.prefix() + "4FEEB983.dd8");
  EXPECT_EQ(ReadAll(r.Path), expectedFile());
  EXPECT_EQ(dir.files(), std::vector<std::string>{"4FEEB983.dd8"}) << "no temporary file is left";
}

TEST_F(Spool, PrefixNeedNotBeADirectory) {
  const SpoolResult r = WriteSpoolFile(dir.prefix() + "ev_", now, event);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(dir.files(), std::vector<std::string>{"ev_4FEEB983.dd8"});
}

// Same day of the month and time, another month: both must survive.
TEST_F(Spool, TakenNamesAreSteppedOverNeverReplaced) {
  std::ofstream(dir.path() / "4FEEB983.dd8") << "older";
  std::ofstream(dir.path() / "4FEEB984.dd8") << "older";

  const SpoolResult r = WriteSpoolFile(dir.prefix(), now, event);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.Path, dir.prefix() + "4FEEB985.dd8");
  EXPECT_EQ(ReadAll(r.Path), expectedFile());
  EXPECT_EQ(ReadAll(dir.path() / "4FEEB983.dd8"), (std::vector<uint8_t>{'o', 'l', 'd', 'e', 'r'}));
  EXPECT_EQ(dir.files().size(), 3u);
}

TEST_F(Spool, UnwritableDirectoryFailsWithThePath) {
  std::ofstream(dir.path() / "plain").put('x');
  const SpoolResult r = WriteSpoolFile(dir.prefix() + "plain/", now, event);
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Path, dir.prefix() + "plain/4FEEB983.dd8");
  EXPECT_EQ(dir.files(), std::vector<std::string>{"plain"});
}

}  // namespace
}  // namespace modem
