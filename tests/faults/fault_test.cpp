// Faults around the built program: a server that closes, resets, stalls or
// talks nonsense, a modem that vanishes, errs or floods, odd caller
// identification, modem families' own reports, a call that keeps ringing,
// steps of the wall clock, unwritable directories and odd settings files. Every case
// checks that each call placed ends up as an event at the server or in a
// spool file, and that the program still answers and delivers a call after
// the fault. Each case appends its row to the file named by
// MCALLD_FAULTS_TABLE, for scripts/faults.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "common/cp1251.h"
#include "link/frame.h"
#include "modem/call_event.h"
#include "tests/support/call_events.h"
#include "tests/support/family_modem.h"
#include "tests/support/loopback.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_modem.h"
#include "tests/support/scripted_server.h"
#include "tests/support/silent_name_server.h"
#include "tests/support/wait.h"
#include "tools/modem-sim/profile.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// The caller-identification block as a modem sends it after the ring.
std::string CallBlock(const std::string& numberField) {
  return "\r\nRING\r\n\r\n+CLIP: " + numberField + ",145,,,,0\r\n";
}

std::string Settings(const std::string& device, int port, const std::string& pathForSoob = "spool/",
                     const std::string& logPath = "") {
  return "[Main]\r\nCom=COM3\r\nSpeed=115200\r\nCode=1120\r\nPathForSoob=" + pathForSoob +
         "\r\nSyslog=1\r\n[Log]\r\nOn=1\r\nPath=" + logPath + "\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
         std::to_string(port) + "\r\n[Ports]\r\nCOM3=" + device + "\r\n";
}

template <typename Row>
std::string RowName(const ::testing::TestParamInfo<Row>& row) {
  return row.param.test;
}

struct Tally {
  int calls = 0;
  int delivered = 0;   // copies read by a server
  int spooled = 0;     // copies in spool files
  int lost = 0;        // calls with no copy anywhere
  int duplicates = 0;  // copies beyond one per call
  int stray = 0;       // events that match no call placed
};

