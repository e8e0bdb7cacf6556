// Calls as the common modem families report them: their caller-identification
// lines cut anywhere by the packet rule, a call that rings on unanswered, a
// call that cannot be answered, unsolicited lines around a call, and steps
// of the wall clock while a reply is awaited.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "fakes.h"

namespace modem {
namespace {

using common::ToCp1251;
using testsupport::ManualClock;
using testing::FakeHost;
using testing::Feed;

const std::deque<std::string> kAnswer{"ATA:ATA\r\n", "ATV1:AT+VTS=1\r\n", "ATH:ATH\r\n"};

struct LineCase {
  const char* name;
  std::string line;    // as the modem sends it, without its line end
  std::string number;  // the number text shown
  int64_t phone;       // PhoneNumber of the event
};

// One row per form of the line that the modem families send.
std::vector<LineCase> Lines() {
  return {
      {"simcom", "+CLIP: \"+79161234567\",145,\"\",0,\"\",0", "9161234567", 9161234567},
      {"simcom_withheld", "+CLIP: \"\",128,\"\",0,\"\",1", "", 0},
      {"huawei", "+CLIP: \"82882690\",129,,,,0", "82882690", 82882690},
      {"huawei_withheld", "+CLIP: \"\",128,,,,1", "", 0},
      {"huawei_not_available", "+CLIP: \"\",128,,,,2", "", 0},
      {"quectel_with_phone_book_name", "+CLIP: \"02151082965\",129,,,\"QUECTEL\",0", "2151082965", 2151082965},
      {"telit", "+CLIP: \"1234567890\",129,\"\",128,\"\",0", "1234567890", 1234567890},
      {"cinterion", "+CLIP: \"0612345678\",129,,,,0", "0612345678", 612345678},
      {"cinterion_data_call", "+CLIP: \"0612345678\",129", "0612345678", 612345678},
      {"siemens_unquoted", "+CLIP: +49897220,145", "+49897220", 49897220},
      {"no_blank_after_colon", "+CLIP:\"+79161234567\",145,,,,0", "9161234567", 9161234567},
      {"unquoted_no_blank", "+CLIP:82882690,129,,,,0", "82882690", 82882690},
  };
}

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class CallerIdLine : public ::testing::TestWithParam<LineCase> {};

// Whatever byte the cut falls after, the call is one event with the whole
// number and one answer, and a message notice with quoted fields of its own
// in front of it does not lend its first field.
TEST_P(CallerIdLine, GivesOneEventWhereverTheBurstIsCut) {
  const LineCase& c = GetParam();
  for (const std::string& before : {std::string("\r\nRING\r\n\r\n"), std::string("\r\n+CMTI: \"SM\",3\r\n\r\n+CRING: VOICE\r\n\r\n")}) {
    const std::string burst = before + c.line + "\r\n";
    for (size_t cut = 0; cut <= burst.size(); ++cut) {
      SCOPED_TRACE("cut after byte " + std::to_string(cut) + " of " + burst);
      FakeHost host;
      host.connected = true;
      ManualClock clock;
      Dialogue d(host, clock, clock);
      d.ReplyState = rsCallerId;
      if (cut > 0) Feed(d, burst.substr(0, cut));
      clock.AdvanceMs(250);
      d.Timer3Timer();
      if (cut < burst.size()) Feed(d, burst.substr(cut));

      ASSERT_EQ(host.events.size(), 1u);
      EXPECT_EQ(CallEvent::Decode(host.events[0]).PhoneNumber, c.phone);
      EXPECT_EQ(host.view, std::vector<std::string>{ToCp1251("Входящий звонок - ") + c.number});
      EXPECT_EQ(d.CommandQueue, kAnswer);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Families, CallerIdLine, ::testing::ValuesIn(Lines()),
                         [](const auto& row) { return std::string(row.param.name); });

// A cut line whose rest never comes is read as it is, about a second later,
// and the call is answered all the same.
TEST(CallerIdLine, UnfinishedLineIsReadAfterASecond) {
  FakeHost host;
  host.connected = true;
  ManualClock clock;
  Dialogue d(host, clock, clock);
  d.ModemActive = true;
  d.AwaitingReply = true;
  d.CommandSentAt = clock.ticks;
  Feed(d, "\r\nRING\r\n\r\n+CLIP: \"+7916");
  EXPECT_TRUE(host.events.empty());
  EXPECT_TRUE(d.AwaitingReply) << "neither the ring nor the cut line answers a command";
  clock.AdvanceMs(1000);
  d.Timer3Timer();
  EXPECT_TRUE(host.events.empty());
  clock.AdvanceMs(50);
  d.Timer3Timer();
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(CallEvent::Decode(host.events[0]).PhoneNumber, 7916);
  EXPECT_EQ(host.sent, std::vector<std::string>{"ATA\r\n"}) << "the answer goes out in the same tick";
}

// A burst longer than a packet is cut into 256-byte pieces; the cut may
// fall anywhere in the caller-identification line, on its last byte too.
TEST(CallerIdLine, FullPacketKeepsItsLastByte) {
  const std::string line = "+CLIP: \"+79161234567\",145,,,,0\r\n";
  for (size_t inFirst = 1; inFirst < line.size(); ++inFirst) {
    SCOPED_TRACE(inFirst);
    // RING, a report long enough to fill the packet, and the line.
    std::string burst = "\r\nRING\r\n";
    const size_t report = 256 - inFirst - burst.size();
    burst += "\r\n^" + std::string(report - 5, 'X') + "\r\n" + line;
    ASSERT_EQ(burst.find("+CLIP:"), 256 - inFirst);
    ManualClock clock;
    FakeHost host;
    host.connected = true;
    Dialogue d(host, clock, clock);
    Feed(d, burst.substr(0, 256));
    Feed(d, burst.substr(256));
    ASSERT_EQ(host.events.size(), 1u);
    EXPECT_EQ(CallEvent::Decode(host.events[0]).PhoneNumber, 9161234567);
  }
}

// What the modem says about a call, step by step, and what must come of it.
enum class Say { kClip, kClipOther, kClipWithheld, kOkToAta, kNoCarrierToAta, kErrorToAta, kErrorToAth };

struct RingCase {
  const char* name;
  std::vector<std::pair<uint32_t, Say>> script;  // ms after the previous step, what the modem says
  size_t events;
  size_t ataSent;
  size_t recoveries;
  size_t repeatLines;
};

std::vector<RingCase> RingCases() {
  return {
      {"rings_three_times_then_answered", {{0, Say::kClip}, {5000, Say::kClip}, {5000, Say::kClip}, {200, Say::kOkToAta}}, 1, 1, 0, 2},
      {"withheld_rings_on", {{0, Say::kClipWithheld}, {6000, Say::kClipWithheld}, {6000, Say::kClipWithheld}}, 1, 1, 0, 2},
      {"new_call_after_the_answer", {{0, Say::kClip}, {200, Say::kOkToAta}, {3000, Say::kClip}}, 2, 2, 0, 0},
      {"other_number_while_ringing", {{0, Say::kClip}, {2000, Say::kClipOther}}, 2, 2, 0, 0},
      {"same_number_after_a_long_pause", {{0, Say::kClip}, {10001, Say::kClip}}, 2, 2, 0, 0},
      {"data_stick_says_no_carrier", {{0, Say::kClip}, {200, Say::kNoCarrierToAta}, {5000, Say::kClip}, {5000, Say::kClip}}, 1, 1, 0, 2},
      {"caller_gave_up_error_to_ata", {{0, Say::kClip}, {200, Say::kErrorToAta}, {200, Say::kErrorToAth}}, 1, 1, 1, 0},
  };
}

void PrintTo(const RingCase& c, std::ostream* os) { *os << c.name; }

class RingingCall : public ::testing::TestWithParam<RingCase> {};

// The dispatcher runs between the steps as in the program, so each command
// of the call really goes out and is answered in turn.
TEST_P(RingingCall, OneCallOneEvent) {
  const RingCase& c = GetParam();
  FakeHost host;
  host.connected = true;
  ManualClock clock;
  Dialogue d(host, clock, clock);
  d.ModemActive = true;
  size_t recoveries = 0;
  for (const auto& [after, say] : c.script) {
    clock.AdvanceMs(after);
    d.Timer3Timer();
    const bool hadReset = std::find(d.CommandQueue.begin(), d.CommandQueue.end(), "CFUN:AT+CFUN=1,1\r\n") !=
                          d.CommandQueue.end();
    switch (say) {
      case Say::kClip: Feed(d, "\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n"); break;
      case Say::kClipOther: Feed(d, "\r\nRING\r\n\r\n+CLIP: \"+79167654321\",145,,,,0\r\n"); break;
      case Say::kClipWithheld: Feed(d, "\r\nRING\r\n\r\n+CLIP: \"\",128,,,,1\r\n"); break;
      case Say::kOkToAta:
      case Say::kNoCarrierToAta:
      case Say::kErrorToAta:
        ASSERT_EQ(d.ReplyState, rsAnswer);
        Feed(d, say == Say::kOkToAta ? "\r\nOK\r\n" : say == Say::kErrorToAta ? "\r\nERROR\r\n" : "\r\nNO CARRIER\r\n");
        break;
      case Say::kErrorToAth:
        while (d.ReplyState != rsHangUp && !d.CommandQueue.empty()) {  // the recovery first, each answered
          Feed(d, "\r\nOK\r\n");
          d.Timer3Timer();
        }
        ASSERT_EQ(d.ReplyState, rsHangUp);
        Feed(d, "\r\nERROR\r\n");
        break;
    }
    const bool hasReset = std::find(d.CommandQueue.begin(), d.CommandQueue.end(), "CFUN:AT+CFUN=1,1\r\n") !=
                          d.CommandQueue.end();
    if (hasReset && !hadReset) ++recoveries;
  }
  EXPECT_EQ(host.events.size(), c.events);
  EXPECT_EQ(std::count(host.sent.begin(), host.sent.end(), "ATA\r\n") +
                std::count(d.CommandQueue.begin(), d.CommandQueue.end(), "ATA:ATA\r\n"),
            static_cast<long>(c.ataSent));
  EXPECT_EQ(recoveries, c.recoveries);
  const auto repeats = std::count_if(host.view.begin(), host.view.end(), [](const std::string& line) {
    return line.ends_with(ToCp1251(" (повтор)"));
  });
  EXPECT_EQ(static_cast<size_t>(repeats), c.repeatLines);
  // Every caller-identification line reaches the system log, repeats too.
  const auto clips = std::count_if(c.script.begin(), c.script.end(), [](const auto& step) {
    return step.second == Say::kClip || step.second == Say::kClipOther || step.second == Say::kClipWithheld;
  });
  const auto logged = std::count_if(host.systemLog.begin(), host.systemLog.end(),
                                    [](const std::string& line) { return line.find("+CLIP:") != std::string::npos; });
  EXPECT_EQ(logged, clips);
}

INSTANTIATE_TEST_SUITE_P(Calls, RingingCall, ::testing::ValuesIn(RingCases()),
                         [](const auto& row) { return std::string(row.param.name); });

// No tone can be sent on a call that is not up: only the hang-up is left.
TEST(RingingCall, UnansweredCallIsHungUpWithoutTheTone) {
  FakeHost host;
  ManualClock clock;
  Dialogue d(host, clock, clock);
  d.ModemActive = true;
  Feed(d, "\r\n+CLIP: \"123\",129\r\n");
  d.Timer3Timer();
  ASSERT_EQ(host.sent.back(), "ATA\r\n");
  Feed(d, "\r\nNO CARRIER\r\n");
  EXPECT_EQ(d.CommandQueue, std::deque<std::string>{"ATH:ATH\r\n"});
}

// Lines the modem families send on their own, between calls and in the
// middle of one; none is a call, none ends the wait for a reply, and the
// call among them is answered as usual.
TEST(UnsolicitedLines, NeverACallNeverAReply) {
  const std::vector<std::string> lines{
      "^RSSI:25",       "^MODE:5,4",   "^SRVST:2",  "^SIMST:1", "^DSFLOWRPT:00000010,00000000,00000000",
      "^BOOT:37673864,0,0,0,77",       "^CEND:1,0,104,16",     "RDY",      "+CFUN: 1",
      "+CPIN: READY",   "Call Ready",  "SMS Ready", "UNDER-VOLTAGE WARNNING", "+CMTI: \"SM\",3",
      "+CREG: 1",       "RING",        "+CRING: VOICE",
  };
  FakeHost host;
  host.connected = true;
  ManualClock clock;
  Dialogue d(host, clock, clock);
  d.ModemActive = true;
  d.CommandQueue = {"CGMM:AT+CGMM\r"};
  d.Timer3Timer();
  ASSERT_TRUE(d.AwaitingReply);
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    Feed(d, "\r\n" + line + "\r\n");
    EXPECT_TRUE(d.AwaitingReply);
  }
  EXPECT_TRUE(host.view.empty());
  EXPECT_TRUE(host.events.empty());
  EXPECT_TRUE(d.CommandQueue.empty()) << "no recovery, nothing answered";

  Feed(d, "\r\nGSM-1\r\n\r\nOK\r\n");
  EXPECT_EQ(host.view, std::vector<std::string>{ToCp1251("Модель: ") + "GSM-1"});
  Feed(d, "\r\n^RSSI:25\r\n\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n\r\n^MODE:5,4\r\n");
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(CallEvent::Decode(host.events[0]).PhoneNumber, 9161234567);
  EXPECT_EQ(d.CommandQueue, kAnswer);
}

// A long report cut anywhere, by a full packet or a pause, is still a
// report in both its pieces: the answer to ATA is still awaited, and read
// as such when it comes.
TEST(UnsolicitedLines, CutReportIsNoReply) {
  const std::string report = "\r\n^DSFLOWRPT:00000010,00000000,00000000,0000000000000000,0000000000000000\r\n";
  for (size_t cut = 1; cut < report.size(); ++cut) {
    SCOPED_TRACE(cut);
    FakeHost host;
    host.connected = true;
    ManualClock clock;
    Dialogue d(host, clock, clock);
    d.ModemActive = true;
    Feed(d, "\r\n+CLIP: \"123\",129\r\n");
    d.Timer3Timer();
    ASSERT_EQ(d.ReplyState, rsAnswer);
    Feed(d, report.substr(0, cut));
    Feed(d, report.substr(cut));
    EXPECT_TRUE(d.AwaitingReply);
    Feed(d, "\r\nOK\r\n");
    EXPECT_EQ(d.CommandQueue, (std::deque<std::string>{"ATV1:AT+VTS=1\r\n", "ATH:ATH\r\n"}));
  }
}

// The reply limit is ten seconds of the monotonic clock: a step of the wall
// clock (an NTP correction, an operator) neither stretches nor cuts it, and
// the event still carries the wall time.
TEST(ReplyLimit, WallClockStepsDoNotMoveIt) {
  for (const double step : {-3600000.0, 3600000.0}) {
    SCOPED_TRACE(step);
    FakeHost host;
    host.connected = true;
    ManualClock clock;
    Dialogue d(host, clock, clock);
    d.ModemActive = true;
    d.CommandQueue = {"CGMI:AT+CGMI\r", "CGMM:AT+CGMM\r"};
    d.Timer3Timer();
    clock.StepWallMs(step);
    clock.AdvanceMs(9950);
    d.Timer3Timer();
    EXPECT_EQ(host.sent.size(), 1u);
    clock.AdvanceMs(100);
    d.Timer3Timer();
    ASSERT_EQ(host.sent.size(), 2u);

    Feed(d, "\r\n+CLIP: \"123\",129\r\n");
    ASSERT_EQ(host.events.size(), 1u);
    EXPECT_EQ(CallEvent::Decode(host.events[0]).EventTime, clock.now);
  }
}

}  // namespace
}  // namespace modem
