// Times the built program: call latency to the server and to a spool file,
// idle cost, memory under work and calls per minute. Prints one table.
// Not a test: the figures depend on the machine, and nothing is asserted.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "tests/support/loopback.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_modem.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tools/options.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::ReceivedFrame;
using testsupport::ScriptedModem;
using testsupport::ScriptedServer;
namespace fs = std::filesystem;

struct Options {
  std::string program;
  int latencyCalls = 60;
  int spoolCalls = 50;
  int idleSeconds = 60;
  int workCalls = 1000;
  int throughputSeconds = 60;
};

// ----- the program under test, in a directory of its own

testsupport::Program::Options OutputTo(const std::string& file) {
  testsupport::Program::Options options;
  options.outputFile = file;
  return options;
}

// Started with its settings; stopped, as the operator's system would, by SIGTERM.
class BenchProgram {
 public:
  BenchProgram(const Options& options, const std::string& device, int serverPort)
      : program_(options.program, OutputTo("mcalld.out")) {
    fs::create_directory(spoolDir());
    program_.WriteSettings("[Main]\nCom=COM1\nSpeed=9600\nCode=1120\nPathForSoob=spool/\n[Log]\nOn=0\n"
                           "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(serverPort) +
                           "\n[Ports]\nCOM1=" + device + "\n");
    if (!program_.Start()) throw std::runtime_error("fork failed");
  }
  ~BenchProgram() { program_.Terminate(); }
  BenchProgram(const BenchProgram&) = delete;
  BenchProgram& operator=(const BenchProgram&) = delete;

  pid_t pid() const { return program_.Pid(); }
  fs::path spoolDir() const { return program_.Dir() / "spool"; }

 private:
  testsupport::Program program_;
};

int64_t NumberOf(const ReceivedFrame& frame) {
  int64_t number = 0;  // the event's first 8 bytes, little-endian like the host
  if (frame.payload.size() >= sizeof number) std::memcpy(&number, frame.payload.data(), sizeof number);
  return number;
}

size_t EventCount(const ScriptedServer& server) { return server.FramesOfType(serverlink::ftCallEvent).size(); }

// A ring and a caller identification; the moment its last byte was written.
std::optional<Clock::time_point> PlaceCall(ScriptedModem& modem, int64_t number) {
  return modem.SendStamped("\r\nRING\r\n\r\n+CLIP: \"+7" + std::to_string(number) + "\",145,,,,0\r\n");
}

size_t HangUps(ScriptedModem& modem) { return modem.Count("ATH\r\n"); }

long StatusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

// User plus system CPU seconds so far, of a process or of one of its
// threads, from its stat file.
double CpuSecondsOf(const std::string& statPath) {
  std::ifstream in(statPath);
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

double CpuSeconds(pid_t pid) { return CpuSecondsOf("/proc/" + std::to_string(pid) + "/stat"); }

// One thread of the program as /proc shows it. Its voluntary context
// switches count how often it went to sleep, and so how often it was woken.
struct ThreadSample {
  long tid = 0;
  std::string name;
  long wakeUps = 0;
  double cpuSeconds = 0;
};

std::vector<ThreadSample> SampleThreads(pid_t pid) {
  std::vector<ThreadSample> threads;
  const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : fs::directory_iterator(tasks, error)) {
    ThreadSample t;
    t.tid = std::atol(task.path().filename().c_str());
    std::ifstream comm(task.path() / "comm");
    std::getline(comm, t.name);
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) t.wakeUps = std::atol(line.c_str() + 24);
    }
    t.cpuSeconds = CpuSecondsOf((task.path() / "stat").string());
    threads.push_back(t);
  }
  std::sort(threads.begin(), threads.end(), [](const auto& a, const auto& b) { return a.tid < b.tid; });
  return threads;
}

// Per thread over a phase of `seconds`: wake-ups a second and CPU per cent
// of one core. A thread that began during the phase counts from zero.
struct ThreadFigure {
  ThreadSample thread;
  double wakeUpsPerSecond = 0;
  double cpuPercent = 0;
};