class FaultCase : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = std::make_unique<Program>(MCALLD_BINARY);
    fs::create_directory(program_->Dir() / "spool");
    modem_ = std::make_unique<ScriptedModem>(program_->Dir() / "modem");
  }

  void TearDown() override {
    if (caseName_.empty()) return;
    const Tally t = Count();
    std::string outcome;
    if (HasFailure()) {
      outcome = "FAILED";
    } else if (IsSkipped()) {
      outcome = "skipped: " + skipReason_;
    } else {
      outcome = t.duplicates > 0 ? "ok, " + std::to_string(t.duplicates) + " sent again after a reconnection" : "ok";
      if (!note_.empty()) outcome += "; " + note_;
    }
    // An event the program could put nowhere, and said so, is still lost:
    // the column shows it, marked, so it cannot pass for a silent loss either.
    std::string lost = std::to_string(t.lost);
    if (t.lost > 0 && operatorTold_) lost += " (operator told)";
    RecordProperty("calls", t.calls);
    RecordProperty("delivered", t.delivered);
    RecordProperty("spooled", t.spooled);
    RecordProperty("lost", lost);
    RecordProperty("outcome", outcome);
    const char* table = std::getenv("MCALLD_FAULTS_TABLE");
    if (table == nullptr || *table == '\0') return;
    std::ostringstream row;
    row << caseName_ << '\t' << t.calls << '\t' << t.delivered << '\t' << t.spooled << '\t' << lost << '\t'
        << outcome << '\n';
    // One write per row on an O_APPEND file: rows of cases run side by side
    // never interleave.
    const int fd = ::open(table, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = row.str();
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size())) << "row not recorded";
    ::close(fd);
  }

  // Skips the case where a mode of 0555 does not stop the program writing
  // (root that cannot give up its override); the caller returns on false.
  bool ReadOnlyWorks() {
    if (ReadOnlyHolds(program_->Dir())) return true;
    skipReason_ = "a read-only directory cannot be made here";
    [this] { GTEST_SKIP() << skipReason_; }();
    return false;
  }

  ScriptedServer& AddServer(std::vector<ConnectionScript> scripts = {}, int port = 0) {
    servers_.push_back(std::make_unique<ScriptedServer>(std::move(scripts), port));
    return *servers_.back();
  }

  void StartProgram(const std::string& settings) {
    program_->WriteSettings(settings);
    ASSERT_TRUE(program_->Start());
    ASSERT_TRUE(WaitFor([&] { return modem_->Count("AT+CLIP=1\r") > 0; }, 30s)) << "no modem start-up";
  }

  void StartWithServer(ScriptedServer& server) {
    StartProgram(Settings(modem_->LinkPath().string(), server.Port()));
    ASSERT_TRUE(WaitFor([&] { return server.FramesOfType(serverlink::ftClientVersion).size() > 0; }, 30s))
        << "the link never came up";
  }

  // Places a call whose event must carry phoneNumber, and waits until the
  // program has hung it up (a caller-identification line before that would
  // be the same call ringing again) or, for a modem that errs, until the
  // answer went out. A call counts as placed whether or not it is answered.
  bool PlaceCall(const std::string& block, int64_t phoneNumber, std::chrono::milliseconds limit = 20s,
                 const std::string& doneWith = "ATH\r\n") {
    const size_t before = modem_->Count(doneWith);
    modem_->Send(block);
    placed_.push_back(phoneNumber);
    const bool answered = WaitFor([&] { return modem_->Count(doneWith) > before; }, limit);
    EXPECT_TRUE(answered) << "call " << placed_.size() << " was not answered";
    return answered;
  }
  // The number text is the last ten characters, so the country code goes.
  bool Call(const std::string& doneWith = "ATH\r\n") {
    const int64_t number = 9160000000LL + nextNumber_++;
    return PlaceCall(CallBlock("\"+7" + std::to_string(number) + "\""), number, 20s, doneWith);
  }

  int Connections() const {
    int n = 0;
    for (const auto& s : servers_) n += s->Connections();
    return n;
  }

  // "connection:type" of every block read, for failure messages.
  std::string FrameSummary() const {
    std::ostringstream text;
    for (const auto& s : servers_)
      for (const auto& f : s->Frames()) text << f.connection << ':' << std::hex << f.type << std::dec << ' ';
    return text.str();
  }

  std::vector<modem::CallEvent> DeliveredEvents() const {
    std::vector<modem::CallEvent> events;
    for (const auto& s : servers_)
      for (const auto& f : s->FramesOfType(serverlink::ftCallEvent))
        if (auto e = DecodeCallEvent(f.payload)) events.push_back(*e);
    return events;
  }

  std::vector<modem::CallEvent> SpooledEvents() const {
    std::vector<modem::CallEvent> events;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(program_->Dir(), ignored)) {
      if (entry.path().extension() != ".dd8") continue;
      // A file that is no spool file counts as an event of no call placed.
      events.push_back(ReadSpoolFile(entry.path().string()).value_or(modem::CallEvent{-1, "bad!", 0}));
    }
    return events;
  }

  Tally Count() const {
    Tally t;
    t.calls = static_cast<int>(placed_.size());
    std::map<int64_t, int> expected, copies;
    for (const int64_t n : placed_) ++expected[n];
    const auto delivered = DeliveredEvents();
    const auto spooled = SpooledEvents();
    t.delivered = static_cast<int>(delivered.size());
    t.spooled = static_cast<int>(spooled.size());
    for (const auto& e : delivered) ++copies[e.PhoneNumber];
    for (const auto& e : spooled) ++copies[e.PhoneNumber];
    for (const auto& [number, want] : expected) {
      const int got = copies[number];
      t.lost += std::max(0, want - got);
      t.duplicates += std::max(0, got - want);
    }
    for (const auto& [number, got] : copies)
      if (expected.count(number) == 0) t.stray += got;
    return t;
  }

  // Every call placed has its event somewhere, once; more than once only
  // when the server saw the link come back.
  void ExpectEveryCallOnce(std::chrono::milliseconds limit = 45s) {
    WaitFor([&] { return Count().lost == 0; }, limit);
    const Tally t = Count();
    EXPECT_EQ(t.lost, 0) << t.calls << " calls, " << t.delivered << " delivered, " << t.spooled << " spooled";
    EXPECT_EQ(t.stray, 0) << "events that belong to no call";
    if (Connections() <= 1) {
      EXPECT_EQ(t.duplicates, 0) << "duplicates without a reconnection";
    }
  }

  // After the fault the program still answers a call and delivers it there.
  void ExpectStillServing(ScriptedServer* server, std::chrono::milliseconds limit = 45s) {
    ASSERT_TRUE(program_->Running()) << "the program has ended";
    // A keep-alive is written only while the link counts itself connected,
    // so after one the call must go to the server, not to a spool file.
    if (server != nullptr) {
      const size_t before = server->FramesOfType(serverlink::ftKeepAlive).size();
      ASSERT_TRUE(WaitFor([&] { return server->FramesOfType(serverlink::ftKeepAlive).size() > before; }, limit))
          << "the link did not come back; connections: " << Connections();
    }
    const int64_t number = 9160000000LL + nextNumber_;
    ASSERT_TRUE(Call());
    auto arrived = [&] {
      const auto events = server != nullptr ? DeliveredEvents() : SpooledEvents();
      return std::any_of(events.begin(), events.end(), [&](const auto& e) { return e.PhoneNumber == number; });
    };
    EXPECT_TRUE(WaitFor(arrived, limit)) << "the call after the fault was not " << (server ? "delivered" : "spooled")
                                         << "; connections: " << Connections() << "; frames: " << FrameSummary();
  }

  void ExpectCleanExit() {
    EXPECT_TRUE(program_->Running()) << "the program has ended";
    EXPECT_EQ(program_->Terminate(), 0);
  }

  std::unique_ptr<Program> program_;
  std::unique_ptr<ScriptedModem> modem_;
  std::vector<std::unique_ptr<ScriptedServer>> servers_;
  std::vector<int64_t> placed_;
  int64_t nextNumber_ = 1;
  std::string caseName_;
  std::string note_;
  bool operatorTold_ = false;  // the program logged that it could not keep an event
  std::string skipReason_;
};

