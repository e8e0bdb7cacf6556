// Times the built program: call latency to the server and to a spool file,
// idle cost, memory under work and calls per minute. Prints one table.
// Not a test: the figures depend on the machine, and nothing is asserted.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <poll.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_modem.h"
#include "bench/bench_server.h"

namespace {

using namespace std::chrono_literals;
using bench::Clock;
namespace fs = std::filesystem;

struct Options {
  std::string program;
  int latencyCalls = 60;
  int spoolCalls = 50;
  int idleSeconds = 30;
  int workCalls = 1000;
  int throughputSeconds = 60;
};

// ----- the program under test, in a directory of its own

class Program {
 public:
  Program(const Options& options, const std::string& device, uint16_t serverPort) {
    char pattern[] = "/tmp/mcalld-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    // A copy, because the program reads its settings beside its own file.
    fs::copy_file(options.program, dir_ / "mcalld");
    fs::create_directory(dir_ / "spool");
    std::ofstream(dir_ / "mcalld.ini") << "[Main]\nCom=COM1\nSpeed=9600\nCode=1120\nPathForSoob=spool/\n"
                                       << "[Log]\nOn=0\n[ServerHost]\nAddress=127.0.0.1\nPort=" << serverPort
                                       << "\n[Ports]\nCOM1=" << device << "\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open((dir_ / "mcalld.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      if (::chdir(dir_.c_str()) != 0) ::_exit(127);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      ::execl("./mcalld", "mcalld", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  fs::path spoolDir() const { return dir_ / "spool"; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
};

long StatusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

// User plus system CPU seconds of the process so far.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name, which may itself hold blanks and ')'.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A loopback port with no listener: connecting is refused at once.
uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// ----- figures

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Spread {
  double min = 0, median = 0, p99 = 0, max = 0;
  size_t count = 0;
};

Spread SpreadOf(std::vector<double> values) {
  Spread s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const auto rank = [&](double q) { return values[static_cast<size_t>(std::ceil(q * static_cast<double>(values.size()))) - 1]; };
  s.min = values.front();
  s.median = rank(0.5);
  s.p99 = rank(0.99);
  s.max = values.back();
  return s;
}

std::string SpreadText(const Spread& s) {
  char text[160];
  std::snprintf(text, sizeof text, "min %.1f  median %.1f  p99 %.1f  max %.1f ms (%zu calls)", s.min, s.median, s.p99,
                s.max, s.count);
  return text;
}

int64_t g_nextNumber = 9000000000;

void Progress(const std::string& what) { std::cerr << "bench: " << what << std::endl; }

// Waits for the hang-up of the call just made, then a quiet gap, so that each
// call is timed alone and not merged into the packet of another.
void SettleAfterCall(bench::BenchModem& modem, int64_t hangUpsBefore) {
  modem.waitHangUps(hangUpsBefore + 1, 5s);
  std::this_thread::sleep_for(300ms);
}

Spread ServerLatency(bench::BenchModem& modem, bench::BenchServer& server, int calls) {
  std::vector<double> latencies;
  for (int i = 0; i < calls; ++i) {
    const int64_t number = g_nextNumber++;
    const int64_t hangUps = modem.hangUps();
    const auto written = modem.placeCall(number);
    if (const auto read = server.waitEvent(number, 5s)) latencies.push_back(Ms(*read - written));
    SettleAfterCall(modem, hangUps);
  }
  return SpreadOf(latencies);
}

// The moment a complete spool file appears under its ".dd8" name (the
// program writes a temporary file and renames it), by inotify, so that no
// polling interval is added.
Spread SpoolLatency(bench::BenchModem& modem, const fs::path& spoolDir, int calls) {
  const int watch = ::inotify_init1(IN_NONBLOCK);
  ::inotify_add_watch(watch, spoolDir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
  std::vector<double> latencies;
  alignas(inotify_event) char buffer[4096];
  for (int i = 0; i < calls; ++i) {
    const int64_t hangUps = modem.hangUps();
    const auto written = modem.placeCall(g_nextNumber++);
    const auto deadline = written + 5s;
    bool seen = false;
    while (!seen && Clock::now() < deadline) {
      pollfd fd{watch, POLLIN, 0};
      if (::poll(&fd, 1, 100) <= 0) continue;
      const ssize_t n = ::read(watch, buffer, sizeof buffer);
      const auto at = Clock::now();
      for (ssize_t off = 0; off < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + off);
        std::error_code error;
        const fs::path name = event->len > 0 ? fs::path(event->name) : fs::path();
        if (name.extension() == ".dd8" && fs::file_size(spoolDir / name, error) == 25) {
          latencies.push_back(Ms(at - written));
          seen = true;
        }
        off += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    SettleAfterCall(modem, hangUps);
  }
  ::close(watch);
  return SpreadOf(latencies);
}

// Calls placed back to back: the next ring follows the previous hang-up.
double CallsPerMinute(bench::BenchModem& modem, bench::BenchServer& server, int seconds) {
  const int64_t eventsBefore = server.eventCount();
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    const int64_t hangUps = modem.hangUps();
    modem.placeCall(g_nextNumber++);
    modem.waitHangUps(hangUps + 1, 5s);
  }
  server.waitEventCount(server.eventCount() + 1, 1s);  // the last one in flight
  return static_cast<double>(server.eventCount() - eventsBefore) * 60.0 / seconds;
}

// Rings faster than the program can answer, to put many calls through in
// little time. 280 ms keeps every notification in a packet of its own (the
// program closes a packet 200 ms after its first byte); the answer commands
// pile up in the program's queue meanwhile, which is part of the cost.
int64_t ManyCalls(bench::BenchModem& modem, bench::BenchServer& server, int calls) {
  const int64_t eventsBefore = server.eventCount();
  auto next = Clock::now();
  for (int i = 0; i < calls; ++i) {
    std::this_thread::sleep_until(next);
    modem.placeCall(g_nextNumber++);
    next += 280ms;
    if ((i + 1) % 100 == 0) Progress(std::to_string(i + 1) + " calls");
  }
  server.waitEventCount(eventsBefore + calls, 10s);
  return server.eventCount() - eventsBefore;
}

std::string Machine() {
  std::ifstream cpu("/proc/cpuinfo");
  std::string line, model = "unknown CPU";
  while (std::getline(cpu, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGE_SIZE);
  char text[256];
  std::snprintf(text, sizeof text, "%ld cores (nproc), %s, %.1f GiB memory", ::sysconf(_SC_NPROCESSORS_ONLN),
                model.c_str(), static_cast<double>(pages) * static_cast<double>(pageSize) / (1 << 30));
  return text;
}

bool ParseOptions(int argc, char** argv, Options& options) {
#ifdef MCALLD_PROGRAM
  options.program = MCALLD_PROGRAM;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const auto number = [&] { return std::atoi(argv[++i]); };
    if (arg == "--program" && hasValue) options.program = argv[++i];
    else if (arg == "--latency-calls" && hasValue) options.latencyCalls = number();
    else if (arg == "--spool-calls" && hasValue) options.spoolCalls = number();
    else if (arg == "--idle-seconds" && hasValue) options.idleSeconds = number();
    else if (arg == "--work-calls" && hasValue) options.workCalls = number();
    else if (arg == "--throughput-seconds" && hasValue) options.throughputSeconds = number();
    else return false;
  }
  return !options.program.empty() && options.latencyCalls > 0 && options.spoolCalls > 0 &&
         options.idleSeconds > 0 && options.workCalls > 0 && options.throughputSeconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::cerr << "usage: mcalld_bench [--program PATH] [--latency-calls N] [--spool-calls N]\n"
                 "                    [--idle-seconds S] [--work-calls N] [--throughput-seconds S]\n";
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  bench::BenchModem modem;

  Spread toServer, toSpool;
  double idleCpu = 0, perMinute = 0;
  long rssStart = 0, rssAfterWork = 0, peakIdle = 0, peakAll = 0;
  int64_t workEvents = 0;
  {
    bench::BenchServer server;
    Program program(options, modem.devicePath(), server.port());
    if (!modem.waitClipArmed(20s) || !server.waitConnected(20s)) {
      std::cerr << "bench: the program did not come up (modem dialogue or link)\n";
      return 1;
    }
    std::this_thread::sleep_for(2s);  // the link's greeting frames
    rssStart = StatusKiB(program.pid(), "VmRSS");

    Progress("latency to the server, " + std::to_string(options.latencyCalls) + " calls");
    toServer = ServerLatency(modem, server, options.latencyCalls);
    Progress("calls back to back for " + std::to_string(options.throughputSeconds) + " s");
    perMinute = CallsPerMinute(modem, server, options.throughputSeconds);
    std::this_thread::sleep_for(1s);

    Progress("idle for " + std::to_string(options.idleSeconds) + " s");
    const double cpuBefore = CpuSeconds(program.pid());
    std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
    idleCpu = 100.0 * (CpuSeconds(program.pid()) - cpuBefore) / options.idleSeconds;
    peakIdle = StatusKiB(program.pid(), "VmHWM");

    Progress(std::to_string(options.workCalls) + " calls for the memory figure");
    workEvents = ManyCalls(modem, server, options.workCalls);
    rssAfterWork = StatusKiB(program.pid(), "VmRSS");
    peakAll = StatusKiB(program.pid(), "VmHWM");
  }
  {
    modem.resetClipArmed();
    Program program(options, modem.devicePath(), ClosedPort());
    if (!modem.waitClipArmed(20s)) {
      std::cerr << "bench: the program did not come up a second time\n";
      return 1;
    }
    std::this_thread::sleep_for(1s);
    Progress("latency to a spool file, " + std::to_string(options.spoolCalls) + " calls");
    toSpool = SpoolLatency(modem, program.spoolDir(), options.spoolCalls);
  }

  std::printf("\nmcalld benchmark on %s\n\n", Machine().c_str());
  std::printf("| measure | result |\n|---|---|\n");
  std::printf("| call latency, +CLIP written to ftCallEvent read | %s |\n", SpreadText(toServer).c_str());
  std::printf("| call latency, +CLIP written to complete spool file | %s |\n", SpreadText(toSpool).c_str());
  std::printf("| idle CPU over %d s (quiet modem, keep-alives answered) | %.2f %% of one core |\n",
              options.idleSeconds, idleCpu);
  std::printf("| peak RSS up to the end of the idle period | %.1f MiB |\n", peakIdle / 1024.0);
  std::printf("| RSS after start | %.1f MiB |\n", rssStart / 1024.0);
  std::printf("| RSS after %d more calls (%lld events read) | %.1f MiB (peak %.1f MiB) |\n", options.workCalls,
              static_cast<long long>(workEvents), rssAfterWork / 1024.0, peakAll / 1024.0);
  std::printf("| calls per minute, back to back | %.1f |\n", perMinute);
  return 0;
}
