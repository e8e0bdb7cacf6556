#include <gtest/gtest.h>

#include <deque>
#include <optional>

#include "fakes.h"

namespace modem {
namespace {

using testsupport::ManualClock;
using testing::FakeHost;
using testing::Feed;

constexpr int32_t kUntouched = 42;

struct TagCase {
  const char* name;
  const char* entry;
  std::optional<std::string> written;  // nothing goes out when empty
  int32_t state;
};

void PrintTo(const TagCase& c, std::ostream* os) { *os << c.name; }

class DispatchTag : public testing::DialogueTest, public ::testing::WithParamInterface<TagCase> {};

TEST_P(DispatchTag, WritesTheCommandAndSetsItsState) {
  const TagCase& c = GetParam();
  d.ModemActive = true;
  d.ReplyState = kUntouched;
  d.CommandQueue = {c.entry, "AT:AT\r"};

  d.Timer3Timer();

  ASSERT_EQ(d.CommandQueue, std::deque<std::string>{"AT:AT\r"});
  if (c.written) {
    EXPECT_EQ(host.sent, std::vector<std::string>{*c.written});
    EXPECT_EQ(host.operatorLog, std::vector<std::string>{">" + *c.written});
    EXPECT_TRUE(d.AwaitingReply);
    EXPECT_EQ(d.CommandSentAt, clock.ticks);
  } else {
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(host.operatorLog.empty());
    EXPECT_FALSE(d.AwaitingReply);
  }
  EXPECT_EQ(d.ReplyState, c.state);
}

INSTANTIATE_TEST_SUITE_P(
    Tags, DispatchTag,
    ::testing::Values(TagCase{"clip", "CLIP:AT+CLIP=1\r", "AT+CLIP=1\r", rsCallerId}, TagCase{"at", "AT:AT\r", "AT\r", rsCommand},
                      TagCase{"atz", "ATZ:ATZ\r\n", "ATZ\r\n", rsCommand}, TagCase{"cfun", "CFUN:AT+CFUN=1,1\r\n", "AT+CFUN=1,1\r\n", rsCommand},
                      TagCase{"ate", "ATE:ATE0\r", "ATE0\r", rsEcho}, TagCase{"cgmi", "CGMI:AT+CGMI\r", "AT+CGMI\r", rsManufacturer},
                      TagCase{"cgmm", "CGMM:AT+CGMM\r", "AT+CGMM\r", rsModel}, TagCase{"cpms", "CPMS:AT+CPMS?\r", "AT+CPMS?\r", rsStorage},
                      TagCase{"ata", "ATA:ATA\r\n", "ATA\r\n", rsAnswer}, TagCase{"atv1", "ATV1:AT+VTS=1\r\n", "AT+VTS=1\r\n", rsTone},
                      TagCase{"ath", "ATH:ATH\r\n", "ATH\r\n", rsHangUp},
                      TagCase{"cvhu", "CVHU:AT+CVHU=0\r", "AT+CVHU=0\r", rsVoiceHangUp},
                      TagCase{"cmee", "CMEE:AT+CMEE=1\r", "AT+CMEE=1\r", rsErrorFormat},
                      TagCase{"cpin", "CPIN:AT+CPIN?\r", "AT+CPIN?\r", rsSim},
                      TagCase{"creg", "CREG:AT+CREG?\r", "AT+CREG?\r", rsNetwork},
                      TagCase{"csq", "CSQ:AT+CSQ\r", "AT+CSQ\r", rsSignal},
                      // Only the first colon splits; the rest belongs to the command.
                      TagCase{"colon_in_command", "CLIP:AT:X\r", "AT:X\r", rsCallerId},
                      TagCase{"unknown_tag", "CMGL:AT+CMGL=4\r", std::nullopt, kUntouched},
                      TagCase{"lower_case_tag", "clip:AT+CLIP=1\r", std::nullopt, kUntouched},
                      TagCase{"no_colon", "AT\r", std::nullopt, kUntouched},
                      TagCase{"empty_tag", ":AT\r", std::nullopt, kUntouched}),
    [](const auto& row) { return std::string(row.param.name); });

class DispatcherTest : public testing::DialogueTest {};

TEST_F(DispatcherTest, StartupSequenceGoesOutOneCommandPerReply) {
  d.StartDialogue();
  EXPECT_TRUE(d.ModemActive);
  EXPECT_EQ(host.timer1, std::vector<bool>{true});

  const std::vector<std::string> expected{"AT\r",       "ATE0\r",      "AT+CMEE=1\r", "AT+CGMI\r",
                                          "AT+CGMM\r",  "AT+CPMS?\r",  "AT+CVHU=0\r", "AT+CLIP=1\r",
                                          "AT+CPIN?\r", "AT+CREG?\r",  "AT+CSQ\r"};
  for (size_t i = 0; i < expected.size(); ++i) {
    d.Timer3Timer();
    d.Timer3Timer();  // still waiting: nothing more goes out
    ASSERT_EQ(host.sent.size(), i + 1);
    EXPECT_EQ(host.sent.back(), expected[i]);
    Feed(d, "\r\nOK\r\n");
  }
  EXPECT_EQ(d.ReplyState, rsSignal);
  EXPECT_TRUE(d.CommandQueue.empty());

  // Without the health queries the start-up ends with the caller
  // identification, as it always did.
  FakeHost quiet;
  Dialogue q(quiet, clock, clock);
  q.HealthQueries = false;
  q.StartDialogue();
  EXPECT_EQ(std::vector<std::string>(q.CommandQueue.begin(), q.CommandQueue.end()),
            (std::vector<std::string>{"AT:AT\r", "ATE:ATE0\r", "CMEE:AT+CMEE=1\r", "CGMI:AT+CGMI\r", "CGMM:AT+CGMM\r",
                                      "CPMS:AT+CPMS?\r", "CVHU:AT+CVHU=0\r", "CLIP:AT+CLIP=1\r"}));
}

TEST_F(DispatcherTest, UnansweredCommandBlocksForJustOverTenSeconds) {
  d.ModemActive = true;
  d.CommandQueue = {"ATE:ATE0\r", "CGMI:AT+CGMI\r"};
  d.Timer3Timer();
  ASSERT_EQ(host.sent.size(), 1u);

  clock.AdvanceMs(10000);
  d.Timer3Timer();
  EXPECT_EQ(host.sent.size(), 1u) << "the limit is strictly later than ten seconds";

  clock.AdvanceMs(50);
  d.Timer3Timer();
  ASSERT_EQ(host.sent.size(), 2u) << "the next entry goes out in the tick that ends the wait";
  EXPECT_EQ(host.sent.back(), "AT+CGMI\r");
  EXPECT_EQ(d.ReplyState, rsManufacturer);
}

TEST_F(DispatcherTest, RestartWithinTheLimitWaitsForTheOldOne) {
  d.StartDialogue();
  d.Timer3Timer();
  ASSERT_EQ(host.sent.size(), 1u);

  clock.AdvanceMs(3000);
  d.StopDialogue();
  EXPECT_FALSE(d.ModemActive);
  EXPECT_TRUE(d.CommandQueue.empty());
  EXPECT_TRUE(d.AwaitingReply);
  EXPECT_EQ(host.timer1, (std::vector<bool>{true, false}));

  clock.AdvanceMs(2000);
  d.StartDialogue();
  d.Timer3Timer();
  EXPECT_EQ(host.sent.size(), 1u);
  clock.AdvanceMs(5001);
  d.Timer3Timer();
  ASSERT_EQ(host.sent.size(), 2u);
  EXPECT_EQ(host.sent.back(), "AT\r");
}

TEST_F(DispatcherTest, NothingGoesOutWhileTheModemIsStopped) {
  d.CommandQueue = {"AT:AT\r"};
  for (int i = 0; i < 5; ++i) d.Timer3Timer();
  EXPECT_TRUE(host.sent.empty());
  EXPECT_EQ(d.CommandQueue.size(), 1u);
}

// The window lets Timer3 rest while this is false, so each kind of work the
// tick does must make it true, and it must fall back once the work is done.
TEST_F(DispatcherTest, NeedsTicksExactlyWhileThereIsWork) {
  host.connected = true;  // the call below goes to the link, not to a spool file
  EXPECT_FALSE(d.NeedsTicks()) << "window created";
  d.CommandQueue = {"AT:AT\r"};
  EXPECT_FALSE(d.NeedsTicks()) << "entries wait while the modem is stopped";
  d.ModemActive = true;
  EXPECT_TRUE(d.NeedsTicks()) << "a command to send";
  d.Timer3Timer();
  d.CommandQueue.clear();
  EXPECT_TRUE(d.NeedsTicks()) << "its reply awaited";
  Feed(d, "\r\nOK\r\n");
  EXPECT_FALSE(d.NeedsTicks()) << "answered, nothing queued";

  d.Timer1Timer();
  EXPECT_TRUE(d.NeedsTicks()) << "the re-arm";
  d.CommandQueue.clear();

  Feed(d, "\r\nRING\r\n\r\n+CLIP: \"+7916");
  EXPECT_TRUE(d.NeedsTicks()) << "a caller-identification line held for its end";
  Feed(d, "1234567\",145\r\n");
  EXPECT_EQ(d.CommandQueue.size(), 3u);
  EXPECT_TRUE(d.NeedsTicks()) << "the call's answer";
  d.CommandQueue.clear();

  d.Timer3Timer();  // nothing to send: still idle
  d.ReplyState = rsStorage;
  Feed(d, "\r\n+CME ERROR: 11\r\n");
  ASSERT_TRUE(d.SimLocked());
  EXPECT_TRUE(d.NeedsTicks()) << "the SIM's start-up retry";
  d.StopDialogue();
  EXPECT_FALSE(d.NeedsTicks()) << "no retry while stopped";

  d.StartDialogue();
  d.Timer3Timer();
  d.StopDialogue();
  EXPECT_TRUE(d.NeedsTicks()) << "a wait begun before the stop runs on";
  clock.AdvanceMs(10001);
  d.Timer3Timer();
  EXPECT_FALSE(d.NeedsTicks());
}

// The reply to a command must be read under that command's state, however
// the host's calls fail.
TEST(Dispatcher, HostFailuresNeverKeepThePreviousState) {
  struct Case {
    const char* name;
    FakeHost::Failure logFailure;
    bool sendThrows;
  };
  for (const Case& c : {Case{"log_returns_false", FakeHost::Failure::kReturnsFalse, false},
                        Case{"log_throws", FakeHost::Failure::kThrows, false},
                        Case{"send_throws", FakeHost::Failure::kNone, true}}) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.operatorLogFailure = c.logFailure;
    host.sendThrows = c.sendThrows;
    ManualClock clock;
    Dialogue d(host, clock, clock);
    d.ModemActive = true;
    d.CommandQueue = {"CGMI:AT+CGMI\r", "CGMM:AT+CGMM\r"};
    d.Timer3Timer();
    EXPECT_EQ(d.ReplyState, rsManufacturer);
    EXPECT_TRUE(d.AwaitingReply);
    clock.AdvanceMs(10001);
    d.Timer3Timer();
    EXPECT_EQ(d.ReplyState, rsModel) << "the timer keeps working";
  }
}

TEST(Dispatcher, RearmAddsOneCallerIdEntryAtMost) {
  struct Case {
    const char* name;
    std::deque<std::string> before;
    std::deque<std::string> after;
  };
  const std::string rearm = "CLIP:AT+CLIP=1\r";
  const std::string sim = "CPIN:AT+CPIN?\r";
  const std::string net = "CREG:AT+CREG?\r";
  const std::string signal = "CSQ:AT+CSQ\r";
  for (const Case& c : {
           Case{"empty", {}, {rearm, sim, net, signal}},
           Case{"long_queue", {"AT:AT\r", "ATE:ATE0\r"}, {"AT:AT\r", "ATE:ATE0\r", rearm, sim, net, signal}},
           Case{"already_queued", {rearm, "AT:AT\r"}, {rearm, "AT:AT\r", sim, net, signal}},
           Case{"queries_still_queued", {sim, signal}, {sim, signal, rearm, net}},
           // The recovery form ends in CR LF: a different entry.
           Case{"recovery_form_only", {"CLIP:AT+CLIP=1\r\n"}, {"CLIP:AT+CLIP=1\r\n", rearm, sim, net, signal}},
       }) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    ManualClock clock;
    Dialogue d(host, clock, clock);
    d.CommandQueue = c.before;
    d.Timer1Timer();
    EXPECT_EQ(host.trims, 1);
    EXPECT_EQ(d.CommandQueue, c.after);
  }
}

}  // namespace
}  // namespace modem