// ---------------------------------------------------------------- server

struct ServerRow {
  const char* test;
  const char* name;
  ConnectionScript script;
  int callsAfterFault;
  bool startsOver;  // the program must make a new connection before the last call
};

void PrintTo(const ServerRow& row, std::ostream* out) { *out << row.name; }

class ServerFault : public FaultCase, public ::testing::WithParamInterface<ServerRow> {};

// One call goes through, the fault comes with the second call's event, and
// more calls follow while the link recovers.
TEST_P(ServerFault, EveryCallStillArrives) {
  const ServerRow& row = GetParam();
  caseName_ = row.name;
  ScriptedServer& server = AddServer({row.script});
  StartWithServer(server);
  ASSERT_TRUE(Call());
  ASSERT_TRUE(WaitFor([&] { return DeliveredEvents().size() == 1; }));
  for (int i = 0; i <= row.callsAfterFault; ++i) Call();
  ExpectEveryCallOnce();
  if (row.startsOver) {
    // 21 missing replies at up to 1.5 s each before a silent link gives up.
    EXPECT_TRUE(WaitFor([&] { return server.Connections() >= 2; }, 60s)) << "the link never started over";
  }
  ExpectStillServing(&server);
  ExpectCleanExit();
}

const ServerRow kServerRows[] = {
    {"CloseWhileCallsArrive", "server closes the connection while calls arrive", {Fault::kClose, 1}, 3, true},
    {"ResetInItsReply", "server resets the connection in the middle of its reply", {Fault::kResetInReply, 1}, 3, true},
    {"StopsAnswering", "server reads but stops answering", {Fault::kStopAnswering, 1}, 3, true},
    {"Garbage", "server replies garbage", {Fault::kGarbage, 1}, 3, false},
    {"WrongBlockMark", "server replies a wrong block mark", {Fault::kWrongMark, 1}, 3, false},
    {"ZeroBodyLength", "server replies BodyLength 0", {Fault::kZeroLength, 1}, 3, false},
    {"HugeBodyLength", "server replies BodyLength 0x7FFFFFFF", {Fault::kHugeLength, 1}, 3, true},
    {"BodyCutOff", "server cuts its reply's body off mid-way", {Fault::kCutBody, 1}, 3, true},
};
INSTANTIATE_TEST_SUITE_P(Faults, ServerFault, ::testing::ValuesIn(kServerRows),
                         RowName<ServerRow>);

// The server goes away with a call event it has not read, though the whole
// block went into the socket: it must come again on the next connection.
const ServerRow kServerRowsUnread[] = {
    {"ClosesWithAnEventUnread", "server closes with a call event unread", {Fault::kCloseUnread, 1}, 2, true},
    {"ResetInOurBlock", "server resets the connection in the middle of a call event", {Fault::kResetInBlock, 1}, 2, true},
    {"Hangs", "server hangs (reads and answers nothing) for 10 s", {Fault::kHang, 1, 10s}, 2, true},
};
INSTANTIATE_TEST_SUITE_P(Unread, ServerFault, ::testing::ValuesIn(kServerRowsUnread), RowName<ServerRow>);

TEST_F(FaultCase, AccessDeniedThenCallsGoToSpoolFiles) {
  caseName_ = "server refuses (ftAccessDenied), then calls arrive";
  ScriptedServer& server = AddServer({{Fault::kDeny, -1}});
  StartProgram(Settings(modem_->LinkPath().string(), server.Port()));
  // The program marks the link down before it closes it, so once the server
  // sees the close, every call must go to a spool file.
  ASSERT_TRUE(WaitFor([&] { return server.Ended() == 1; })) << "the refused link was not closed";
  for (int i = 0; i < 3; ++i) Call();
  ExpectEveryCallOnce();
  EXPECT_EQ(DeliveredEvents().size(), 0u);
  ExpectStillServing(nullptr);
  EXPECT_EQ(server.Connections(), 1) << "a refusal lasts until the program is restarted";
  ExpectCleanExit();
}

