// The modem's health as its replies say it, and the SIM that no restart
// can help.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "common/cp1251.h"
#include "fakes.h"
#include "modem/health.h"

namespace modem {
namespace {

using testsupport::ManualClock;
using testing::FakeHost;
using testing::Feed;

struct SimCase {
  const char* name;
  std::string text;
  std::optional<SimState> sim;
};

TEST(HealthReading, SimState) {
  for (const SimCase& c : {
           SimCase{"ready", "\r\n+CPIN: READY\r\n\r\nOK\r\n", SimState::kReady},
           SimCase{"no_blank", "\r\n+CPIN:READY\r\n", SimState::kReady},
           SimCase{"quoted", "\r\n+CPIN: \"SIM PIN\"\r\n\r\nOK\r\n", SimState::kPinRequired},
           SimCase{"pin", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", SimState::kPinRequired},
           SimCase{"puk", "\r\n+CPIN: SIM PUK\r\n", SimState::kPukRequired},
           SimCase{"pin2_guards_no_calls", "\r\n+CPIN: SIM PIN2\r\n", SimState::kReady},
           SimCase{"phone_lock", "\r\n+CPIN: PH-SIM PIN\r\n", SimState::kPinRequired},
           SimCase{"not_ready", "\r\n+CPIN: NOT READY\r\n", SimState::kNotReady},
           SimCase{"no_sim", "\r\n+CME ERROR: 10\r\n", SimState::kAbsent},
           SimCase{"pin_code", "\r\n+CME ERROR: 11\r\n", SimState::kPinRequired},
           SimCase{"puk_code", "\r\n+CME ERROR: 12\r\n", SimState::kPukRequired},
           SimCase{"sim_failure", "\r\n+CME ERROR: 13\r\n", SimState::kFailure},
           SimCase{"sim_busy", "\r\n+CME ERROR: 14\r\n", SimState::kNotReady},
           SimCase{"verbose", "\r\n+CME ERROR: SIM PIN required\r\n", SimState::kPinRequired},
           SimCase{"message_error", "\r\n+CMS ERROR: 310\r\n", SimState::kAbsent},
           SimCase{"restart_greeting_last_counts", "\r\n+CPIN: NOT READY\r\n\r\n+CPIN: READY\r\n", SimState::kReady},
           SimCase{"other_error", "\r\n+CME ERROR: 100\r\n", std::nullopt},
           SimCase{"plain_error", "\r\nERROR\r\n", std::nullopt},
           SimCase{"empty_value", "\r\n+CPIN: \r\n", std::nullopt},
           SimCase{"garbage", "\r\n+CPIN: ???\r\n", std::nullopt},
           SimCase{"nothing", "", std::nullopt},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SimStateIn(c.text), c.sim);
  }
}

TEST(HealthReading, Registration) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<Registration> network;
  };
  for (const Case& c : {
           Case{"home", "\r\n+CREG: 0,1\r\n\r\nOK\r\n", Registration::kHome},
           Case{"no_blank", "\r\n+CREG:0,5\r\n", Registration::kRoaming},
           Case{"with_cell", "\r\n+CREG: 2,1,\"1A2B\",\"00C3D4E5\"\r\n", Registration::kHome},
           Case{"with_cell_and_technology", "\r\n+CREG: 2,5,\"1A2B\",\"00C3D4E5\",7\r\n", Registration::kRoaming},
           Case{"searching", "\r\n+CREG: 0,2\r\n", Registration::kSearching},
           Case{"denied", "\r\n+CREG: 0,3\r\n", Registration::kDenied},
           Case{"not_registered", "\r\n+CREG: 0,0\r\n", Registration::kNotRegistered},
           Case{"unknown_stat", "\r\n+CREG: 0,4\r\n", Registration::kUnknown},
           Case{"report", "\r\n+CREG: 1\r\n", Registration::kHome},
           Case{"report_lost", "\r\n+CREG: 2\r\n", Registration::kSearching},
           Case{"report_with_cell", "\r\n+CREG: 5,\"1A2B\",\"00C3D4E5\"\r\n", Registration::kRoaming},
           Case{"not_a_number", "\r\n+CREG: 0,x\r\n", std::nullopt},
           Case{"empty", "\r\n+CREG:\r\n", std::nullopt},
           Case{"nothing", "\r\nOK\r\n", std::nullopt},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RegistrationIn(c.text), c.network);
  }
}

TEST(HealthReading, Signal) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<int32_t> signal;
  };
  for (const Case& c : {
           Case{"csq", "\r\n+CSQ: 19,99\r\n\r\nOK\r\n", 19},
           Case{"no_blank", "\r\n+CSQ:31,0\r\n", 31},
           Case{"unknown", "\r\n+CSQ: 99,99\r\n", 99},
           Case{"none", "\r\n+CSQ: 0,0\r\n", 0},
           Case{"report", "\r\n^RSSI:25\r\n", 25},
           Case{"out_of_range", "\r\n+CSQ: 45,0\r\n", std::nullopt},
           Case{"negative", "\r\n+CSQ: -1,0\r\n", std::nullopt},
           Case{"empty", "\r\n+CSQ: \r\n", std::nullopt},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SignalIn(c.text), c.signal);
  }
}

