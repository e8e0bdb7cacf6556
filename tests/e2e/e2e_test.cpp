// The built program end to end: copied into a temporary directory with its
// settings, started there on the offscreen platform, with a scripted modem
// on a pseudo-terminal and a scripted message server on loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/frame.h"
#include "tests/e2e/fixtures.h"
#include "modem/call_event.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using e2e::ScriptedModem;
using e2e::ScriptedServer;
using e2e::UnusedPort;
using e2e::WaitFor;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mcalld-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::copy_file(MCALLD_BINARY, dir_ / "mcalld");
    fs::create_directory(dir_ / "spool");
  }
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void WriteSettings(const std::string& device, int serverPort) {
    std::ofstream out(dir_ / "mcalld.ini", std::ios::binary);
    out << "[Main]\r\nCom=COM3\r\nSpeed=115200\r\nCode=1120\r\nPathForSoob=spool/\r\nSyslog=1\r\n"
        << "[Log]\r\nOn=1\r\nPath=\r\n"
        << "[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" << serverPort << "\r\n"
        << "[Ports]\r\nCOM3=" << device << "\r\n";
  }

  void Start() {
    const std::string program = (dir_ / "mcalld").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Sends SIGTERM and returns the exit status, or -1 when it did not end in time.
  int Terminate() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5s);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::vector<fs::path> SpoolFiles() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir_ / "spool"))
      if (entry.path().extension() == ".dd8") files.push_back(entry.path());
    return files;
  }

  bool StartupDialogueDone(ScriptedModem& modem) { return modem.Received("AT+CLIP=1\r"); }

  static constexpr const char* kCall = "\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n";

  fs::path dir_;
  pid_t pid_ = -1;
};

TEST_F(ProgramTest, AnswersACallAndDeliversItsEventToTheServer) {
  ScriptedModem modem;
  ScriptedServer server;
  WriteSettings(modem.SlavePath(), server.Port());
  Start();

  ASSERT_TRUE(WaitFor([&] { return StartupDialogueDone(modem); }));
  const std::vector<std::string> startup = {"AT\r", "ATE0\r", "AT+CGMI\r", "AT+CGMM\r", "AT+CPMS?\r", "AT+CLIP=1\r"};
  auto commands = modem.Commands();
  ASSERT_GE(commands.size(), startup.size());
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 6), startup);

  ASSERT_TRUE(WaitFor([&] { return server.Frames().size() >= 4; }));
  const auto frames = server.Frames();
  EXPECT_EQ(frames[0].type, serverlink::ftHello);
  EXPECT_EQ(frames[1].type, serverlink::ftModemStatus);
  EXPECT_EQ(frames[2].type, serverlink::ftClientFlag);
  EXPECT_EQ(frames[3].type, serverlink::ftClientVersion);

  modem.Send(kCall);
  ASSERT_TRUE(WaitFor([&] { return modem.Received("ATH\r\n"); }));
  commands = modem.Commands();
  const auto ata = std::find(commands.begin(), commands.end(), "ATA\r\n");
  ASSERT_NE(ata, commands.end());
  ASSERT_LE(std::distance(ata, commands.end()), 3);
  EXPECT_EQ(*(ata + 1), "AT+VTS=1\r\n");
  EXPECT_EQ(*(ata + 2), "ATH\r\n");

  ASSERT_TRUE(WaitFor([&] { return !server.FramesOfType(serverlink::ftCallEvent).empty(); }));
  const auto events = server.FramesOfType(serverlink::ftCallEvent);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].payload.size(), modem::kCallEventSize);
  modem::CallEventBytes bytes{};
  std::copy(events[0].payload.begin(), events[0].payload.end(), bytes.begin());
  const auto event = modem::CallEvent::Decode(bytes);
  EXPECT_EQ(event.PhoneNumber, 9161234567);
  EXPECT_EQ(event.ObjectCode, "1120");
  EXPECT_TRUE(SpoolFiles().empty());

  EXPECT_TRUE(fs::exists(dir_ / "mcall.log"));
  bool systemLog = false;
  for (const auto& entry : fs::directory_iterator(dir_)) systemLog |= entry.path().extension() == ".lgs";
  EXPECT_TRUE(systemLog);

  EXPECT_EQ(Terminate(), 0);
  // The port's lock is released: another holder may take the device now.
  const int fd = ::open(modem.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
}

TEST_F(ProgramTest, SpoolsTheCallWhenNoServerListens) {
  ScriptedModem modem;
  WriteSettings(modem.SlavePath(), UnusedPort());
  Start();
  ASSERT_TRUE(WaitFor([&] { return StartupDialogueDone(modem); }));
  modem.Send(kCall);
  ASSERT_TRUE(WaitFor([&] { return !SpoolFiles().empty(); }));
  const auto files = SpoolFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::file_size(files[0]), 25u);
  EXPECT_EQ(Terminate(), 0);
}

TEST_F(ProgramTest, SigtermSpoolsTheCallEventsStillQueued) {
  ScriptedModem modem;
  ScriptedServer server(/*silent=*/true);
  WriteSettings(modem.SlavePath(), server.Port());
  Start();
  ASSERT_TRUE(WaitFor([&] { return StartupDialogueDone(modem) && server.Accepted(); }));
  // The silent server holds the link in its reply waits, one second per
  // connect frame, so the call event waits in the queue behind them.
  modem.Send(kCall);
  ASSERT_TRUE(WaitFor([&] { return modem.Received("ATA\r\n"); }));
  EXPECT_EQ(Terminate(), 0);
  EXPECT_EQ(SpoolFiles().size(), 1u);
}

}  // namespace