// ---------------------------------------------------------------- modem

TEST_F(FaultCase, ModemVanishesAndComesBack) {
  caseName_ = "modem disappears (pty closed) and comes back";
  ScriptedServer& server = AddServer();
  StartWithServer(server);
  ASSERT_TRUE(Call());
  modem_->Vanish();
  // The program tells the server the modem stopped once it notices.
  auto stoppedReported = [&] {
    for (const auto& f : server.FramesOfType(serverlink::ftModemStatus))
      if (f.payload.size() == 8 && f.payload[7] == 0) return true;
    return false;
  };
  ASSERT_TRUE(WaitFor(stoppedReported)) << "the loss of the port went unnoticed";
  modem_->Return();
  ASSERT_TRUE(WaitFor([&] { return modem_->Count("AT+CLIP=1\r") >= 2; }, 30s)) << "the port was not opened again";
  ExpectStillServing(&server);
  ExpectEveryCallOnce();
  ExpectCleanExit();
}

TEST_F(FaultCase, ModemAnswersErrorForAMinute) {
  caseName_ = "modem answers ERROR to everything for a minute";
  ScriptedServer& server = AddServer();
  StartWithServer(server);
  modem_->AnswerError(true);
  const auto end = std::chrono::steady_clock::now() + 60s;
  // Calls keep coming while the modem errs: each must still become an event.
  while (std::chrono::steady_clock::now() + 15s < end) {
    Call("ATA\r\n");
    std::this_thread::sleep_for(12s);
  }
  std::this_thread::sleep_until(end);
  modem_->AnswerError(false);
  ExpectStillServing(&server);
  ExpectEveryCallOnce();
  ExpectCleanExit();
}

TEST_F(FaultCase, ModemFloodsNoise) {
  caseName_ = "modem floods 100 KiB of noise";
  ScriptedServer& server = AddServer();
  StartWithServer(server);
  ASSERT_TRUE(Call());
  // No double quote in the noise: a quote before the next call's number would
  // change the number read out of the same block.
  std::string noise(100 * 1024, '\0');
  uint32_t x = 12345;
  for (char& c : noise) {
    do c = static_cast<char>((x = x * 1103515245u + 12345u) >> 23);
    while (c == '"');
  }
  ASSERT_EQ(noise.find("+CLIP:"), std::string::npos);
  ASSERT_EQ(noise.find("ERROR"), std::string::npos);
  modem_->Send(noise);
  ASSERT_TRUE(WaitFor(([&] { return modem_->Drained(); }), 30s)) << "the program stopped reading";
  // The last bytes still sit in the line's few KiB of buffer; the program
  // takes them within a few 5 ms polls.
  std::this_thread::sleep_for(1s);
  ExpectStillServing(&server);
  ExpectEveryCallOnce();
  ExpectCleanExit();
}

TEST_F(FaultCase, OddCallerIdentification) {
  caseName_ = "\"+CLIP:\" with no number, 40 digits, a NUL byte, non-ASCII bytes";
  ScriptedServer& server = AddServer();
  StartWithServer(server);
  using namespace std::string_literals;
  // The number text is what stands between the first two quotes (all of the
  // block when there is none), cut to its last ten characters; anything but
  // a decimal number gives 0. No case here sets NumberS, so no prefix.
  const struct {
    std::string block;
    int64_t phoneNumber;
  } calls[] = {
      {"\r\nRING\r\n\r\n+CLIP: ,128,,,,0\r\n", 0},                                  // no number, no quotes
      {CallBlock("\"\""), 0},                                                       // withheld: empty number
      {CallBlock("\"" + std::string(30, '8') + "9160000101\""), 9160000101},           // 40 digits
      {CallBlock("\"+7916\0"s + "0000102\""), 0},                                   // NUL inside the number
      {"\r\nRING\0\r\n\r\n+CLIP: \"+79160000103\",145,,,,0\r\n"s, 9160000103},        // NUL before it
      {CallBlock("\"+7916\xC0\xFF" "0000104\""), 0},                                // non-ASCII inside the number
      {"\r\nRING\r\n\r\n+CLIP: \"+79160000105\",145,,,\"\xC8\xE2\xE0\xED\",0\r\n", 9160000105},  // Windows-1251 name
  };
  for (const auto& call : calls) PlaceCall(call.block, call.phoneNumber);
  ExpectEveryCallOnce();
  ExpectStillServing(&server);
  ExpectCleanExit();
}

