// What the program does with the files around it, in a directory that
// others of its group may write: planted links, full paths, a FIFO under
// the settings' name, and the modes of what it creates under any umask.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/core/logs.h"
#include "app/core/settings.h"
#include "modem/spool.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

class FixedClock : public common::Clock {
 public:
  common::DateTime Now() const override { return common::MakeDateTime({2026, 12, 11, 14, 3, 7, 0}); }
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// The operator log and the daily log are written in the working directory,
// so each test has its own.
class FileRules : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(dir_.Path());
    logs_.LogOn = true;
    logs_.Syslog = true;
  }
  void TearDown() override {
    ::umask(oldUmask_);
    fs::current_path(old_);
  }

  testsupport::TempDir dir_;
  testsupport::TempDir elsewhere_;
  fs::path old_;
  mode_t oldUmask_ = ::umask(022);
  FixedClock clock_;
  app::Logs logs_{clock_};
};

// A link under a log's name, pointing at a file the operator may write,
// must not make the program append to that file.
TEST_F(FileRules, PlantedLinksAreNotFollowed) {
  for (const char* name : {"mcall.log", "11.12.2026.lgs"}) {
    SCOPED_TRACE(name);
    const fs::path target = elsewhere_.File(std::string("victim-") + name);
    std::ofstream(target) << "precious\n";
    fs::create_symlink(target, name);
    const bool written = std::string(name) == "mcall.log" ? logs_.WriteOperatorLog("<RING") : logs_.WriteSystemLog("<RING");
    EXPECT_FALSE(written) << "the refusal is a failed log line like any other";
    EXPECT_EQ(ReadFile(target), "precious\n");
    EXPECT_TRUE(fs::is_symlink(name));
  }
}

TEST_F(FileRules, NewFilesAreTheGroupsWhateverTheUmask) {
  for (const mode_t umask : {mode_t{0000}, mode_t{0077}, mode_t{0022}}) {
    SCOPED_TRACE(umask);
    ::umask(umask);
    for (const auto& entry : fs::directory_iterator(dir_.Path())) fs::remove_all(entry.path());
    ASSERT_TRUE(logs_.WriteOperatorLog("<OK"));
    ASSERT_TRUE(logs_.WriteSystemLog("<!ACME"));
    modem::CallEventBytes event{};
    const auto spooled = modem::WriteSpoolFile(dir_.Path() + "/", clock_.Now(), event);
    ASSERT_TRUE(spooled.Ok);
    EXPECT_EQ(ModeOf("mcall.log"), 0660u);
    EXPECT_EQ(ModeOf("11.12.2026.lgs"), 0660u);
    EXPECT_EQ(ModeOf(spooled.Path), 0660u);
  }
  // A log that is there already keeps the mode it was given.
  ::chmod("mcall.log", 0600);
  ASSERT_TRUE(logs_.WriteOperatorLog("<OK"));
  EXPECT_EQ(ModeOf("mcall.log"), 0600u);
}

// A full [Log] Path is used where it points; a relative one lies beside the
// program, as before.
TEST_F(FileRules, FullLogPathIsUsedAsItIs) {
  const std::string absolute = elsewhere_.Path() + "/daily/";
  std::ofstream(dir_.File("mcalld.ini")) << "[Log]\nPath=" << absolute << "\n";
  app::Settings settings;
  ASSERT_TRUE(app::ReadSettings(dir_.Path() + "/", settings));
  EXPECT_TRUE(fs::is_directory(absolute));
  EXPECT_FALSE(fs::exists(dir_.Path() + absolute)) << "no copy of the tree beside the program";

  std::ofstream(dir_.File("mcalld.ini")) << "[Log]\nPath=logs/\n";
  ASSERT_TRUE(app::ReadSettings(dir_.Path() + "/", settings));
  EXPECT_TRUE(fs::is_directory(dir_.File("logs")));
}

// Something other than a regular file under the settings' name counts as
// no settings, and nobody waits on it: the link thread reads [ServerHost]
// at every connection attempt.
TEST_F(FileRules, SettingsThatAreNoFileCountAsMissing) {
  ASSERT_EQ(::mkfifo(dir_.File("mcalld.ini").c_str(), 0600), 0);
  const auto started = std::chrono::steady_clock::now();
  app::Settings settings;
  EXPECT_FALSE(app::ReadSettings(dir_.Path() + "/", settings));
  const serverlink::ServerAddress server = app::ReadServerHost(dir_.Path() + "/");
  EXPECT_EQ(server.Address, "127.0.0.1");
  EXPECT_EQ(server.Port, 12543);
  EXPECT_EQ(app::ComDevicePath(dir_.Path() + "/", 3), "/dev/ttyS2");
  EXPECT_FALSE(app::WriteComSetting(dir_.Path() + "/", "COM3"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));

  fs::remove(dir_.File("mcalld.ini"));
  fs::create_directory(dir_.File("mcalld.ini"));
  EXPECT_FALSE(app::ReadSettings(dir_.Path() + "/", settings));
  EXPECT_EQ(app::ReadServerHost(dir_.Path() + "/").Port, 12543);
}

}  // namespace
