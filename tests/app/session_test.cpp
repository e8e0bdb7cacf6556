// The modem session from startup to close, without a window: a real
// pseudo-terminal behind a symbolic link as the device, timers and the
// link recorded, and the posted port-loss work run when the test says.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/modem_session.h"
#include "common/cp1251.h"
#include "common/ticks.h"
#include "link/frame.h"
#include "serial/exclusive_device.h"
#include "serial/line_termios.h"
#include "tests/support/fake_timer.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

class RecordingView : public app::SessionView {
 public:
  void AppendLogView(std::string_view text) override { lines.push_back(common::Cp1251ToUtf8(text)); }
  void TrimLogView() override { ++trims; }
  void ShowConfiguredPort(const std::string& comName) override { configuredPort = comName; }
  void ShowRunningLayout(bool stopOffered) override { layout = stopOffered; }
  void DrawModemIndicator(bool active, int32_t, bool isHealthy) override {
    indicatorActive = active;
    healthy = isHealthy;
  }
  void ShowHealth(const std::string& line, bool isWarning) override {
    healthLine = common::Cp1251ToUtf8(line);
    warning = isWarning;
  }

  std::vector<std::string> lines;
  int trims = 0;
  std::optional<std::string> configuredPort;
  std::optional<bool> layout;  // the last layout shown, if any
  bool indicatorActive = false;
  bool healthy = true;
  std::string healthLine;
  bool warning = false;
};

class RecordingLink : public app::SessionLink {
 public:
  bool Connected() const override { return connected; }
  bool SendFrame(int32_t frameType, const serverlink::Bytes& payload) override {
    frames.push_back({frameType, payload});
    return true;
  }
  std::vector<serverlink::Bytes> QueuedCallEvents() const override { return queuedEvents; }
  void Stop() override { ++stops; }

  // The running flag of every ftModemStatus frame sent, in order.
  std::vector<int> StatusFlags() const {
    std::vector<int> flags;
    for (const auto& [type, payload] : frames)
      if (type == serverlink::ftModemStatus) flags.push_back(payload.size() == 8 ? payload[7] : -1);
    return flags;
  }

  bool connected = false;
  std::vector<std::pair<int32_t, serverlink::Bytes>> frames;
  std::vector<serverlink::Bytes> queuedEvents;
  int stops = 0;
};

class FixedClock : public common::Clock {
 public:
  common::DateTime Now() const override { return 46000.5; }
};

// What a step does to the session or its world.
enum class Step {
  kStart,          // StartModem, as at startup
  kStartOnCom3,    // the operator starts on COM3
  kStop,           // the operator's stop, the code accepted
  kStatus,         // the start/stop press ends with the status frame
  kLoseDevice,     // the modem's end of the line goes away, a poll tick sees it
  kRunPosted,      // the event loop runs what the session posted
  kRetry,          // the retry timer ticks
  kReturnDevice,   // a new device behind the same path
  kClose,          // the confirmed close
};

struct Expect {
  std::optional<app::StartResult> result;  // of a start step
  bool open = false;
  bool active = false;
  bool stopOffered = false;
  bool waiting = false;
  bool timer1 = false;
  std::vector<std::string> newLines;  // log view lines this step added
};

struct StepCase {
  Step step;
  Expect expect;
};

struct SessionCase {
  const char* name;
  const char* main;  // [Main] keys; none: no settings file at all
  std::vector<StepCase> steps;
  std::vector<int> statusFlags;  // every status frame of the case
};

using R = app::StartResult;