TEST(HealthLine, SaysEachPartInWords) {
  ModemHealth health;
  EXPECT_EQ(common::Cp1251ToUtf8(HealthLine(health)), "SIM: неизвестно; сеть: неизвестно; сигнал: неизвестно; ответа нет");
  health.Sim = SimState::kReady;
  health.Network = Registration::kRoaming;
  health.Signal = 19;
  health.Answered = true;
  health.LastAnswerTime = common::MakeDateTime({2026, 12, 11, 14, 3, 7, 0});
  EXPECT_EQ(common::Cp1251ToUtf8(HealthLine(health)), "SIM: готова; сеть: роуминг; сигнал: -75 дБм (19); ответ в 14:03:07");
}

// Every reply of the modem answers OK: what counts is how often the
// start-up is tried and whether the modem is ever restarted.
struct LockCase {
  const char* name;
  bool healthQueries;
  std::string simError;  // the answer to the SIM-dependent commands
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class SimLock : public ::testing::TestWithParam<LockCase> {};

TEST_P(SimLock, NoRestartAndOneStartupAMinute) {
  const LockCase& c = GetParam();
  FakeHost host;
  ManualClock clock;
  Dialogue d(host, clock, clock);
  d.HealthQueries = c.healthQueries;
  d.StartDialogue();
  // Three minutes of the dialogue, each command answered as a modem whose
  // SIM waits for its PIN answers it.
  for (int ms = 0; ms < 180000; ms += 50) {
    clock.AdvanceMs(50);
    d.Timer3Timer();
    if (ms % 30000 == 0) d.Timer1Timer();
    if (!d.AwaitingReply) continue;
    const std::string& command = host.sent.back();
    if (command.starts_with("AT+CPMS") || command.starts_with("AT+CLIP")) {
      Feed(d, c.simError);
    } else if (command.starts_with("AT+CPIN?")) {
      Feed(d, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    } else {
      Feed(d, "\r\nOK\r\n");
    }
  }
  EXPECT_TRUE(d.SimLocked());
  EXPECT_EQ(d.Health.Sim, SimState::kPinRequired);
  EXPECT_EQ(std::count_if(host.sent.begin(), host.sent.end(), [](const std::string& s) { return s.starts_with("AT+CFUN"); }), 0);
  // The first start-up, then one every minute.
  EXPECT_EQ(std::count(host.sent.begin(), host.sent.end(), "AT+CGMI\r"), 3);
  // The queries of the start-ups and of the six re-arms, never two of them
  // waiting at once.
  const auto queries =
      std::count_if(host.sent.begin(), host.sent.end(), [](const std::string& s) { return s.starts_with("AT+CPIN?"); });
  if (c.healthQueries) {
    EXPECT_GE(queries, 6);
    EXPECT_LE(queries, 9);
  } else {
    EXPECT_EQ(queries, 0);
  }
  EXPECT_GE(host.healthUpdates, 1);

  // The SIM is given its PIN elsewhere: the next answer ends the lock.
  Feed(d, c.healthQueries ? "\r\n+CPIN: READY\r\n\r\nOK\r\n" : "\r\nOK\r\n");
  if (!c.healthQueries) {
    d.ReplyState = rsCallerId;
    Feed(d, "\r\nOK\r\n");
  }
  EXPECT_FALSE(d.SimLocked());
}

INSTANTIATE_TEST_SUITE_P(
    Sims, SimLock,
    ::testing::Values(LockCase{"pin_code_with_health", true, "\r\n+CME ERROR: 11\r\n"},
                      LockCase{"pin_code_without_health", false, "\r\n+CME ERROR: 11\r\n"},
                      LockCase{"message_error_with_health", true, "\r\n+CMS ERROR: 311\r\n"}),
    [](const auto& row) { return std::string(row.param.name); });

// Any other error keeps the recovery.
TEST(SimLock, OtherErrorsStillRestartTheModem) {
  FakeHost host;
  ManualClock clock;
  Dialogue d(host, clock, clock);
  d.StartDialogue();
  d.Timer3Timer();
  Feed(d, "\r\n+CME ERROR: 100\r\n");
  EXPECT_FALSE(d.SimLocked());
  EXPECT_EQ(d.CommandQueue.front(), "CFUN:AT+CFUN=1,1\r\n");
}

}  // namespace
}  // namespace modem
