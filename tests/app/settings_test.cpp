#include "app/core/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct StringCase {
  const char* name;
  std::string file;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

TEST(IniReadString, Cases) {
  const StringCase cases[] = {
      {"plain", "[Main]\nCom=COM3\n", "Main", "Com", "COM3"},
      {"section and key without regard to case", "[MAIN]\npathforsoob=spool/\n", "main", "PathForSoob", "spool/"},
      {"blanks around name and value", "[ Main ]\n  Com \t=  COM3 \t\n", "Main", "Com", "COM3"},
      {"value after the first equals sign", "[Main]\nCode=a=b\n", "Main", "Code", "a=b"},
      {"present but empty is empty, not absent", "[Main]\nCom=\n", "Main", "Com", ""},
      {"absent key", "[Main]\nSpeed=1\n", "Main", "Com", std::nullopt},
      {"key of another section", "[Log]\nCom=COM3\n[Main]\n", "Main", "Com", std::nullopt},
      {"no section at all", "Com=COM3\n", "Main", "Com", std::nullopt},
      {"CR LF line ends", "[Main]\r\nCom=COM3\r\nSpeed=1\r\n", "Main", "Com", "COM3"},
      {"byte-order mark before the first section", "\xEF\xBB\xBF[Main]\nCom=COM3\n", "Main", "Com", "COM3"},
      {"comment line is not a key", "[Main]\n;Com=COM9\nCom=COM3\n", "Main", "Com", "COM3"},
      {"matching double quotes removed", "[Main]\nCode=\" 11 \"\n", "Main", "Code", " 11 "},
      {"lone quote kept", "[Main]\nCode=\"11\n", "Main", "Code", "\"11"},
      {"first of duplicate keys", "[Main]\nCom=COM3\nCom=COM4\n", "Main", "Com", "COM3"},
      {"key in a repeated section", "[Main]\nSpeed=1\n[Log]\n[main]\nCom=COM5\n", "Main", "Com", "COM5"},
      {"Windows-1251 bytes untouched", "[Main]\nCode=\xCA\xCF\xCE\n", "Main", "Code", "\xCA\xCF\xCE"},
      {"last line without line end", "[Main]\nCom=COM3", "Main", "Com", "COM3"},
      {"unclosed section header opens nothing", "[Main]\n[Log\nCom=COM3\n", "Main", "Com", "COM3"},
      {"value cut to 2047 characters", "[Main]\nCode=" + std::string(3000, 'a') + "\n", "Main", "Code",
       std::string(2047, 'a')},
  };
  for (const StringCase& c : cases) {
    EXPECT_EQ(app::ini::ReadString(c.file, c.section, c.key), c.expected) << c.name;
  }
}

TEST(IniReadInt, Cases) {
  struct Case {
    const char* value;
    int32_t expected;
  };
  // The default is 9600 throughout, so every row that falls back shows it.
  const Case cases[] = {
      {"19200", 19200},       {"0x2580", 9600},  {"$2580", 9600},   {"0X2580", 9600},       {"x2580", 9600},
      {"X2580", 9600},        {"$ff", 255},      {"-5", -5},        {"+7", 7},              {"", 9600},
      {"fast", 9600},         {"12ab", 9600},    {"0x", 9600},      {"-", 9600},            {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN}, {"2147483648", 9600}, {"-2147483649", 9600}, {"0x80000000", 9600},
      {"99999999999999999999999", 9600}, {"\"115200\"", 115200}, {"1 2", 9600}, {"-0x10", 9600},
  };
  for (const Case& c : cases) {
    const std::string file = std::string("[Main]\nSpeed=") + c.value + "\n";
    EXPECT_EQ(app::ini::ReadInt(file, "Main", "Speed", 9600), c.expected) << "Speed=" << c.value;
  }
  EXPECT_EQ(app::ini::ReadInt("[Main]\n", "Main", "Speed", 9600), 9600) << "absent";
}

struct WriteCase {
  const char* name;
  std::string before;
  std::string value;
  std::string after;
};