std::vector<SessionCase> Cases() {
  return {
      {"start_without_settings", nullptr, {{Step::kStart, {R::kNoSettings, false, false, true, false, false, {}}}}, {}},
      {"empty_com_opens_nothing", "Com=\r\n", {{Step::kStart, {R::kNotStarted, false, false, true, false, false, {}}}},
       {}},
      {"failed_open_keeps_the_stop_offered_until_a_stop",
       "Com=COM5\r\n",
       {
           {Step::kStart, {R::kNotStarted, false, false, true, false, false, {}}},
           // Nothing was open, so nothing is disconnected.
           {Step::kStop, {std::nullopt, false, false, false, false, false, {}}},
           {Step::kStatus, {std::nullopt, false, false, false, false, false, {}}},
       },
       {0}},
      {"stop_and_start_again",
       "Com=COM3\r\n",
       {
           {Step::kStart, {R::kStarted, true, true, true, false, true, {}}},
           {Step::kStop, {std::nullopt, false, false, false, false, false, {"Отключились."}}},
           {Step::kStatus, {std::nullopt, false, false, false, false, false, {}}},
           {Step::kStartOnCom3, {R::kStarted, true, true, true, false, true, {}}},
           {Step::kStatus, {std::nullopt, true, true, true, false, true, {}}},
       },
       {0, 1}},
      {"lost_port_is_looked_for_until_it_returns",
       "Com=COM3\r\n",
       {
           {Step::kStart, {R::kStarted, true, true, true, false, true, {}}},
           {Step::kLoseDevice, {std::nullopt, true, true, true, false, true, {}}},
           {Step::kRunPosted, {std::nullopt, false, false, true, true, false, {"Связь с портом COM3 потеряна."}}},
           {Step::kRetry, {std::nullopt, false, false, true, true, false, {}}},
           {Step::kReturnDevice, {std::nullopt, false, false, true, true, false, {}}},
           {Step::kRetry, {std::nullopt, true, true, true, false, true, {"Порт COM3 снова доступен."}}},
       },
       {0, 1}},
      {"stop_while_the_port_is_looked_for",
       "Com=COM3\r\n",
       {
           {Step::kStart, {R::kStarted, true, true, true, false, true, {}}},
           {Step::kLoseDevice, {std::nullopt, true, true, true, false, true, {}}},
           {Step::kRunPosted, {std::nullopt, false, false, true, true, false, {"Связь с портом COM3 потеряна."}}},
           {Step::kStop, {std::nullopt, false, false, false, false, false, {}}},
           {Step::kReturnDevice, {std::nullopt, false, false, false, false, false, {}}},
           {Step::kRetry, {std::nullopt, false, false, false, false, false, {}}},
       },
       {0}},
      {"close_closes_the_port_and_stops_the_link",
       "Com=COM3\r\n",
       {
           {Step::kStart, {R::kStarted, true, true, true, false, true, {}}},
           // No line and no status frame at a close.
           {Step::kClose, {std::nullopt, false, true, true, false, false, {}}},
           {Step::kLoseDevice, {std::nullopt, false, true, true, false, false, {}}},
           {Step::kRunPosted, {std::nullopt, false, true, true, false, false, {}}},
       },
       {}},
  };
}

void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.name; }

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::SetLockDirectory(dir_.Path());
    device_ = std::make_unique<testsupport::PtyPair>();
    PointDeviceLink();
  }

  void PointDeviceLink() {
    std::error_code ignored;
    fs::remove(DeviceLink(), ignored);
    fs::create_symlink(device_->SlavePath(), DeviceLink());
  }
  std::string DeviceLink() const { return dir_.File("modem"); }

  void WriteSettings(const std::string& main) {
    std::ofstream out(dir_.File("mcalld.ini"), std::ios::binary);
    out << "[Main]\r\n" << main << "PathForSoob=" << dir_.Path() << "/\r\n";
    out << "[Ports]\r\nCOM3=" << DeviceLink() << "\r\nCOM5=" << dir_.File("absent") << "\r\n";
  }

  app::ModemSession& MakeSession() {
    app::SessionEnvironment env;
    env.View = &view_;
    env.Link = &link_;
    env.Clock = &clock_;
    env.Ticks = &ticks_;
    env.PollTimer = &pollTimer_;
    env.PortWatcher = &portWatcher_;
    env.Timer3 = &timer3_;
    env.Timer1 = &timer1_;
    env.RetryTimer = &retryTimer_;
    env.Post = [this](std::function<void()> work) { posted_.push_back(std::move(work)); };
    env.ProgramDir = dir_.Path() + "/";
    session_ = std::make_unique<app::ModemSession>(std::move(env));
    return *session_;
  }

  void RunPosted() {
    auto work = std::move(posted_);
    posted_.clear();
    for (auto& w : work) w();
  }

  static void Reply(app::ModemSession& session, std::string_view block) {
    session.SerialPort1ReceivePacket(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()));
  }

  std::optional<app::StartResult> Run(app::ModemSession& session, Step step) {
    switch (step) {
      case Step::kStart:
        return session.StartModem();
      case Step::kStartOnCom3:
        return session.StartOn("COM3");
      case Step::kStop:
        session.Stop();
        break;
      case Step::kStatus:
        session.SendModemStatus();
        break;
      case Step::kLoseDevice:
        device_->CloseMaster();
        session.SerialPort1().PollTick();
        break;
      case Step::kRunPosted:
        RunPosted();
        break;
      case Step::kRetry:
        session.RetryPort();
        break;
      case Step::kReturnDevice:
        device_ = std::make_unique<testsupport::PtyPair>();
        PointDeviceLink();
        break;
      case Step::kClose:
        session.Close();
        break;
    }
    return std::nullopt;
  }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::PtyPair> device_;
  RecordingView view_;
  RecordingLink link_;
  FixedClock clock_;
  common::ManualTicks ticks_;
  testsupport::FakeTimer pollTimer_;
  testsupport::FakeWatcher portWatcher_;
  testsupport::FakeTimer timer3_;
  testsupport::FakeTimer timer1_;
  testsupport::FakeTimer retryTimer_;
  std::vector<std::function<void()>> posted_;
  std::unique_ptr<app::ModemSession> session_;
};

