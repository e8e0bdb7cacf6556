// A stand-in for the alarm suite's message server: accepts the driver,
// answers it and prints every frame it sends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <string>

#include "common/datetime.h"
#include "link/frame.h"
#include "tools/link-monitor/block_reader.h"
#include "tools/link-monitor/describe.h"
#include "tools/link-monitor/options.h"
#include "tools/tool_runtime.h"

namespace linkmonitor {
namespace {

using serverlink::Bytes;

constexpr const char* kUsage = R"(usage: link-monitor [options]

Listens for the driver's link, one driver at a time, and prints one line per
frame received: local time, type name, sequence and the decoded payload.
Lines about the connection itself carry "#" after the time. The first line
names the address and port listened on.

Every block the driver writes gets exactly one block back, since the driver
reads one reply per block: the first block of a connection gets
ftAccessGranted (ftAccessDenied with --deny), later ones an empty
ftKeepAlive, unless a command is waiting: then the command is the reply.
A command therefore reaches the driver with its next block, at the latest
with its next keep-alive.

options:
  --address A            IPv4 address to listen on (default 127.0.0.1)
  --port N               TCP port (default 12543; 0 picks a free one)
  --deny                 refuse every driver with ftAccessDenied
  --poll-every S         send ftPoll every S seconds
  --disconnect-after S   send ftDisconnectCommand S seconds after a driver
                         connects (0: with the reply after the first)
  --close-after S        the same with ftCloseCommand
  --help                 this text

keys on stdin: p = ftPoll, d = ftDisconnectCommand, c = ftCloseCommand,
a = ftAccessDenied. SIGINT or SIGTERM ends it.
)";

using tools::g_stop;
using tools::NowMs;

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "link-monitor: %s\n", message.c_str());
  std::exit(2);
}

void Print(const std::string& line) {
  const common::SystemClock clock;
  std::printf("%s %s\n", EventTimeText(clock.Now()).c_str(), line.c_str());
  std::fflush(stdout);  // a script may be following the lines
}

int Listen(const Options& o) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  if (inet_pton(AF_INET, o.address.c_str(), &addr.sin_addr) != 1) {
    Fail("--address: \"" + o.address + "\" is not an IPv4 address");
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(std::string("socket: ") + std::strerror(errno));
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
    Fail("cannot listen on " + o.address + ":" + std::to_string(o.port) + ": " + std::strerror(errno));
  }
  socklen_t size = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  Print("# listening on " + o.address + ":" + std::to_string(ntohs(addr.sin_port)));
  return fd;
}

class Monitor {
 public:
  Monitor(const Options& options, int listener) : o_(options), listener_(listener) {}
  void Run();

 private:
  void Accept();
  void Drop(const std::string& why);
  void ReadDriver();
  void Reply(const Bytes& body);
  void Command(int32_t type, const char* key);
  void Key(char key);
  void ReadStdin();
  void RunTimers(int64_t now);
  int Timeout(int64_t now) const;

  const Options& o_;
  int listener_;
  int client_ = -1;
  bool stdinOpen_ = true;
  BlockReader reader_;
  bool granted_ = false;  // the first block of this connection has been answered
  std::deque<int32_t> commands_;
  uint64_t sequence_ = 0;
  int64_t connectedAt_ = 0;
  int64_t nextPoll_ = 0;
  bool disconnectSent_ = false;
  bool closeSent_ = false;
};

void Monitor::Accept() {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
  if (fd < 0) return;
  // A driver that stops reading must not stall the monitor for good.
  const timeval limit{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  client_ = fd;
  reader_ = BlockReader();
  granted_ = false;
  commands_.clear();
  connectedAt_ = NowMs();
  nextPoll_ = connectedAt_ + static_cast<int64_t>(o_.pollEvery * 1000);
  disconnectSent_ = closeSent_ = false;
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
  Print("# driver connected from " + std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port)));
}

void Monitor::Drop(const std::string& why) {
  close(client_);
  client_ = -1;
  Print("# driver gone: " + why);
}

void Monitor::ReadDriver() {
  uint8_t buf[4096];
  const ssize_t n = recv(client_, buf, sizeof buf, 0);
  if (n == 0) return Drop("it closed the connection");
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR) Drop(std::strerror(errno));
    return;
  }
  reader_.Feed(buf, static_cast<size_t>(n));
  Bytes body;
  BlockReader::Status status = BlockReader::Status::kNeedMore;
  while (client_ >= 0 && (status = reader_.Next(&body)) == BlockReader::Status::kBlock) {
    Print(DescribeBody(body));
    Reply(body);
  }
  // Past a broken header there is no telling where the next block starts.
  if (client_ >= 0 && status == BlockReader::Status::kFailed) Drop("stream out of step: " + reader_.error());
}