std::vector<ThreadFigure> ThreadFigures(const std::vector<ThreadSample>& before, const std::vector<ThreadSample>& after,
                                        double seconds) {
  std::vector<ThreadFigure> figures;
  for (const ThreadSample& a : after) {
    ThreadSample b;
    for (const ThreadSample& x : before) {
      if (x.tid == a.tid) b = x;
    }
    figures.push_back({a, (a.wakeUps - b.wakeUps) / seconds, 100.0 * (a.cpuSeconds - b.cpuSeconds) / seconds});
  }
  return figures;
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
void SettleAfterCall(ScriptedModem& modem, size_t hangUpsBefore) {
  modem.WaitForCount("ATH\r\n", hangUpsBefore + 1, 5s);
  std::this_thread::sleep_for(300ms);
}

Spread ServerLatency(ScriptedModem& modem, ScriptedServer& server, int calls) {
  std::vector<double> latencies;
  for (int i = 0; i < calls; ++i) {
    const int64_t number = g_nextNumber++;
    const size_t hangUps = HangUps(modem);
    const auto written = PlaceCall(modem, number);
    const auto read = server.WaitForFrame(
        [&](const ReceivedFrame& f) { return f.type == serverlink::ftCallEvent && NumberOf(f) == number; }, 5s);
    if (written && read) latencies.push_back(Ms(read->readAt - *written));
    SettleAfterCall(modem, hangUps);
  }
  return SpreadOf(latencies);
}

// The moment a complete spool file appears under its ".dd8" name (the
// program writes a temporary file and renames it), by inotify, so that no
// polling interval is added.
Spread SpoolLatency(ScriptedModem& modem, const fs::path& spoolDir, int calls) {
  const int watch = ::inotify_init1(IN_NONBLOCK);
  ::inotify_add_watch(watch, spoolDir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
  std::vector<double> latencies;
  alignas(inotify_event) char buffer[4096];
  for (int i = 0; i < calls; ++i) {
    const size_t hangUps = HangUps(modem);
    const auto stamped = PlaceCall(modem, g_nextNumber++);
    const auto written = stamped.value_or(Clock::now());
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
        if (stamped && name.extension() == ".dd8" && fs::file_size(spoolDir / name, error) == 25) {
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
double CallsPerMinute(ScriptedModem& modem, ScriptedServer& server, int seconds) {
  const size_t eventsBefore = EventCount(server);
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    const size_t hangUps = HangUps(modem);
    PlaceCall(modem, g_nextNumber++);
    modem.WaitForCount("ATH\r\n", hangUps + 1, 5s);
  }
  server.WaitForCount(serverlink::ftCallEvent, EventCount(server) + 1, 1s);  // the last one in flight
  return static_cast<double>(EventCount(server) - eventsBefore) * 60.0 / seconds;
}

// Rings faster than the program can answer, to put many calls through in
// little time. 280 ms keeps every notification in a packet of its own (the
// program closes a packet 200 ms after its first byte); the answer commands
// pile up in the program's queue meanwhile, which is part of the cost.
int64_t ManyCalls(ScriptedModem& modem, ScriptedServer& server, int calls) {
  const size_t eventsBefore = EventCount(server);
  auto next = Clock::now();
  for (int i = 0; i < calls; ++i) {
    std::this_thread::sleep_until(next);
    PlaceCall(modem, g_nextNumber++);
    next += 280ms;
    if ((i + 1) % 100 == 0) Progress(std::to_string(i + 1) + " calls");
  }
  server.WaitForCount(serverlink::ftCallEvent, eventsBefore + static_cast<size_t>(calls), 10s);
  return static_cast<int64_t>(EventCount(server) - eventsBefore);
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
  tools::OptionReader reader(tools::Arguments(argc, argv));
  const auto count = [&](int& into) {
    if (const auto v = reader.Number(1, 1e6)) into = static_cast<int>(*v);
  };
  while (reader.Next()) {
    const std::string& arg = reader.Name();
    if (arg == "--program") {
      if (const auto v = reader.Text()) options.program = *v;
    } else if (arg == "--latency-calls") {
      count(options.latencyCalls);
    } else if (arg == "--spool-calls") {
      count(options.spoolCalls);
    } else if (arg == "--idle-seconds") {
      count(options.idleSeconds);
    } else if (arg == "--work-calls") {
      count(options.workCalls);
    } else if (arg == "--throughput-seconds") {
      count(options.throughputSeconds);
    } else {
      reader.Unknown();
    }
  }
  if (!reader.Problem().empty()) std::cerr << "mcalld_bench: " << reader.Problem() << "\n";
  return reader.Problem().empty() && !options.program.empty();
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
  // The modem and the server answer at once, so every millisecond measured
  // is the program's.
  const testsupport::TempDir place("mcalld-bench");
  ScriptedModem modem(place.File("modem"));
  const std::string device = modem.LinkPath().string();

  Spread toServer, toSpool;
  double idleCpu = 0, perMinute = 0;
  std::vector<ThreadFigure> idleThreads;
  pid_t idlePid = 0;
  long rssStart = 0, rssAfterWork = 0, peakIdle = 0, peakAll = 0;
  int64_t workEvents = 0;
  {
    ScriptedServer server;
    BenchProgram program(options, device, server.Port());
    if (!modem.WaitForCount("AT+CLIP=1\r", 1, 20s) ||
        !server.WaitForFrame([](const ReceivedFrame&) { return true; }, 20s)) {
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
    const std::vector<ThreadSample> threadsBefore = SampleThreads(program.pid());
    std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
    idleCpu = 100.0 * (CpuSeconds(program.pid()) - cpuBefore) / options.idleSeconds;
    idleThreads = ThreadFigures(threadsBefore, SampleThreads(program.pid()), options.idleSeconds);
    idlePid = program.pid();
    peakIdle = StatusKiB(program.pid(), "VmHWM");

    Progress(std::to_string(options.workCalls) + " calls for the memory figure");
    workEvents = ManyCalls(modem, server, options.workCalls);
    rssAfterWork = StatusKiB(program.pid(), "VmRSS");
    peakAll = StatusKiB(program.pid(), "VmHWM");
  }
  {
    const size_t armed = modem.Count("AT+CLIP=1\r");
    BenchProgram program(options, device, testsupport::UnusedPort());
    if (!modem.WaitForCount("AT+CLIP=1\r", armed + 1, 20s)) {
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
  // The window thread is the process's first (its tid is the pid); the
  // others are told apart by the names they give themselves.
  for (const ThreadFigure& f : idleThreads) {
    std::printf("| idle wake-ups, thread %ld \"%s\"%s | %.1f /s (CPU %.3f %%) |\n", f.thread.tid, f.thread.name.c_str(),
                f.thread.tid == idlePid ? " (window)" : "", f.wakeUpsPerSecond, f.cpuPercent);
  }
  std::printf("| peak RSS up to the end of the idle period | %.1f MiB |\n", peakIdle / 1024.0);
  std::printf("| RSS after start | %.1f MiB |\n", rssStart / 1024.0);
  std::printf("| RSS after %d more calls (%lld events read) | %.1f MiB (peak %.1f MiB) |\n", options.workCalls,
              static_cast<long long>(workEvents), rssAfterWork / 1024.0, peakAll / 1024.0);
  std::printf("| calls per minute, back to back | %.1f |\n", perMinute);
  return 0;
}