TEST(IniWithValue, ChangesOnlyTheValue) {
  const WriteCase cases[] = {
      {"replaced in place, every other byte kept", "; top\r\n[main]\r\n  Com = COM1  \r\nSpeed=9600\r\n",
       "COM3", "; top\r\n[main]\r\n  Com = COM3  \r\nSpeed=9600\r\n"},
      // Comments are whole lines only, so ";x" here is part of the old value.
      {"trailing text is part of the value", "[Main]\nCom=COM1 ;x\n", "COM3", "[Main]\nCom=COM3\n"},
      {"empty value filled", "[Main]\nCom=\nSpeed=1\n", "COM3", "[Main]\nCom=COM3\nSpeed=1\n"},
      {"quoted value replaced whole", "[Main]\nCom=\"COM1\"\n", "COM3", "[Main]\nCom=COM3\n"},
      {"key added after the section's last line", "[Main]\r\nSpeed=1\r\n\r\n[Log]\r\nOn=1\r\n", "COM3",
       "[Main]\r\nSpeed=1\r\nCom=COM3\r\n\r\n[Log]\r\nOn=1\r\n"},
      {"key added to a last line without line end", "[Main]\nSpeed=1", "COM3", "[Main]\nSpeed=1\nCom=COM3\n"},
      {"key added to an empty section", "[Main]\n[Log]\n", "COM3", "[Main]\nCom=COM3\n[Log]\n"},
      {"section added", "[Log]\r\nOn=1\r\n", "COM3", "[Log]\r\nOn=1\r\n[Main]\r\nCom=COM3\r\n"},
      {"section added after a last line without line end", "[Log]\nOn=1", "COM3", "[Log]\nOn=1\n[Main]\nCom=COM3\n"},
      {"section added to an empty file", "", "COM3", "[Main]\nCom=COM3\n"},
      {"line break in the value cannot add keys", "[Main]\nCom=COM1\n", "COM3\r\n[Evil]\r\nx=1", "[Main]\nCom=COM3\n"},
  };
  for (const WriteCase& c : cases) {
    const std::string after = app::ini::WithValue(c.before, "Main", "Com", c.value);
    EXPECT_EQ(after, c.after) << c.name;
  }
}

class SettingsFile : public ::testing::Test {
 protected:
  void Write(const std::string& text) { WriteFile(dir_.File(app::kSettingsFileName), text); }
  app::Settings Read() {
    app::Settings s;
    EXPECT_TRUE(app::ReadSettings(dir_.Dir(), s));
    return s;
  }
  TempDir dir_;
};

TEST_F(SettingsFile, EmptyFileGivesEveryDefault) {
  Write("");
  const app::Settings s = Read();
  EXPECT_EQ(s.ComName, "COM1");
  EXPECT_EQ(s.Speed, 9600);
  EXPECT_EQ(s.Code, "1120");
  EXPECT_EQ(s.LogPath, "");
  EXPECT_FALSE(s.LogOn);
  EXPECT_EQ(s.PathForSoob, "");
  EXPECT_EQ(s.NumberS, 0);
  EXPECT_FALSE(s.Syslog);
}

TEST_F(SettingsFile, EveryKeyFromItsSection) {
  Write("[Main]\r\nCom=COM4\r\nSpeed=230400\r\nCode=0042\r\nNumberS=8\r\nSyslog=1\r\n"
        "[LOG]\r\nPath=logs/\r\nOn=2\r\n[MAIN]\r\npathforsoob=spool/\r\n");
  const app::Settings s = Read();
  EXPECT_EQ(s.ComName, "COM4");
  EXPECT_EQ(s.Speed, 230400);
  EXPECT_EQ(s.Code, "0042");
  EXPECT_EQ(s.LogPath, "logs/");
  EXPECT_TRUE(s.LogOn);
  EXPECT_EQ(s.PathForSoob, "spool/");
  EXPECT_EQ(s.NumberS, 8);
  EXPECT_TRUE(s.Syslog);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("logs"))) << "programDir + LogPath is created";
}

TEST_F(SettingsFile, BooleansReadAsIntegers) {
  struct Case {
    const char* line;
    bool on;
  };
  const Case cases[] = {{"On=1", true}, {"On=2", true}, {"On=$10", true}, {"On=0", false},
                        {"On=yes", false}, {"On=", false}, {"", false}};
  for (const Case& c : cases) {
    Write(std::string("[Log]\n") + c.line + "\n");
    EXPECT_EQ(Read().LogOn, c.on) << c.line;
  }
}

TEST_F(SettingsFile, EmptyComMeansNoPort) {
  Write("[Main]\nCom=\n");
  EXPECT_EQ(Read().ComName, "");
}

TEST_F(SettingsFile, MissingFileLeavesSettingsUntouched) {
  app::Settings s;
  s.ComName = "COM7";
  s.Speed = 1;
  EXPECT_FALSE(app::ReadSettings(dir_.Dir(), s));
  EXPECT_EQ(s.ComName, "COM7");
  EXPECT_EQ(s.Speed, 1);
}

TEST_F(SettingsFile, LogDirectoryThatCannotBeMadeIsIgnored) {
  WriteFile(dir_.File("plain"), "x");
  Write("[Log]\nPath=plain/sub/\n");
  EXPECT_EQ(Read().LogPath, "plain/sub/");
}