// ---------------------------------------------------------------- modem families and clocks

// A stick without voice answers ATA with NO CARRIER, and the call rings on,
// RING and +CLIP: every 5 s until the caller gives up: one call, one event.
TEST_F(FaultCase, CallThatKeepsRinging) {
  caseName_ = "a call that keeps ringing (ATA answered NO CARRIER)";
  ScriptedServer& server = AddServer();
  {
    FamilyModem stick(*modem_, *modemsim::FindProfile("voiceless"));
    StartWithServer(server);
    const size_t hangUps = modem_->Count("ATH\r\n");
    stick.Call("+79160000001");
    placed_.push_back(9160000001);
    ASSERT_TRUE(modem_->WaitForCount("ATH\r\n", hangUps + 1, 20s));
    // Had the hang-up not ended it, the call would ring a while longer.
    std::this_thread::sleep_for(12s);
    EXPECT_FALSE(stick.Ringing());
    EXPECT_EQ(modem_->Count("ATA\r\n"), 1u);
    EXPECT_EQ(modem_->Count("AT+CFUN=1,1\r\n"), 0u);
  }
  ExpectEveryCallOnce();
  ExpectStillServing(&server);
  ExpectCleanExit();
}

// What the modem families send of their own accord, around calls and inside
// their bursts: none is a call, none stops the dialogue.
TEST_F(FaultCase, UnsolicitedLinesAroundAndInsideCalls) {
  caseName_ = "reports of every modem family between and inside calls";
  ScriptedServer& server = AddServer();
  StartWithServer(server);
  std::vector<std::string> noise{"\r\n+CMTI: \"SM\",3\r\n", "\r\n+CREG: 1\r\n", "\r\nUNDER-VOLTAGE WARNNING\r\n"};
  for (const modemsim::Profile& p : modemsim::NamedProfiles()) {
    for (const auto& report : p.reports) noise.push_back("\r\n" + report.line + "\r\n");
    for (const auto& line : p.greeting) noise.push_back("\r\n" + line + "\r\n");
  }
  for (size_t i = 0; i < 4; ++i) {
    std::string around;
    for (size_t k = i; k < noise.size(); k += 2) around += noise[k];
    modem_->Send(around);
    const int64_t number = 9160000100LL + static_cast<int64_t>(i);
    const std::string burst = noise[i] + "\r\nRING\r\n" + noise[i + 1] + "\r\n+CLIP: \"+7" + std::to_string(number) +
                              "\",145,,,,0\r\n" + noise[i + 2];
    PlaceCall(burst, number);
  }
  EXPECT_EQ(modem_->Count("AT+CFUN=1,1\r\n"), 0u);
  ExpectEveryCallOnce();
  ExpectStillServing(&server);
  ExpectCleanExit();
}

