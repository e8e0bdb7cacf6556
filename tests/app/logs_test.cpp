#include "app/core/logs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;
using testsupport::ReadFile;
using testsupport::TempDir;

common::DateTime At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return common::MakeDateTime({year, month, day, hour, minute, second, ms});
}

TEST(DateTimeText, Cases) {
  struct Case {
    common::DateTime t;
    const char* text;
  };
  const Case cases[] = {
      {At(2008, 12, 5, 14, 3, 7), "05.12.2008 14:03:07"},
      {At(2008, 12, 5, 0, 0, 0), "05.12.2008"},
      {At(2008, 12, 5, 0, 0, 0, 400), "05.12.2008"},  // milliseconds do not count
      {At(2008, 12, 5, 0, 0, 1), "05.12.2008 00:00:01"},
      {At(2024, 1, 31, 23, 59, 59), "31.01.2024 23:59:59"},
  };
  for (const Case& c : cases) EXPECT_EQ(app::DateTimeText(c.t), c.text);
}

// The operator log lives in the working directory, so each test gets its own.
class LogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Dir());
    clock_.now = At(2008, 12, 5, 14, 3, 7);
  }
  void TearDown() override { std::filesystem::current_path(old_); }

  TempDir dir_;
  std::filesystem::path old_;
  testsupport::ManualClock clock_;
  app::Logs logs_{clock_};
};

TEST_F(LogFiles, SwitchedOffWritesNothing) {
  EXPECT_TRUE(logs_.WriteOperatorLog(">AT"));
  EXPECT_TRUE(logs_.WriteSystemLog("<!SIEMENS"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Dir()));
}

TEST_F(LogFiles, OperatorLinesAreStampedAndAppended) {
  logs_.LogOn = true;
  EXPECT_TRUE(logs_.WriteOperatorLog(">ATE0\r"));
  clock_.now = At(2008, 12, 6, 0, 0, 0);
  EXPECT_TRUE(logs_.WriteOperatorLog("<\r\nOK\r\n"));
  EXPECT_TRUE(logs_.WriteOperatorLog("<\0\xCE"s));
  EXPECT_EQ(ReadFile("mcall.log"),
            "05.12.2008 14:03:07 - >ATE0\r\r\n"
            "06.12.2008 - <\r\nOK\r\n\r\n"
            "06.12.2008 - <\0\xCE\r\n"s);
}

TEST_F(LogFiles, SystemLogOneFilePerDay) {
  logs_.Syslog = true;
  EXPECT_TRUE(logs_.WriteSystemLog("<!SIEMENS"));
  EXPECT_TRUE(logs_.WriteSystemLog("<!MC35i"));
  clock_.now = At(2008, 12, 6, 0, 0, 1);
  EXPECT_TRUE(logs_.WriteSystemLog("<!+CLIP: \"+79161234567\",145"));
  EXPECT_EQ(ReadFile("05.12.2008.lgs"), "<!SIEMENS\r\n<!MC35i\r\n");
  EXPECT_EQ(ReadFile("06.12.2008.lgs"), "<!+CLIP: \"+79161234567\",145\r\n");
  EXPECT_FALSE(std::filesystem::exists("mcall.log"));
}

TEST_F(LogFiles, SystemLogUnderLogPath) {
  std::filesystem::create_directory("logs");
  logs_.Syslog = true;
  logs_.LogPath = "logs/";
  EXPECT_TRUE(logs_.WriteSystemLog("x"));
  EXPECT_EQ(ReadFile("logs/05.12.2008.lgs"), "x\r\n");
}

TEST_F(LogFiles, FailuresAreReportedNotThrown) {
  logs_.LogOn = true;
  logs_.Syslog = true;
  logs_.LogPath = "missing/";
  std::filesystem::create_directory("mcall.log");  // a name that cannot be opened as a file, even by root
  EXPECT_FALSE(logs_.WriteOperatorLog("x"));
  EXPECT_FALSE(logs_.WriteSystemLog("x"));
  EXPECT_FALSE(std::filesystem::exists("missing"));
}

}  // namespace