class SessionLife : public SessionTest, public ::testing::WithParamInterface<SessionCase> {};

TEST_P(SessionLife, FollowsTheModemsLife) {
  const SessionCase& c = GetParam();
  if (c.main) WriteSettings(c.main);
  app::ModemSession& session = MakeSession();
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const auto& [step, expect] = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    const size_t linesBefore = view_.lines.size();
    const auto result = Run(session, step);
    if (expect.result) {
      EXPECT_EQ(result, expect.result);
    }
    EXPECT_EQ(session.SerialPort1().IsOpen(), expect.open);
    EXPECT_EQ(session.Dialogue().ModemActive, expect.active);
    EXPECT_EQ(session.StopOffered(), expect.stopOffered);
    EXPECT_EQ(session.WaitingForPort(), expect.waiting);
    EXPECT_EQ(retryTimer_.running, expect.waiting);
    EXPECT_EQ(timer1_.running, expect.timer1);
    EXPECT_EQ(std::vector<std::string>(view_.lines.begin() + static_cast<long>(linesBefore), view_.lines.end()),
              expect.newLines);
    if (view_.layout) {
      EXPECT_EQ(*view_.layout, expect.stopOffered);
    }
  }
  EXPECT_EQ(link_.StatusFlags(), c.statusFlags);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, SessionLife, ::testing::ValuesIn(Cases()),
                         [](const auto& row) { return std::string(row.param.name); });

// What the modem says of its health, step by step, on the session's
// clocks; a block of "" is a tick of the 30-second timer instead.
struct HealthStep {
  uint32_t afterMs;
  std::string block;
};

struct HealthCase {
  const char* name;
  bool health;  // [Main] Health
  std::vector<HealthStep> steps;
  std::vector<std::string> changeLines;  // without their time
  bool warning;                          // at the end
};

const std::string kReady = "\r\n+CPIN: READY\r\n\r\nOK\r\n";
const std::string kHome = "\r\n+CREG: 0,1\r\n\r\nOK\r\n";
const std::string kSignal = "\r\n+CSQ: 19,99\r\n\r\nOK\r\n";
const std::string kCannot = "Станция не может принимать звонки: ";
const std::string kCanAgain = "Станция снова может принимать звонки";