void Monitor::Reply(const Bytes&) {
  int32_t type = serverlink::ftKeepAlive;
  if (!granted_) {
    granted_ = true;
    type = o_.deny ? serverlink::ftAccessDenied : serverlink::ftAccessGranted;
  } else if (!commands_.empty()) {
    type = commands_.front();
    commands_.pop_front();
  }
  const Bytes block = serverlink::EncodeBlock(serverlink::EncodeFrame(type, {}, sequence_++));
  if (send(client_, block.data(), block.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(block.size())) {
    return Drop(std::string("reply not written: ") + std::strerror(errno));
  }
  if (type != serverlink::ftKeepAlive) Print("# answered " + FrameTypeName(type));
}

void Monitor::Command(int32_t type, const char* why) {
  if (client_ < 0) {
    Print("# no driver connected; " + FrameTypeName(type) + " not sent");
    return;
  }
  // Polls from a timer while the driver is silent would only pile up.
  if (type == serverlink::ftPoll && std::find(commands_.begin(), commands_.end(), type) != commands_.end()) {
    return;
  }
  commands_.push_back(type);
  Print("# " + FrameTypeName(type) + " goes with the next reply (" + why + ")");
}

void Monitor::Key(char key) {
  switch (key) {
    case 'p': return Command(serverlink::ftPoll, "key p");
    case 'd': return Command(serverlink::ftDisconnectCommand, "key d");
    case 'c': return Command(serverlink::ftCloseCommand, "key c");
    case 'a': return Command(serverlink::ftAccessDenied, "key a");
    case '\n': case '\r': case ' ': return;
    default: std::fprintf(stderr, "link-monitor: key %c means nothing (p, d, c or a)\n", key);
  }
}

void Monitor::ReadStdin() {
  char buf[256];
  const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    stdinOpen_ = false;  // no more keys; polling a closed stdin would spin
    return;
  }
  for (ssize_t i = 0; i < n; ++i) Key(buf[i]);
}

void Monitor::RunTimers(int64_t now) {
  if (client_ < 0) return;
  if (o_.pollEvery > 0 && now >= nextPoll_) {
    Command(serverlink::ftPoll, "timer");
    nextPoll_ = now + static_cast<int64_t>(o_.pollEvery * 1000);
  }
  const int64_t since = now - connectedAt_;
  if (o_.disconnectAfter >= 0 && !disconnectSent_ && since >= o_.disconnectAfter * 1000) {
    disconnectSent_ = true;
    Command(serverlink::ftDisconnectCommand, "timer");
  }
  if (o_.closeAfter >= 0 && !closeSent_ && since >= o_.closeAfter * 1000) {
    closeSent_ = true;
    Command(serverlink::ftCloseCommand, "timer");
  }
}

int Monitor::Timeout(int64_t now) const {
  int64_t wait = 1000;
  if (client_ >= 0) {
    if (o_.pollEvery > 0) wait = std::min(wait, nextPoll_ - now);
    const auto after = [&](double s, bool sent) {
      if (s >= 0 && !sent) wait = std::min(wait, connectedAt_ + static_cast<int64_t>(s * 1000) - now);
    };
    after(o_.disconnectAfter, disconnectSent_);
    after(o_.closeAfter, closeSent_);
  }
  return static_cast<int>(std::clamp<int64_t>(wait, 0, 1000));
}

void Monitor::Run() {
  sigset_t unblocked;
  sigemptyset(&unblocked);
  while (!g_stop) {
    RunTimers(NowMs());
    pollfd fds[2];
    nfds_t count = 0;
    const nfds_t stdinAt = stdinOpen_ ? count++ : 2;
    if (stdinAt < 2) fds[stdinAt] = {STDIN_FILENO, POLLIN, 0};
    // One driver at a time: the next one waits in the listen queue.
    fds[count++] = {client_ >= 0 ? client_ : listener_, POLLIN, 0};
    const int ms = Timeout(NowMs());
    const timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
    if (ppoll(fds, count, &timeout, &unblocked) < 0) continue;  // EINTR: a signal
    const pollfd& net = fds[count - 1];
    if (net.revents) client_ >= 0 ? ReadDriver() : Accept();
    if (stdinAt < 2 && fds[stdinAt].revents) ReadStdin();
  }
  if (client_ >= 0) close(client_);
}

// Single keys on a terminal act at once, without Enter; restored at exit.
class KeyMode {
 public:
  KeyMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios keys = saved_;
    keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
  }
  ~KeyMode() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  KeyMode(const KeyMode&) = delete;
  KeyMode& operator=(const KeyMode&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

}  // namespace
}  // namespace linkmonitor

int main(int argc, char** argv) {
  using namespace linkmonitor;
  const auto parsed = ParseOptions(tools::Arguments(argc, argv));
  const Options& options = tools::OptionsOrExit(parsed, "link-monitor", kUsage);
  tools::InstallStopSignals();
  const int listener = Listen(options);
  {
    const KeyMode keys;
    Monitor(options, listener).Run();
  }
  close(listener);
  return 0;
}
