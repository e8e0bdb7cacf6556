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
#include "modem/call_event.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return predicate();
}

// Answers every command line like a modem with its echo off, and places a
// call when asked.
class ScriptedModem {
 public:
  ScriptedModem() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    slavePath_ = name;
    ::close(slave);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedModem() {
    stop_ = true;
    thread_.join();
    ::close(master_);
  }
  const std::string& SlavePath() const { return slavePath_; }

  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  bool Received(const std::string& command) {
    const auto all = Commands();
    return std::find(all.begin(), all.end(), command) != all.end();
  }
  void Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += bytes;
  }

 private:
  void Run() {
    std::string input;
    while (!stop_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_.empty()) {
          Write(pending_);
          pending_.clear();
        }
      }
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (p.revents & POLLHUP) {  // nobody has the slave open (yet, or any more)
        std::this_thread::sleep_for(20ms);
        continue;
      }
      char buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      input.append(buffer, static_cast<size_t>(n));
      // The driver writes each command whole: "...\r" or "...\r\n".
      size_t end;
      while ((end = input.find('\r')) != std::string::npos) {
        if (end + 1 < input.size() && input[end + 1] == '\n') ++end;
        Record(input.substr(0, end + 1));
        input.erase(0, end + 1);
      }
    }
  }
  void Record(const std::string& command) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back(command);
    }
    if (command.rfind("AT+CGMI", 0) == 0) {
      Write("\r\nACME\r\n\r\nOK\r\n");
    } else if (command.rfind("AT+CGMM", 0) == 0) {
      Write("\r\nGSM-1\r\n\r\nOK\r\n");
    } else {
      Write("\r\nOK\r\n");
    }
  }
  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  int master_ = -1;
  std::string slavePath_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> commands_;
  std::string pending_;
};

struct ReceivedFrame {
  int32_t type = 0;
  serverlink::Bytes payload;
};

// Accepts the driver, grants access, answers each block, records frames.
// A silent server accepts and then never reads nor answers.
class ScriptedServer {
 public:
  explicit ScriptedServer(bool silent = false) : silent_(silent) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }
  std::vector<ReceivedFrame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::vector<ReceivedFrame> FramesOfType(int32_t type) {
    std::vector<ReceivedFrame> matching;
    for (auto& f : Frames())
      if (f.type == type) matching.push_back(f);
    return matching;
  }
  bool Accepted() const { return accepted_; }

 private:
  bool ReadExactly(int fd, uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count && !stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd, data + done, count - done, 0);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return done == count;
  }
  void Run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      accepted_ = true;
      Serve(fd);
      ::close(fd);
    }
  }
  void Serve(int fd) {
    bool granted = false;
    while (!stop_) {
      if (silent_) {
        std::this_thread::sleep_for(20ms);
        continue;
      }
      uint8_t header[serverlink::kTransportHeaderSize];
      if (!ReadExactly(fd, header, sizeof header)) return;
      const auto info = serverlink::DecodeBlockHeader(header);
      if (!info.Accepted || info.BodyLength < 18 || info.BodyLength > 4096) return;
      serverlink::Bytes body(static_cast<size_t>(info.BodyLength));
      if (!ReadExactly(fd, body.data(), body.size())) return;
      ReceivedFrame frame;
      std::memcpy(&frame.type, body.data() + 1, 4);
      frame.payload.assign(body.begin() + 18, body.end());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
      }
      const int32_t reply = granted ? serverlink::ftKeepAlive : serverlink::ftAccessGranted;
      granted = true;
      const auto block = serverlink::EncodeBlock(serverlink::EncodeFrame(reply, {}, 0));
      ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
    }
  }

  bool silent_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::mutex mutex_;
  std::vector<ReceivedFrame> frames_;
};

int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

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
