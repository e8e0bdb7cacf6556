// The built program end to end: copied into a temporary directory with its
// settings, started there on the offscreen platform, with a scripted modem
// on a pseudo-terminal and a scripted message server on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "link/frame.h"
#include "modem/call_event.h"
#include "tests/support/call_events.h"
#include "tests/support/loopback.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_modem.h"
#include "tests/support/scripted_server.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using testsupport::Program;
using testsupport::ScriptedModem;
using testsupport::ScriptedServer;
using testsupport::UnusedPort;
using testsupport::WaitFor;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(program_.Dir() / "spool"); }

  void WriteSettings(int serverPort) {
    program_.WriteSettings("[Main]\r\nCom=COM3\r\nSpeed=115200\r\nCode=1120\r\nPathForSoob=spool/\r\nSyslog=1\r\n"
                           "[Log]\r\nOn=1\r\nPath=\r\n"
                           "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
                           std::to_string(serverPort) + "\r\n[Ports]\r\nCOM3=" + modem_.LinkPath().string() + "\r\n");
  }

  void Start() { ASSERT_TRUE(program_.Start()); }
  int Terminate() { return program_.Terminate(5s); }

  std::vector<fs::path> SpoolFiles() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(program_.Dir() / "spool"))
      if (entry.path().extension() == ".dd8") files.push_back(entry.path());
    return files;
  }

  bool Received(const std::string& command) { return modem_.Count(command) > 0; }
  bool StartupDialogueDone() { return Received("AT+CLIP=1\r"); }

  static constexpr const char* kCall = "\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n";

  Program program_{MCALLD_BINARY};
  ScriptedModem modem_{program_.Dir() / "modem"};
};

TEST_F(ProgramTest, AnswersACallAndDeliversItsEventToTheServer) {
  ScriptedServer server;
  WriteSettings(server.Port());
  Start();

  ASSERT_TRUE(WaitFor([&] { return StartupDialogueDone(); }));
  const std::vector<std::string> startup = {"AT\r",       "ATE0\r",      "AT+CMEE=1\r", "AT+CGMI\r",
                                            "AT+CGMM\r",  "AT+CPMS?\r",  "AT+CVHU=0\r", "AT+CLIP=1\r"};
  auto commands = modem_.Commands();
  ASSERT_GE(commands.size(), startup.size());
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 8), startup);

  ASSERT_TRUE(WaitFor([&] { return server.Frames().size() >= 4; }));
  const auto frames = server.Frames();
  EXPECT_EQ(frames[0].type, serverlink::ftHello);
  EXPECT_EQ(frames[1].type, serverlink::ftModemStatus);
  EXPECT_EQ(frames[2].type, serverlink::ftClientFlag);
  EXPECT_EQ(frames[3].type, serverlink::ftClientVersion);

  modem_.Send(kCall);
  ASSERT_TRUE(WaitFor([&] { return Received("ATH\r\n"); }));
  commands = modem_.Commands();
  const auto ata = std::find(commands.begin(), commands.end(), "ATA\r\n");
  ASSERT_NE(ata, commands.end());
  ASSERT_LE(std::distance(ata, commands.end()), 3);
  EXPECT_EQ(*(ata + 1), "AT+VTS=1\r\n");
  EXPECT_EQ(*(ata + 2), "ATH\r\n");

  ASSERT_TRUE(WaitFor([&] { return !server.FramesOfType(serverlink::ftCallEvent).empty(); }));
  const auto events = server.FramesOfType(serverlink::ftCallEvent);
  ASSERT_EQ(events.size(), 1u);
  const auto event = testsupport::DecodeCallEvent(events[0].payload);
  ASSERT_TRUE(event) << events[0].payload.size() << " bytes";
  EXPECT_EQ(event->PhoneNumber, 9161234567);
  EXPECT_EQ(event->ObjectCode, "1120");
  EXPECT_TRUE(SpoolFiles().empty());

  EXPECT_TRUE(fs::exists(program_.Dir() / "mcall.log"));
  bool systemLog = false;
  for (const auto& entry : fs::directory_iterator(program_.Dir())) systemLog |= entry.path().extension() == ".lgs";
  EXPECT_TRUE(systemLog);

  EXPECT_EQ(Terminate(), 0);
  // The port's lock is released: another holder may take the device now.
  const int fd = ::open(modem_.LinkPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
}

TEST_F(ProgramTest, SpoolsTheCallWhenNoServerListens) {
  WriteSettings(UnusedPort());
  Start();
  ASSERT_TRUE(WaitFor([&] { return StartupDialogueDone(); }));
  modem_.Send(kCall);
  ASSERT_TRUE(WaitFor([&] { return !SpoolFiles().empty(); }));
  const auto files = SpoolFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::file_size(files[0]), 25u);
  EXPECT_EQ(Terminate(), 0);
}

TEST_F(ProgramTest, SigtermSpoolsTheCallEventsStillQueued) {
  ScriptedServer server;
  WriteSettings(server.Port());
  Start();
  ASSERT_TRUE(WaitFor([&] {
    return StartupDialogueDone() && !server.FramesOfType(serverlink::ftClientVersion).empty();
  }));
  // The server reads the call event and does not answer it, so when the
  // program is told to stop the event is still owed to the server.
  server.HoldReplyTo(serverlink::ftCallEvent);
  modem_.Send(kCall);
  ASSERT_TRUE(WaitFor([&] { return !server.FramesOfType(serverlink::ftCallEvent).empty(); }));
  EXPECT_EQ(Terminate(), 0);
  EXPECT_EQ(SpoolFiles().size(), 1u);
}

}  // namespace
