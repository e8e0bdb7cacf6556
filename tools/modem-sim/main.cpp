// A GSM modem on a pseudo-terminal, for running the driver without hardware.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
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
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/modem-sim/at_modem.h"
#include "tools/modem-sim/options.h"
#include "tools/modem-sim/script.h"
#include "tools/tool_runtime.h"

namespace modemsim {
namespace {

constexpr const char* kUsage = R"(usage: modem-sim [options]

Opens a pseudo-terminal and behaves like a GSM modem on it. The first line
printed is the device path of the serial side; the driver opens that path.
After it comes a trace: "< " what the modem received, "> " what it wrote,
"# " notes.

Commands answered: AT, ATE0, ATE1, ATZ, AT+CMEE=1, AT+CGMI, AT+CGMM,
AT+CPMS?, AT+CVHU=0, AT+CLIP=1, AT+CPIN?, AT+CREG?, AT+CSQ, AT+CFUN=1,1,
ATA, AT+VTS=<tone>, ATH, AT+CHUP; anything else gets ERROR. The echo is on
at start and after ATZ or AT+CFUN=1,1.

options:
  --link PATH        also make PATH a symbolic link to the device (an existing
                     symbolic link is replaced; it is removed at exit)
  --number NUMBER    caller's number of a call placed without one
                     (default +79161234567)
  --call-every S     place a call every S seconds
  --script FILE      timed lines "<seconds after start> <action>", where the
                     action is "call [NUMBER]", "withheld" (a call that
                     hides its number), "send TEXT" (TEXT may hold \r \n
                     \t \\ \xHH) or "set sim|creg|csq VALUE"; "#" starts a
                     comment line
  --profile NAME     behave like one family of modems: its caller-
                     identification line, RING repeated while nobody
                     answers, its own reports, its answers to ATA and ATH,
                     its greeting after a restart; "--profile list" names
                     them. Without it: one RING and CLIP per call.
  --rings-before-answer N
                     the OK to ATA waits until the call has rung N times
  --sim STATE        ready (default), pin, puk or absent: what AT+CPIN?
                     says, and a SIM error to the commands that need it
  --query-error      answer ERROR to AT+CPIN?, AT+CREG? and AT+CSQ
  --error            answer ERROR to every command
  --silent           no echo and no replies (calls and sends still happen)
  --delay MS         write each reply MS milliseconds late
  --split N          write replies and calls in pieces of N bytes
  --gap MS           pause between pieces with --split (default 20)
  --quiet            no trace
  --help             this text

stdin: an empty line places a call with the default number; the script's
actions act at once.
While no one has the device open, calls and sends are dropped and the modem
waits for the next open. SIGINT or SIGTERM ends it.
)";

constexpr size_t kMaxPending = 1 << 20;

using tools::g_stop;
using tools::NowMs;

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "modem-sim: %s\n", message.c_str());
  std::exit(2);
}

// The symbolic link is made under a temporary name and renamed over the
// given path, so a driver that opens the path never sees it missing. Only a
// symbolic link is replaced: the path may be a user's file.
void MakeLink(const std::string& link, const std::string& target) {
  struct stat st{};
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    Fail(link + " exists and is not a symbolic link; not replacing it");
  }
  const std::string temp = link + ".modem-sim." + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    unlink(temp.c_str());
    Fail("cannot make the link " + link + ": " + reason);
  }
}

// Removed only while it still points at our device: another simulator may
// have taken the path over since.
void RemoveLink(const std::string& link, const std::string& target) {
  char buf[4096];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target) unlink(link.c_str());
}

class Simulator {
 public:
  Simulator(const Options& options, int master, std::vector<TimedAction> script)
      : o_(options), master_(master), modem_(options.quirks, *options.profile), script_(std::move(script)) {
    modem_.State() = options.state;
  }

  void Run();

 private:
  struct Chunk {
    int64_t due;
    std::string bytes;
  };

  void Trace(char mark, std::string_view text) const;
  void Queue(const std::string& bytes, int delayMs, bool pieces);
  void Perform(const Action& action);
  void PlaceCall(const std::string& number);
  void HangUp();
  void CheckReopened();
  void ReadLine();
  void WriteDue(int64_t now);
  void ReadStdin();
  void RunTimers(int64_t now);
  int Timeout(int64_t now) const;