// The wall clock stepped (an NTP correction, an operator) while the program
// waits for a reply: the wait still ends ten seconds on, and the calls
// after it carry the new time. The program runs under libfaketime, which
// moves only the wall clock.
class ClockStep : public FaultCase, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClockStep, ReplyLimitHoldsAndCallsArrive) {
  const std::string step = GetParam();
  caseName_ = "wall clock stepped " + std::string(step[0] == '-' ? "back" : "forward") + " 1 h while a reply is awaited";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  skipReason_ = "libfaketime cannot be preloaded into a sanitizer build";
  GTEST_SKIP() << skipReason_;
#endif
  const char* library = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
  if (!fs::exists(library)) {
    skipReason_ = "libfaketime is not installed";
    GTEST_SKIP() << skipReason_;
  }
  const TempDir clockDir("mcalld-faketime");
  const fs::path offset = clockDir.File("offset");
  WriteFile(offset.string(), "+0\n");
  Program::Options options;
  options.environment = {std::string("LD_PRELOAD=") + library, "FAKETIME_TIMESTAMP_FILE=" + offset.string(),
                         "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"};
  program_ = std::make_unique<Program>(MCALLD_BINARY, options);
  fs::create_directory(program_->Dir() / "spool");
  modem_ = std::make_unique<ScriptedModem>(program_->Dir() / "modem");
  // AT+CLIP=1 of the start-up goes unanswered; the queries after it wait.
  modem_->SetAnswer([](const std::string& command) {
    return command == "AT+CLIP=1" ? std::string() : ScriptedModem::StandardAnswer(command);
  });
  ScriptedServer& server = AddServer();
  StartWithServer(server);
  const auto unanswered = std::chrono::steady_clock::now();
  WriteFile(offset.string(), step + "\n");
  ASSERT_TRUE(modem_->WaitForCount("AT+CPIN?\r", 1, 20s)) << "the wait never ended";
  const auto waited = std::chrono::steady_clock::now() - unanswered;
  EXPECT_GT(waited, 9s) << "the step cut the wait";
  EXPECT_LT(waited, 15s) << "the step stretched the wait";
  modem_->SetAnswer(ScriptedModem::StandardAnswer);
  for (int i = 0; i < 2; ++i) Call();
  ExpectEveryCallOnce();
  ExpectStillServing(&server);
  ExpectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(Faults, ClockStep, ::testing::Values("-1h", "+1h"),
                         [](const auto& row) { return std::string(row.param[0] == '-' ? "Back" : "Forward"); });

// ---------------------------------------------------------------- files

// With no server to take it and no spool file to hold it, a call event has
// nowhere to go: the operator must at least be told, and calls after the
// server is back must reach it.
class SpoolFailure : public FaultCase, public ::testing::WithParamInterface<bool> {
 protected:
  void Run() {
    const fs::path spool = program_->Dir() / "spool";
    if (GetParam()) {
      ::chmod(spool.c_str(), 0555);
    } else {
      fs::remove(spool);
    }
    const int port = UnusedPort();
    StartProgram(Settings(modem_->LinkPath().string(), port));
    Call();
    const std::string told = common::ToCp1251("Не удалось записать событие в файл ");
    operatorTold_ = WaitFor([&] { return program_->SystemLogs().find(told) != std::string::npos; });
    EXPECT_TRUE(operatorTold_) << "the operator was not told of the spool failure";
    ScriptedServer& server = AddServer({}, port);
    ASSERT_TRUE(WaitFor([&] { return server.FramesOfType(serverlink::ftClientVersion).size() > 0; }, 30s));
    ExpectStillServing(&server);
  }
};

// With nowhere to write it, the event waits in the link's queue and reaches
// the server once it is back.
TEST_P(SpoolFailure, OperatorIsToldAndTheEventWaitsForTheServer) {
  caseName_ = GetParam() ? "spool directory read-only, server down, then up"
                         : "spool directory missing, server down, then up";
  note_ = "the system log names the file that could not be written";
  if (GetParam() && !ReadOnlyWorks()) return;
  Run();
  ExpectEveryCallOnce();
  ExpectCleanExit();
}

std::string SpoolRowName(const ::testing::TestParamInfo<bool>& row) { return row.param ? "ReadOnly" : "Missing"; }
INSTANTIATE_TEST_SUITE_P(Faults, SpoolFailure, ::testing::Values(false, true), SpoolRowName);

TEST_F(FaultCase, LogFilesUnwritable) {
  caseName_ = "log directory read-only (and mcall.log read-only)";
  if (!ReadOnlyWorks()) return;
  fs::create_directory(program_->Dir() / "logs");
  ::chmod((program_->Dir() / "logs").c_str(), 0555);
  { std::ofstream(program_->Dir() / "mcall.log") << ""; }
  ::chmod((program_->Dir() / "mcall.log").c_str(), 0444);
  ScriptedServer& server = AddServer();
  StartProgram(Settings(modem_->LinkPath().string(), server.Port(), "spool/", "logs/"));
  ASSERT_TRUE(WaitFor([&] { return server.FramesOfType(serverlink::ftClientVersion).size() > 0; }, 30s));
  for (int i = 0; i < 2; ++i) Call();
  ExpectEveryCallOnce();
  ExpectStillServing(&server);
  EXPECT_TRUE(program_->SystemLogs().empty());
  EXPECT_TRUE(program_->ReadText("mcall.log").empty());
  ExpectCleanExit();
}

// Someone with write access to the directory puts links under the logs'
// names, pointing at files of the operator's: nothing is appended to them,
// and the calls arrive all the same.
TEST_F(FaultCase, LogNamesArePlantedLinks) {
  caseName_ = "symbolic links planted as mcall.log and today's daily log";
  const TempDir elsewhere("mcalld-victims");
  WriteFile(elsewhere.File("operator-file"), "keep\n");
  WriteFile(elsewhere.File("daily-file"), "keep\n");
  fs::create_symlink(elsewhere.File("operator-file"), program_->Dir() / "mcall.log");
  // Today's name, and tomorrow's for a case that runs past midnight.
  for (int day = 0; day < 2; ++day) {
    const std::time_t t = std::time(nullptr) + day * 86400;
    std::tm local{};
    ::localtime_r(&t, &local);
    char name[32];
    std::strftime(name, sizeof name, "%d.%m.%Y.lgs", &local);
    fs::create_symlink(elsewhere.File("daily-file"), program_->Dir() / name);
  }
  ScriptedServer& server = AddServer();
  StartWithServer(server);
  for (int i = 0; i < 2; ++i) Call();
  ExpectEveryCallOnce();
  ExpectStillServing(&server);
  EXPECT_EQ(ReadFile(elsewhere.File("operator-file")), "keep\n");
  EXPECT_EQ(ReadFile(elsewhere.File("daily-file")), "keep\n");
  ExpectCleanExit();
}

// ---------------------------------------------------------------- settings

struct SettingsRow {
  const char* test;
  const char* name;
  // The whole file, given the modem's device and the server's port.
  std::function<std::string(const std::string& device, int port)> file;
  std::string code;  // the object code every event must carry
};

void PrintTo(const SettingsRow& row, std::ostream* out) { *out << row.name; }

class SettingsFault : public FaultCase, public ::testing::WithParamInterface<SettingsRow> {};

TEST_P(SettingsFault, CallsStillArrive) {
  const SettingsRow& row = GetParam();
  caseName_ = row.name;
  ScriptedServer& server = AddServer();
  StartProgram(row.file(modem_->LinkPath().string(), server.Port()));
  ASSERT_TRUE(WaitFor([&] { return server.FramesOfType(serverlink::ftClientVersion).size() > 0; }, 30s))
      << "the link never came up";
  ASSERT_TRUE(Call());
  ExpectEveryCallOnce();
  for (const auto& e : DeliveredEvents()) EXPECT_EQ(e.ObjectCode, row.code);
  ExpectStillServing(&server);
  ExpectCleanExit();
}

std::string Hex(int port) {
  std::ostringstream text;
  text << "0x" << std::hex << port;
  return text.str();
}

const SettingsRow kSettingsRows[] = {
    {"MalformedNumbers", "settings: malformed numbers (defaults taken)",
     [](const std::string& device, int port) {
       return "[Main]\nCom=COM3\nSpeed=fast\nCode=1120\nPathForSoob=spool/\nNumberS=12ab\nSyslog=yes\n"
              "[Log]\nOn=2x\n[ServerHost]\nAddress=127.0.0.1\nPort=" + Hex(port) + "\n[Ports]\nCOM3=" + device + "\n";
     },
     "1120"},
    {"TenThousandCharacterValue", "settings: a 10,000-character value",
     [](const std::string& device, int port) {
       return "[Main]\nCom=COM3\nCode=" + std::string(10000, 'Z') + "\nJunk=" + std::string(10000, '=') +
              "\nPathForSoob=spool/\n[ServerHost]\nPort=" + std::to_string(port) + "\n[Ports]\nCOM3=" + device + "\n";
     },
     "ZZZZ"},
    {"NoMainSection", "settings: no [Main] (COM1 mapped to the modem)",
     [](const std::string& device, int port) {
       return "[Log]\nOn=1\n[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(port) + "\n[Ports]\nCOM1=" +
              device + "\n";
     },
     "1120"},
    {"CrLfLineEnds", "settings: CR LF line ends",
     [](const std::string& device, int port) {
       return "[Main]\r\nCom=COM3\r\nCode=77\r\nPathForSoob=spool/\r\n[ServerHost]\r\nPort=" + std::to_string(port) +
              "\r\n[Ports]\r\nCOM3=" + device + "\r\n";
     },
     "77"},
    {"ByteOrderMark", "settings: UTF-8 byte-order mark before [Main]",
     [](const std::string& device, int port) {
       return "\xEF\xBB\xBF[Main]\r\nCom=COM3\r\nCode=4321\r\n[ServerHost]\r\nPort=" + std::to_string(port) +
              "\r\n[Ports]\r\nCOM3=" + device + "\r\n";
     },
     "4321"},
};
INSTANTIATE_TEST_SUITE_P(Faults, SettingsFault, ::testing::ValuesIn(kSettingsRows), RowName<SettingsRow>);

// ---------------------------------------------------------------- link

std::string Seconds(double s) {
  std::ostringstream text;
  text.precision(1);
  text << std::fixed << s << " s";
  return text.str();
}

// The server is given by a name, and the resolver never answers: each
// connection attempt still ends within its limit, so an address written in
// meanwhile is used at the next one, and the close does not wait for the
// lookup still hanging.
TEST_F(FaultCase, NameLookupNeverAnswered) {
  caseName_ = "server's name never resolved (resolver silent), then its address written in";
  SilentNameServer nameServer;
  const std::string resolvConf = (program_->Dir() / "resolv.conf").string();
  WriteFile(resolvConf, nameServer.ResolvConf());
  const FileReplacements files = {{"/etc/resolv.conf", resolvConf}};
  if (!nameServer.Bound() || !FilesCanBeReplaced(files)) {
    skipReason_ = "needs root: a name server on port 53 and a mount namespace";
    GTEST_SKIP() << skipReason_;
  }
  program_->ReplaceSystemFile(files[0].first, files[0].second);
  ScriptedServer& server = AddServer();
  const std::string byAddress = Settings(modem_->LinkPath().string(), server.Port());
  std::string byName = byAddress;
  byName.replace(byName.find("Address=127.0.0.1"), 17, "Address=mcalld-server.example");
  StartProgram(byName);
  ASSERT_TRUE(WaitFor([&] { return nameServer.Queries() > 0; })) << "the name was never looked up";
  for (int i = 0; i < 2; ++i) Call();

  program_->WriteSettings(byAddress);
  ASSERT_TRUE(WaitFor([&] { return server.FramesOfType(serverlink::ftClientVersion).size() > 0; }, 20s))
      << "the attempts waited for the lookup";
  ExpectEveryCallOnce();
  ExpectStillServing(&server);
  const auto closing = SteadyClock::now();
  ExpectCleanExit();
  const auto closed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - closing);
  EXPECT_LT(closed, 5s) << "the close waited for the lookup";
  note_ = "the close took " + std::to_string(closed.count()) + " ms, the lookup still hanging";
}