TEST_F(SettingsFile, ComWrittenAndReadBack) {
  const std::string before = "; site 7\r\n[Main]\r\nCom=COM1\r\nSpeed=9600\r\n[Log]\r\nOn=1\r\n";
  Write(before);
  ::chmod(dir_.File(app::kSettingsFileName).c_str(), 0640);
  ASSERT_TRUE(app::WriteComSetting(dir_.Dir(), "COM3"));
  EXPECT_EQ(Read().ComName, "COM3");
  EXPECT_EQ(ReadFile(dir_.File(app::kSettingsFileName)),
            "; site 7\r\n[Main]\r\nCom=COM3\r\nSpeed=9600\r\n[Log]\r\nOn=1\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(dir_.File(app::kSettingsFileName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the administrator's permissions stay";
  EXPECT_FALSE(std::filesystem::exists(dir_.File("mcalld.ini.tmp")));
}

TEST_F(SettingsFile, ComWrittenThroughASymbolicLink) {
  WriteFile(dir_.File("real.ini"), "[Main]\nCom=COM1\n");
  std::filesystem::create_symlink(dir_.File("real.ini"), dir_.File(app::kSettingsFileName));
  ASSERT_TRUE(app::WriteComSetting(dir_.Dir(), "COM2"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.File(app::kSettingsFileName)));
  EXPECT_EQ(ReadFile(dir_.File("real.ini")), "[Main]\nCom=COM2\n");
}

TEST_F(SettingsFile, NothingWrittenWithoutFileOrName) {
  EXPECT_FALSE(app::WriteComSetting(dir_.Dir(), "COM3"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File(app::kSettingsFileName))) << "the program never creates the file";
  Write("[Main]\nCom=COM1\n");
  EXPECT_FALSE(app::WriteComSetting(dir_.Dir(), ""));
  EXPECT_EQ(ReadFile(dir_.File(app::kSettingsFileName)), "[Main]\nCom=COM1\n");
}

TEST_F(SettingsFile, FailedWriteRaisesAndKeepsTheOldFile) {
  // Root ignores permissions, so the failure is made real: the temporary
  // file's name is taken by a directory.
  const std::string before = "[Main]\nCom=COM1\n";
  Write(before);
  std::filesystem::create_directory(dir_.File("mcalld.ini.tmp"));
  const std::string path = dir_.File(app::kSettingsFileName);
  try {
    app::WriteComSetting(dir_.Dir(), "COM3");
    ADD_FAILURE() << "no error raised";
  } catch (const app::SettingsWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
  EXPECT_EQ(ReadFile(path), before);
}

// The directory itself refuses the temporary file; root is not refused, so
// there the test above stands in.
TEST_F(SettingsFile, ReadOnlyDirectoryRaisesAndKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into a read-only directory";
  const std::string before = "[Main]\nCom=COM1\n";
  Write(before);
  ASSERT_EQ(::chmod(dir_.Dir().c_str(), 0555), 0);
  EXPECT_THROW(app::WriteComSetting(dir_.Dir(), "COM3"), app::SettingsWriteError);
  ::chmod(dir_.Dir().c_str(), 0755);
  EXPECT_EQ(ReadFile(dir_.File(app::kSettingsFileName)), before);
}

TEST(ProgramDir, IsTheExecutablesDirectoryWithTrailingSlash) {
  const std::string dir = app::ProgramDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(std::filesystem::is_regular_file(dir + "app_core_tests"));
}

TEST(ServerHost, DefaultsAndValues) {
  TempDir dir;
  serverlink::ServerAddress a = app::ReadServerHost(dir.Dir());
  EXPECT_EQ(a.Address, "127.0.0.1") << "no file";
  EXPECT_EQ(a.Port, 12543);

  WriteFile(dir.File(app::kSettingsFileName), "[Main]\nCom=COM1\n");
  a = app::ReadServerHost(dir.Dir());
  EXPECT_EQ(a.Address, "127.0.0.1") << "no section";
  EXPECT_EQ(a.Port, 12543);

  WriteFile(dir.File(app::kSettingsFileName), "[serverhost]\naddress=10.0.0.5\nPort=$3039\n");
  std::string noSlash = dir.Dir();
  noSlash.pop_back();
  a = app::ReadServerHost(noSlash);
  EXPECT_EQ(a.Address, "10.0.0.5") << "a directory without the trailing separator";
  EXPECT_EQ(a.Port, 12345);

  WriteFile(dir.File(app::kSettingsFileName), "[ServerHost]\nPort=many\n");
  EXPECT_EQ(app::ReadServerHost(dir.Dir()).Port, 12543);
}

TEST(ComNames, Numbers) {
  struct Case {
    const char* name;
    int n;
  };
  const Case cases[] = {{"COM1", 1},  {"COM32", 32}, {"com7", 7},  {"COM33", 0}, {"COM0", 0}, {"COM03", 0},
                        {"COM", 0},   {"COM1a", 0},  {"LPT1", 0},  {"", 0},      {"COM100", 0}, {"COM-1", 0}};
  for (const Case& c : cases) EXPECT_EQ(app::ComNumber(c.name), c.n) << c.name;
}

TEST(ComNames, DevicePaths) {
  TempDir dir;
  EXPECT_EQ(app::ComDevicePath(dir.Dir(), 1), "/dev/ttyS0") << "no file";
  WriteFile(dir.File(app::kSettingsFileName), "[Ports]\nCOM3=/dev/ttyUSB0\nCOM4=\n");
  EXPECT_EQ(app::ComDevicePath(dir.Dir(), 3), "/dev/ttyUSB0");
  EXPECT_EQ(app::ComDevicePath(dir.Dir(), 4), "/dev/ttyS3") << "empty value is no mapping";
  EXPECT_EQ(app::ComDevicePath(dir.Dir(), 32), "/dev/ttyS31");
}

}  // namespace