  const Options& o_;
  int master_;
  AtModem modem_;
  std::vector<TimedAction> script_;
  size_t nextScript_ = 0;
  int64_t start_ = NowMs();
  int64_t nextCall_ = 0;
  bool hungUp_ = true;  // no one has the device open until someone does
  bool writeBlocked_ = false;
  bool stdinOpen_ = true;
  std::string stdinLine_;
  std::deque<Chunk> out_;
  size_t pending_ = 0;  // bytes in out_
};

void Simulator::Trace(char mark, std::string_view text) const {
  if (o_.quiet) return;
  std::printf("%c %s\n", mark, mark == '#' ? std::string(text).c_str() : Printable(text).c_str());
  std::fflush(stdout);
}

// Pieces keep their order: a later write is never due before an earlier one.
void Simulator::Queue(const std::string& bytes, int delayMs, bool pieces) {
  if (bytes.empty()) return;
  // A peer that holds the device open but never reads would otherwise make
  // the queue grow with every call for as long as the simulator runs.
  if (pending_ + bytes.size() > kMaxPending) {
    Trace('#', "output dropped: the device is open but not being read");
    return;
  }
  int64_t due = NowMs() + delayMs;
  if (!out_.empty()) due = std::max(due, out_.back().due);
  pending_ += bytes.size();
  const size_t size = pieces && o_.split > 0 ? static_cast<size_t>(o_.split) : bytes.size();
  for (size_t at = 0; at < bytes.size(); at += size) {
    out_.push_back({due, bytes.substr(at, size)});
    due += o_.gapMs;
  }
}

void Simulator::Perform(const Action& action) {
  if (action.kind == Action::kCall) {
    PlaceCall(action.argument.empty() ? o_.number : action.argument);
    return;
  }
  if (action.kind == Action::kWithheld) {
    PlaceCall("");
    return;
  }
  if (action.kind == Action::kSet) {
    ApplySetting(modem_.State(), action.argument);
    Trace('#', "set " + action.argument);
    return;
  }
  if (hungUp_) {
    Trace('#', "send dropped: no one has the device open");
    return;
  }
  Queue(action.argument, 0, true);
}

void Simulator::PlaceCall(const std::string& number) {
  if (hungUp_) {
    Trace('#', "call from " + number + " dropped: no one has the device open");
    return;
  }
  Trace('#', number.empty() ? std::string("incoming call, number withheld") : "incoming call from " + number);
  Queue(modem_.Ring(number, NowMs()), 0, true);
}

void Simulator::HangUp() {
  if (hungUp_) return;
  hungUp_ = true;
  writeBlocked_ = false;
  out_.clear();
  pending_ = 0;
  modem_.LineDropped();
  Trace('#', "device closed; waiting for the next open");
}

// A pty master reports POLLHUP for as long as no one has the slave open, so
// while hung up it is left out of the main poll (it would return at once,
// forever) and looked at here after each bounded wait.
void Simulator::CheckReopened() {
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, 0) < 0 || (p.revents & POLLHUP)) return;
  hungUp_ = false;
  Trace('#', "device opened");
}

void Simulator::ReadLine() {
  char buf[1024];
  const ssize_t n = read(master_, buf, sizeof buf);
  if (n > 0) {
    const std::string_view bytes(buf, static_cast<size_t>(n));
    Trace('<', bytes);
    for (const AtModem::Piece& piece : modem_.Feed(bytes)) {
      Queue(piece.bytes, piece.reply ? o_.delayMs : 0, piece.reply);
    }
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    HangUp();  // EIO: the last holder of the device closed it
  }
}

void Simulator::WriteDue(int64_t now) {
  while (!hungUp_ && !out_.empty() && out_.front().due <= now) {
    std::string& bytes = out_.front().bytes;
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EAGAIN) {
        writeBlocked_ = true;  // the driver is not reading; wait for room
      } else if (errno != EINTR) {
        HangUp();
      }
      return;
    }
    Trace('>', std::string_view(bytes).substr(0, static_cast<size_t>(n)));
    bytes.erase(0, static_cast<size_t>(n));
    pending_ -= static_cast<size_t>(n);
    if (bytes.empty()) out_.pop_front();
  }
  writeBlocked_ = false;
}