// The second call's event is answered a byte a second: the link gives up
// 10 s after the write and starts over, so the calls queued behind it wait
// in memory no longer than that.
TEST_F(FaultCase, TrickledReply) {
  caseName_ = "server trickles its reply, one byte a second";
  ScriptedServer& server = AddServer({{Fault::kTrickle, 1, 1s}});
  StartWithServer(server);
  ASSERT_TRUE(Call());
  ASSERT_TRUE(WaitFor([&] { return DeliveredEvents().size() == 1; }));
  std::map<int64_t, SteadyClock::time_point> placedAt;
  for (int i = 0; i < 3; ++i) {
    placedAt[9160000000LL + nextNumber_] = SteadyClock::now();
    Call();
  }
  ExpectEveryCallOnce();
  // A spooled event is safe on disk at once; a delivered one was only in
  // memory until the server first read it.
  std::map<int64_t, SteadyClock::time_point> firstRead;
  for (const auto& f : server.FramesOfType(serverlink::ftCallEvent)) {
    if (const auto e = DecodeCallEvent(f.payload)) firstRead.emplace(e->PhoneNumber, f.readAt);
  }
  double longest = 0;
  for (const auto& [number, placed] : placedAt) {
    if (firstRead.count(number) == 0) continue;
    longest = std::max(longest, std::chrono::duration<double>(firstRead[number] - placed).count());
  }
  EXPECT_LT(longest, 12.0) << "a call event waited in memory behind the trickle";
  EXPECT_GE(server.Connections(), 2) << "the link never gave up on the trickle";
  note_ = "longest a call event waited in memory: " + Seconds(longest);
  ExpectStillServing(&server);
  ExpectCleanExit();
}

