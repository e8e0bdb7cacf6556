#include <gtest/gtest.h>

#include <fstream>

#include "fakes.h"
#include "modem/spool.h"

namespace modem {
namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

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

  std::string expectedFile() const {
    std::string bytes("\x4A\x00\x00\x03", 4);
    bytes.append(event.begin(), event.end());
    return bytes;
  }
};

TEST_F(Spool, WritesTheFrameTypeAndTheEventAndNothingElse) {
  const SpoolResult r = WriteSpoolFile(dir.Dir(), now, event);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.Path, dir.Dir() + "4FEEB983.dd8");
  EXPECT_EQ(ReadFile(r.Path), expectedFile());
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"4FEEB983.dd8"}) << "no temporary file is left";
}

TEST_F(Spool, PrefixNeedNotBeADirectory) {
  const SpoolResult r = WriteSpoolFile(dir.Dir() + "ev_", now, event);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"ev_4FEEB983.dd8"});
}

// Same day of the month and time, another month: both must survive.
TEST_F(Spool, TakenNamesAreSteppedOverNeverReplaced) {
  std::ofstream(dir.File("4FEEB983.dd8")) << "older";
  std::ofstream(dir.File("4FEEB984.dd8")) << "older";

  const SpoolResult r = WriteSpoolFile(dir.Dir(), now, event);
  ASSERT_TRUE(r.Ok);
  EXPECT_EQ(r.Path, dir.Dir() + "4FEEB985.dd8");
  EXPECT_EQ(ReadFile(r.Path), expectedFile());
  EXPECT_EQ(ReadFile(dir.File("4FEEB983.dd8")), "older");
  EXPECT_EQ(dir.Files().size(), 3u);
}

TEST_F(Spool, UnwritableDirectoryFailsWithThePath) {
  std::ofstream(dir.File("plain")).put('x');
  const SpoolResult r = WriteSpoolFile(dir.Dir() + "plain/", now, event);
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Path, dir.Dir() + "plain/4FEEB983.dd8");
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"plain"});
}

}  // namespace
}  // namespace modem