void Simulator::ReadStdin() {
  char buf[512];
  const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) stdinOpen_ = false;
    return;
  }
  for (char c : std::string_view(buf, static_cast<size_t>(n))) {
    if (c != '\n') {
      if (stdinLine_.size() < 4096) stdinLine_ += c;
      continue;
    }
    std::string line;
    line.swap(stdinLine_);
    if (line.find_first_not_of(" \t\r") == std::string::npos) {
      PlaceCall(o_.number);
      continue;
    }
    std::string error;
    if (const auto action = ParseAction(line, &error)) {
      Perform(*action);
    } else {
      std::fprintf(stderr, "modem-sim: %s\n", error.c_str());
    }
  }
}

void Simulator::RunTimers(int64_t now) {
  if (!hungUp_) Queue(modem_.Tick(now), 0, true);
  if (o_.callEvery > 0 && now >= nextCall_) {
    PlaceCall(o_.number);
    nextCall_ = now + static_cast<int64_t>(o_.callEvery * 1000);
  }
  while (nextScript_ < script_.size() &&
         start_ + static_cast<int64_t>(script_[nextScript_].at * 1000) <= now) {
    Perform(script_[nextScript_++].action);
  }
}

int ClampWait(int64_t wait) { return static_cast<int>(std::clamp<int64_t>(wait, 0, 1000)); }

int Simulator::Timeout(int64_t now) const {
  // Bounded even when nothing is due, and short while hung up, so a new
  // open of the device is noticed soon.
  int64_t wait = hungUp_ ? 100 : 1000;
  if (o_.callEvery > 0) wait = std::min(wait, nextCall_ - now);
  if (nextScript_ < script_.size()) {
    wait = std::min(wait, start_ + static_cast<int64_t>(script_[nextScript_].at * 1000) - now);
  }
  if (!hungUp_ && !out_.empty() && !writeBlocked_) wait = std::min(wait, out_.front().due - now);
  if (!hungUp_ && modem_.NextDueMs() >= 0) wait = std::min(wait, modem_.NextDueMs() - now);
  return ClampWait(wait);
}

void Simulator::Run() {
  nextCall_ = start_ + static_cast<int64_t>(o_.callEvery * 1000);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  while (!g_stop) {
    if (hungUp_) CheckReopened();
    const int64_t now = NowMs();
    RunTimers(now);
    WriteDue(now);

    pollfd fds[2];
    nfds_t count = 0;
    if (stdinOpen_) fds[count++] = {STDIN_FILENO, POLLIN, 0};
    const nfds_t masterAt = count;
    if (!hungUp_) {
      fds[count++] = {master_, static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0)), 0};
    }
    const int ms = Timeout(NowMs());
    const timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
    if (ppoll(fds, count, &timeout, &unblocked) < 0) continue;  // EINTR: a signal

    // The device first: a call typed just after the driver closed it is
    // then reported as dropped rather than as placed.
    if (masterAt < count && fds[masterAt].revents) {
      const short ev = fds[masterAt].revents;
      if (ev & POLLIN) ReadLine();
      if (ev & (POLLHUP | POLLERR)) HangUp();
      if (ev & POLLOUT) writeBlocked_ = false;
    }
    if (stdinOpen_ && fds[0].revents) ReadStdin();
  }
}

int OpenPty(std::string* slavePath) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    Fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
  }
  // A modem line passes bytes untouched; without this the terminal layer
  // would echo and translate "\r" before the driver ever saw a reply.
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  close(slave);  // the driver's open is then the only one, and its close shows as a hang-up
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  *slavePath = name;
  return master;
}

}  // namespace
}  // namespace modemsim

int main(int argc, char** argv) {
  using namespace modemsim;
  const auto parsed = ParseOptions(tools::Arguments(argc, argv));
  const Options& options = tools::OptionsOrExit(parsed, "modem-sim", kUsage);
  if (options.listProfiles) {
    for (const Profile& p : NamedProfiles()) std::printf("%-10s %s\n", p.name.c_str(), p.summary.c_str());
    return 0;
  }
  std::vector<TimedAction> script;
  if (!options.script.empty()) {
    std::string error;
    auto loaded = LoadScript(options.script, &error);
    if (!loaded) Fail(error);
    script = std::move(*loaded);
  }
  tools::InstallStopSignals();

  std::string slavePath;
  const int master = OpenPty(&slavePath);
  if (!options.link.empty()) MakeLink(options.link, slavePath);
  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);

  Simulator(options, master, std::move(script)).Run();

  if (!options.link.empty()) RemoveLink(options.link, slavePath);
  close(master);
  return 0;
}