// A server, or a port forwarder in front of a dead one, that accepts and
// closes at once: 12 connections in a minute, and calls meanwhile. The
// first healthy connection must be greeted once, not once per attempt.
TEST_F(FaultCase, ClosesAtOnceForAMinute) {
  caseName_ = "server accepts and closes at once for a minute (12 connections), then is healthy";
  ScriptedServer& server = AddServer(std::vector<ConnectionScript>(12, {Fault::kCloseAtOnce}));
  StartProgram(Settings(modem_->LinkPath().string(), server.Port()));
  for (int i = 0; i < 4; ++i) {
    Call();
    std::this_thread::sleep_for(12s);
  }
  ASSERT_TRUE(WaitFor([&] { return server.FramesOfType(serverlink::ftClientVersion).size() > 0; }, 60s))
      << "no healthy connection; connections: " << server.Connections();
  const int healthy = server.FramesOfType(serverlink::ftClientVersion)[0].connection;
  EXPECT_EQ(healthy, 13);
  ExpectEveryCallOnce();
  std::map<int32_t, int> greeting;
  for (const auto& f : server.FramesOf(healthy)) ++greeting[f.type];
  EXPECT_EQ(greeting[serverlink::ftHello], 1) << FrameSummary();
  EXPECT_EQ(greeting[serverlink::ftClientFlag], 1);
  EXPECT_EQ(greeting[serverlink::ftClientVersion], 1);
  // The greeting's own, and the one the window queued at the modem's start
  // if no closing connection took it.
  EXPECT_LE(greeting[serverlink::ftModemStatus], 2);
  note_ = "the healthy connection got " + std::to_string(greeting[serverlink::ftHello]) + " ftHello and " +
          std::to_string(greeting[serverlink::ftModemStatus]) + " ftModemStatus";
  ExpectStillServing(&server);
  ExpectCleanExit();
}

}  // namespace
