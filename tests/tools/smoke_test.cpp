#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::TempDir;

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(5);

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads from fd until the collected bytes hold `wanted` or the deadline passes.
std::string ReadUntil(int fd, const std::string& wanted, std::string* buffer) {
  const auto deadline = Clock::now() + kWait;
  size_t found;
  while ((found = buffer->find(wanted)) == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) return {};
    char chunk[512];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return {};
    buffer->append(chunk, static_cast<size_t>(n));
  }
  std::string through = buffer->substr(0, found + wanted.size());
  buffer->erase(0, found + wanted.size());
  return through;
}

// One of the tools as a child process, with its stdin and stdout piped.
class Tool {
 public:
  explicit Tool(std::vector<std::string> args) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Tool() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(stdin_);
    close(stdout_);
  }

  std::string Line() { return ReadUntil(stdout_, "\n", &buffer_); }
  std::string OutputThrough(const std::string& wanted) { return ReadUntil(stdout_, wanted, &buffer_); }
  void Type(const std::string& text) { ASSERT_EQ(write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }

  // The exit status after SIGTERM, or nullopt when it did not end in time.
  std::optional<int> Terminate() {
    kill(pid_, SIGTERM);
    return Wait();
  }
  std::optional<int> Wait() {
    const auto deadline = Clock::now() + kWait;
    int status = 0;
    while (Clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

std::string Chomp(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

class Device {
 public:
  explicit Device(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~Device() { close(fd_); }
  bool ok() const { return fd_ >= 0; }
  void Send(const std::string& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  std::string ReadThrough(const std::string& wanted) { return ReadUntil(fd_, wanted, &buffer_); }

 private:
  int fd_;
  std::string buffer_;
};

TEST(ModemSim, AnswersOverThePtyPlacesCallsAndSurvivesReopening) {
  Tool sim({MODEM_SIM, "--number", "+79160000001"});
  const std::string path = Chomp(sim.Line());
  ASSERT_FALSE(path.empty());
  {
    Device modem(path);
    ASSERT_TRUE(modem.ok()) << path;
    modem.Send("AT\r");
    EXPECT_EQ(modem.ReadThrough("OK\r\n"), "AT\r\r\nOK\r\n");
    modem.Send("ATE0\r\nAT+CGMI\r\n");
    EXPECT_EQ(modem.ReadThrough("ACME"), "ATE0\r\r\nOK\r\n\r\nACME");
    sim.Type("\n");
    EXPECT_EQ(modem.ReadThrough(",0\r\n"), "\r\n\r\nOK\r\n\r\nRING\r\n\r\n+CLIP: \"+79160000001\",145,,,,0\r\n");
  }
  // The driver closes and reopens the port on every stop and start.
  ASSERT_NE(sim.OutputThrough("device closed"), "");
  Device again(path);
  ASSERT_TRUE(again.ok());
  again.Send("AT+CGMM\r");
  EXPECT_EQ(again.ReadThrough("OK\r\n"), "\r\nGSM-1\r\n\r\nOK\r\n");
  EXPECT_EQ(sim.Terminate(), 0);
}

TEST(ModemSim, ScriptAndSplitRepliesArriveWhole) {
  TempDir dir;
  std::ofstream(dir.File("calls")) << "# one call, early\n0.3 call 84950000002\n";
  Tool sim({MODEM_SIM, "--script", dir.File("calls"), "--split", "3", "--gap", "1", "--delay", "50", "--quiet"});
  Device modem(Chomp(sim.Line()));
  ASSERT_TRUE(modem.ok());
  EXPECT_EQ(modem.ReadThrough(",0\r\n"), "\r\nRING\r\n\r\n+CLIP: \"84950000002\",129,,,,0\r\n");
  modem.Send("AT+CPMS?\r");
  EXPECT_EQ(modem.ReadThrough("OK\r\n"), "AT+CPMS?\r\r\n+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30\r\n\r\nOK\r\n");
  EXPECT_EQ(sim.Terminate(), 0);
}

TEST(ModemSim, LinkIsMadeAndRemovedButAFileIsNeverReplaced) {
  TempDir dir;
  const std::string link = dir.File("ttyGSM");
  {
    Tool sim({MODEM_SIM, "--link", link, "--quiet"});
    const std::string path = Chomp(sim.Line());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    EXPECT_EQ(sim.Terminate(), 0);
    struct stat st{};
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the simulator";
  }
  std::ofstream(link) << "settings";
  Tool refused({MODEM_SIM, "--link", link});
  EXPECT_EQ(refused.Wait(), 2);
  std::ifstream kept(link);
  std::string text;
  kept >> text;
  EXPECT_EQ(text, "settings");
}

// Which words a refusal has is tested in process; here, that the program
// stops at one with status 2.
TEST(ModemSim, ARefusedCommandLineEndsWithStatusTwo) {
  Tool sim({MODEM_SIM, "--bogus"});
  EXPECT_EQ(sim.Wait(), 2);
}

int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendFrame(int fd, int32_t type, const serverlink::Bytes& payload, uint64_t sequence) {
  const auto block = serverlink::EncodeBlock(serverlink::EncodeFrame(type, payload, sequence));
  ASSERT_EQ(send(fd, block.data(), block.size(), MSG_NOSIGNAL), static_cast<ssize_t>(block.size()));
}

// The frame type of the one reply block, or nullopt when none came in time.
std::optional<int32_t> ReplyType(int fd) {
  std::string buffer;
  serverlink::Bytes bytes;
  const auto deadline = Clock::now() + kWait;
  constexpr size_t kEmptyReply = serverlink::kTransportHeaderSize + serverlink::kFrameHeaderSize;
  while (bytes.size() < kEmptyReply) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) return std::nullopt;
    uint8_t chunk[kEmptyReply];
    const ssize_t n = recv(fd, chunk, kEmptyReply - bytes.size(), 0);
    if (n <= 0) return std::nullopt;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return serverlink::FrameTypeOf(serverlink::Bytes(bytes.begin() + serverlink::kTransportHeaderSize, bytes.end()));
}

int ListeningPort(Tool& monitor) {
  const std::string line = Chomp(monitor.Line());
  const size_t colon = line.rfind(':');
  return colon == std::string::npos ? -1 : std::atoi(line.c_str() + colon + 1);
}

TEST(LinkMonitor, GrantsAccessRepliesToEveryBlockAndPrintsFrames) {
  Tool monitor({LINK_MONITOR, "--port", "0"});
  const int port = ListeningPort(monitor);
  ASSERT_GT(port, 0);
  const int driver = Connect(port);
  ASSERT_GE(driver, 0);

  SendFrame(driver, serverlink::ftHello, {0x32, 0x00}, 0);
  EXPECT_EQ(ReplyType(driver), serverlink::ftAccessGranted);
  EXPECT_NE(monitor.OutputThrough("ftHello seq=0 kind=50\n"), "");

  SendFrame(driver, serverlink::ftModemStatus, serverlink::BuildModemStatus("COM3", true), 1);
  EXPECT_EQ(ReplyType(driver), serverlink::ftKeepAlive);
  EXPECT_NE(monitor.OutputThrough("ftModemStatus seq=1 port=\"COM3\" running=1\n"), "");

  // A key's command is the reply to the next block, so the stream stays one for one.
  monitor.Type("p");
  ASSERT_NE(monitor.OutputThrough("ftPoll goes with the next reply"), "");
  SendFrame(driver, serverlink::ftKeepAlive, {}, 0);
  EXPECT_EQ(ReplyType(driver), serverlink::ftPoll);
  close(driver);

  // A stream out of step costs that driver its connection, not the monitor its life.
  const int garbage = Connect(port);
  ASSERT_GE(garbage, 0);
  ASSERT_EQ(send(garbage, "hello there, this is not a block", 32, MSG_NOSIGNAL), 32);
  EXPECT_EQ(ReplyType(garbage), std::nullopt);
  EXPECT_NE(monitor.OutputThrough("stream out of step"), "");
  close(garbage);

  const int next = Connect(port);
  SendFrame(next, serverlink::ftClientVersion, serverlink::BuildClientVersion("1.0.0.1"), 3);
  EXPECT_EQ(ReplyType(next), serverlink::ftAccessGranted);
  EXPECT_NE(monitor.OutputThrough("version=1.0.0.1\n"), "");
  close(next);
  EXPECT_EQ(monitor.Terminate(), 0);
}

TEST(LinkMonitor, OptionsChooseTheReplies) {
  const struct {
    std::vector<std::string> args;
    std::vector<int32_t> replies;
  } cases[] = {
      {{LINK_MONITOR, "--port", "0", "--deny"}, {serverlink::ftAccessDenied}},
      {{LINK_MONITOR, "--port", "0", "--close-after", "0"}, {serverlink::ftAccessGranted, serverlink::ftCloseCommand}},
      {{LINK_MONITOR, "--port", "0", "--disconnect-after", "0"},
       {serverlink::ftAccessGranted, serverlink::ftDisconnectCommand, serverlink::ftKeepAlive}},
  };
  for (const auto& c : cases) {
    Tool monitor(c.args);
    const int driver = Connect(ListeningPort(monitor));
    ASSERT_GE(driver, 0) << c.args[3];
    for (const int32_t expected : c.replies) {
      SendFrame(driver, serverlink::ftKeepAlive, {}, 0);
      EXPECT_EQ(ReplyType(driver), expected) << c.args[3];
    }
    close(driver);
    EXPECT_EQ(monitor.Terminate(), 0);
  }
}

TEST(LinkMonitor, ARefusedCommandLineEndsWithStatusTwo) {
  Tool monitor({LINK_MONITOR, "--bogus"});
  EXPECT_EQ(monitor.Wait(), 2);
}

}  // namespace