std::vector<HealthCase> HealthCases() {
  return {
      {"healthy_writes_nothing", true, {{0, kReady}, {10, kHome}, {10, kSignal}, {30000, ""}, {30000, kHome}}, {}, false},
      {"registration_lost_and_back",
       true,
       {{0, kReady}, {10, kHome}, {30000, "\r\n+CREG: 0,2\r\n\r\nOK\r\n"}, {30000, "\r\n+CREG: 0,0\r\n\r\nOK\r\n"},
        {30000, "\r\n+CREG: 1\r\n"}},
       {kCannot + "модем ищет сеть", kCanAgain},
       false},
      {"pin_requested", true, {{0, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"}}, {kCannot + "SIM-карта требует PIN-код"}, true},
      {"no_signal", true, {{0, kReady}, {10, kHome}, {10, "\r\n+CSQ: 0,99\r\n\r\nOK\r\n"}}, {kCannot + "нет сигнала сети"}, true},
      {"silent_for_two_minutes",
       true,
       {{0, kReady}, {30000, ""}, {30000, ""}, {30000, ""}, {30000, ""}, {1000, ""}, {1000, kHome}},
       {kCannot + "модем не отвечает на запросы состояния более 2 минут", kCanAgain},
       false},
      {"never_answered", true, {{60000, ""}, {61000, ""}}, {kCannot + "модем не отвечает на запросы состояния более 2 минут"}, true},
      {"errors_leave_it_unknown",
       true,
       {{0, "\r\nERROR\r\n"}, {30000, "\r\nERROR\r\n"}, {30000, "\r\nERROR\r\n"}, {30000, "\r\nERROR\r\n"},
        {30000, "\r\nERROR\r\n"}, {1000, ""}},
       {},
       false},
      {"switched_off", false, {{0, "\r\n+CREG: 0,0\r\n\r\nOK\r\n"}, {150000, ""}}, {}, false},
  };
}

void PrintTo(const HealthCase& c, std::ostream* os) { *os << c.name; }

class SessionHealth : public SessionTest, public ::testing::WithParamInterface<HealthCase> {};

TEST_P(SessionHealth, ShowsItAndWritesEachChangeOnce) {
  const HealthCase& c = GetParam();
  WriteSettings(std::string("Com=COM3\r\nHealth=") + (c.health ? "1" : "0") + "\r\n");
  app::ModemSession& session = MakeSession();
  ASSERT_EQ(session.StartModem(), app::StartResult::kStarted);
  for (const HealthStep& step : c.steps) {
    ticks_.Advance(step.afterMs);
    if (step.block.empty()) {
      session.Timer1Timer();
      continue;
    }
    // As the answer to a query, which shows nothing else.
    session.Dialogue().ReplyState = modem::rsNetwork;
    session.SerialPort1ReceivePacket(reinterpret_cast<const uint8_t*>(step.block.data()),
                                     static_cast<uint32_t>(step.block.size()));
  }
  std::vector<std::string> changes;
  for (const std::string& line : view_.lines) {
    if (line.find("Станция") != std::string::npos) changes.push_back(line.substr(line.find(' ', 11) + 1));
  }
  EXPECT_EQ(changes, c.changeLines);
  EXPECT_EQ(view_.warning, c.warning);
  EXPECT_EQ(view_.healthy, !c.warning);
  EXPECT_EQ(view_.healthLine.empty(), !c.health);
  if (c.health) {
    EXPECT_TRUE(view_.healthLine.starts_with("SIM: ")) << view_.healthLine;
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, SessionHealth, ::testing::ValuesIn(HealthCases()),
                         [](const auto& row) { return std::string(row.param.name); });

// A SIM that waits for its PIN is said once, with or without the health.
TEST_F(SessionTest, LockedSimIsSaidOnce) {
  for (const char* health : {"1", "0"}) {
    SCOPED_TRACE(health);
    view_.lines.clear();
    WriteSettings(std::string("Com=COM3\r\nHealth=") + health + "\r\n");
    app::ModemSession& session = MakeSession();
    ASSERT_EQ(session.StartModem(), app::StartResult::kStarted);
    const std::string error = "\r\n+CME ERROR: 11\r\n";
    for (int i = 0; i < 3; ++i) {
      session.Dialogue().ReplyState = modem::rsStorage;
      session.SerialPort1ReceivePacket(reinterpret_cast<const uint8_t*>(error.data()), static_cast<uint32_t>(error.size()));
      ticks_.Advance(30000);
      session.Timer1Timer();
    }
    const auto said = std::count_if(view_.lines.begin(), view_.lines.end(), [](const std::string& line) {
      return line.ends_with("SIM-карта требует PIN-код: модем не перезапускается, запуск повторяется раз в минуту");
    });
    EXPECT_EQ(said, 1);
    session.Close();
  }
}

// The program started twice on one port: the second start is refused, and
// says why; a device that is simply absent still says nothing.
TEST_F(SessionTest, PortHeldByAnotherCopySaysSo) {
  WriteSettings("Com=COM3\r\n");
  serial::OpenError why = serial::OpenError::kNone;
  auto first = serial::OpenExclusive(DeviceLink(), &why);
  ASSERT_TRUE(first);
  app::ModemSession& session = MakeSession();
  EXPECT_EQ(session.StartModem(), app::StartResult::kNotStarted);
  EXPECT_EQ(view_.lines, std::vector<std::string>{"Порт COM3 занят другой программой: модем не запущен"});
  serial::CloseExclusive(*first);

  view_.lines.clear();
  WriteSettings("Com=COM5\r\n");
  EXPECT_EQ(session.StartModem(), app::StartResult::kNotStarted);
  EXPECT_TRUE(view_.lines.empty());
}

TEST_F(SessionTest, StartShowsThePortAndQueuesTheStartup) {
  WriteSettings("Com=COM3\r\nSpeed=115200\r\n");
  app::ModemSession& session = MakeSession();
  ASSERT_EQ(session.StartModem(), app::StartResult::kStarted);
  EXPECT_EQ(view_.configuredPort, "COM3");
  EXPECT_EQ(session.SerialPort1().PortName(), DeviceLink());
  EXPECT_EQ(session.SerialPort1().BaudRateValue(), 115200u);
  EXPECT_EQ(session.Dialogue().CommandQueue.size(), 11u);
  EXPECT_EQ(timer1_.period, 30000u);
  EXPECT_TRUE(portWatcher_.watching) << "the quiet line is watched";
  EXPECT_FALSE(pollTimer_.running) << "and not polled";
  EXPECT_EQ(session.Snapshot().ComName, "COM3");
  EXPECT_TRUE(session.Snapshot().ModemActive);
}

// Timer3 runs while the dialogue has work and rests otherwise, and is not
// restarted while it runs; work that comes while it rests gets its first
// tick at once, once the handler in progress has returned.
TEST_F(SessionTest, DispatcherTicksOnlyWhileThereIsWork) {
  WriteSettings("Com=COM3\r\nHealth=0\r\n");
  app::ModemSession& session = MakeSession();
  ASSERT_EQ(session.StartModem(), app::StartResult::kStarted);
  EXPECT_TRUE(timer3_.running);
  EXPECT_EQ(timer3_.period, 50u);
  ASSERT_EQ(posted_.size(), 1u);
  RunPosted();
  EXPECT_EQ(device_->ReadMaster(3), "AT\r") << "the first command goes out at once";
  for (int reply = 1; reply < 8; ++reply) {
    Reply(session, "\r\nOK\r\n");
    EXPECT_TRUE(timer3_.running) << "more of the start-up queued";
    session.Timer3Timer();
  }
  EXPECT_TRUE(timer3_.running) << "the last reply awaited";
  Reply(session, "\r\nOK\r\n");
  EXPECT_FALSE(timer3_.running) << "nothing left to do";
  EXPECT_EQ(timer3_.starts, 1);
  EXPECT_TRUE(posted_.empty());

  device_->ReadMaster(1000, 100);
  session.Timer1Timer();
  EXPECT_TRUE(timer3_.running);
  RunPosted();
  EXPECT_EQ(device_->ReadMaster(10), "AT+CLIP=1\r") << "the re-arm goes out at once";
  Reply(session, "\r\nOK\r\n");
  EXPECT_FALSE(timer3_.running);

  Reply(session, "\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145\r\n");
  EXPECT_TRUE(timer3_.running);
  RunPosted();
  EXPECT_EQ(device_->ReadMaster(5), "ATA\r\n") << "a call is answered at once";

  session.Close();
  EXPECT_FALSE(timer3_.running);
}

// Rates outside the driver's table, one without a termios constant, read
// back from the device itself rather than from what the driver remembers.
TEST_F(SessionTest, ConfiguredRateReachesTheDevice) {
  for (const uint32_t speed : {230400u, 250000u}) {
    SCOPED_TRACE(speed);
    WriteSettings("Com=COM3\r\nSpeed=" + std::to_string(speed) + "\r\n");
    app::ModemSession& session = MakeSession();
    ASSERT_EQ(session.StartModem(), app::StartResult::kStarted);
    EXPECT_EQ(session.SerialPort1().BaudRate(), serial::brCustom);
    EXPECT_EQ(serial::ReadLineSpeed(device_->SlaveFd()).value_or(0), speed);
    session.Close();
  }
}

TEST_F(SessionTest, StartOnWritesTheChosenPortBack) {
  WriteSettings("Com=COM5\r\n");
  app::ModemSession& session = MakeSession();
  ASSERT_EQ(session.StartModem(), app::StartResult::kNotStarted);
  session.Stop();
  ASSERT_EQ(session.StartOn("COM3"), app::StartResult::kStarted);
  std::ifstream in(dir_.File("mcalld.ini"), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Com=COM3\r\n"), std::string::npos);
  // An empty name starts nothing and writes nothing.
  session.Stop();
  EXPECT_EQ(session.StartOn(""), app::StartResult::kNotStarted);
}

TEST_F(SessionTest, CloseSpoolsEveryCallEventStillQueued) {
  WriteSettings("Com=\r\n");
  app::ModemSession& session = MakeSession();
  ASSERT_EQ(session.StartModem(), app::StartResult::kNotStarted);
  serverlink::Bytes first(21, 0);
  first[0] = 42;
  serverlink::Bytes second(21, 0);
  second[0] = 43;
  link_.queuedEvents = {first, serverlink::Bytes(5, 1), second};

  session.Close();
  session.Close();

  EXPECT_EQ(link_.stops, 1);
  std::vector<int> firstBytes;
  for (const auto& entry : fs::directory_iterator(dir_.Path())) {
    if (entry.path().extension() != ".dd8") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 25u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x4A\x00\x00\x03", 4));
    firstBytes.push_back(bytes[4]);
  }
  std::sort(firstBytes.begin(), firstBytes.end());
  EXPECT_EQ(firstBytes, (std::vector<int>{42, 43}));  // the 5-byte payload is no call event
}

}  // namespace
