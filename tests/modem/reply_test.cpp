#include <gtest/gtest.h>

#include <deque>

#include "common/cp1251.h"
#include "fakes.h"

namespace modem {
namespace {

using common::ToCp1251;
using testsupport::ManualClock;
using testing::FakeHost;
using testing::Feed;

const std::deque<std::string> kRecoveryEntries{
    "CFUN:AT+CFUN=1,1\r\n", "AT:AT\r\n",         "ATZ:ATZ\r\n",        "ATE:ATE0\r\n",
    "CMEE:AT+CMEE=1\r\n",   "CGMI:AT+CGMI\r\n", "CGMM:AT+CGMM\r\n",   "CPMS:AT+CPMS?\r\n",
    "CVHU:AT+CVHU=0\r\n",   "CLIP:AT+CLIP=1\r\n",
};
const std::deque<std::string> kAnswer{"ATA:ATA\r\n", "ATV1:AT+VTS=1\r\n", "ATH:ATH\r\n"};
const std::string kQueued = "CLIP:AT+CLIP=1\r";

enum class Queued { kUnchanged, kRecovery, kCall };

struct ReplyCase {
  const char* name;
  int32_t state;
  std::string block;
  std::vector<std::string> view;
  std::vector<std::string> systemLog;
  Queued queued = Queued::kUnchanged;
  bool endsWait = true;
};

std::string Manufacturer(const std::string& m) { return ToCp1251("Производитель: ") + m; }
std::string Model(const std::string& m) { return ToCp1251("Модель: ") + m; }

std::vector<ReplyCase> Cases() {
  // A final result that answers a command but none of the ones read here.
  const std::string other = "\r\nNO CARRIER\r\n";
  const std::string ring = "\r\nRING\r\n";
  return {
      {"ok_under_0", rsCommand, "\r\nOK\r\n", {"OK"}, {}},
      {"ok_inside_a_word", rsCommand, "\r\nBOOKED\r\n", {"OK"}, {}},
      {"nothing_under_0", rsCommand, other, {}, {}},
      {"echo_off", rsEcho, "ATE0\r\r\nOK\r\n", {ToCp1251("режим эхо выключен")}, {}},
      {"echo_on", rsEcho, other, {ToCp1251("режим эхо включен")}, {}},
      {"manufacturer", rsManufacturer, "\r\nACME\r\n\r\nOK\r\n", {Manufacturer("ACME")}, {"<!ACME"}},
      {"manufacturer_after_echo", rsManufacturer, "AT+CGMI\r\r\nACME\r\n\r\nOK\r\n", {Manufacturer("ACME")}, {"<!ACME"}},
      // The first character after the line feed is always taken.
      {"manufacturer_without_line", rsManufacturer, "\r\n\r\nOK\r\n", {Manufacturer("\r\nOK")}, {"<!\r\nOK"}},
      {"manufacturer_without_cr", rsManufacturer, "\nACME OK", {Manufacturer("ACME OK")}, {"<!ACME OK"}},
      {"manufacturer_unknown", rsManufacturer, other, {ToCp1251("Производитель: не удалось определить")}, {}},
      {"model", rsModel, "\r\nM55\r\n\r\nOK\r\n", {Model("M55")}, {"<!M55"}},
      {"model_unknown_logs_the_last_one", rsModel, other, {ToCp1251("Модель: не удалось определить")}, {"<!OLD"}},
      {"silent_under_5", rsStorage, "\r\n+CPMS: \"SM\",0,20\r\n\r\nOK\r\n", {}, {}},
      {"nothing_under_5", rsStorage, other, {}, {}},
      {"silent_under_70", rsAnswer, other, {}, {}},
      {"silent_under_71", rsTone, other, {}, {}},
      {"silent_under_74", rsHangUp, other, {}, {}},
      {"silent_under_77", rsCallerId, other, {}, {}},
      {"silent_under_75", rsVoiceHangUp, other, {}, {}},
      // A modem without AT+CVHU is no reason to restart it.
      {"cvhu_error_ignored", rsVoiceHangUp, "\r\nERROR\r\n", {}, {}},
      // Unsolicited lines answer no command: nothing is read from them
      // and the reply is still awaited.
      {"ring_under_1", rsEcho, ring, {}, {}, Queued::kUnchanged, false},
      {"ring_under_2", rsManufacturer, ring, {}, {}, Queued::kUnchanged, false},
      {"ring_under_3", rsModel, ring, {}, {}, Queued::kUnchanged, false},
      {"signal_report_under_2", rsManufacturer, "\r\n^RSSI:25\r\n", {}, {}, Queued::kUnchanged, false},
      {"restart_greetings_under_0", rsCommand, "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\nCall Ready\r\n\r\nSMS Ready\r\n",
       {}, {}, Queued::kUnchanged, false},
      {"message_notice_under_1", rsEcho, "\r\n+CMTI: \"SM\",3\r\n", {}, {}, Queued::kUnchanged, false},
      // Mixed with a reply, they are left out of its reading.
      {"manufacturer_after_a_signal_report", rsManufacturer, "\r\n^RSSI:25\r\n\r\nACME\r\n\r\nOK\r\n",
       {Manufacturer("ACME")}, {"<!ACME"}},
      // With the echo on, the re-arm command comes back; it is no call.
      {"echoed_clip_command", rsCommand, "AT+CLIP=1\r\r\nOK\r\n", {"OK"}, {}},
      {"echoed_clip_command_with_error", rsCallerId, "AT+CLIP=1\r\r\nERROR\r\n", {}, {}, Queued::kRecovery},
      {"error", rsCommand, "\r\nERROR\r\n", {}, {}, Queued::kRecovery},
      {"cme_error", rsManufacturer, "\r\n+CME ERROR: 100\r\n", {}, {}, Queued::kRecovery},
      // A restart does not bring a SIM's PIN: no recovery for these.
      {"sim_pin_required", rsStorage, "\r\n+CME ERROR: 11\r\n", {}, {}},
      {"sim_not_inserted", rsCallerId, "\r\n+CME ERROR: 10\r\n", {}, {}},
      {"sim_puk_as_message_error", rsStorage, "\r\n+CMS ERROR: 316\r\n", {}, {}},
      // Optional commands and the health queries never restart the modem.
      {"error_format_unknown", rsErrorFormat, "\r\nERROR\r\n", {}, {}},
      {"sim_query_error", rsSim, "\r\nERROR\r\n", {}, {}},
      {"network_query_error", rsNetwork, "\r\n+CME ERROR: 3\r\n", {}, {}},
      {"signal_query_error", rsSignal, "\r\nERROR\r\n", {}, {}},
      {"call_with_error", rsCommand, "\r\n+CLIP: \"123\",129\r\nERROR\r\n",
       {ToCp1251("Входящий звонок - ") + "123"}, {"<!\r\n+CLIP: \"123\",129\r\nERROR\r\n"}, Queued::kCall},
  };
}

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ReplyHandling : public testing::DialogueTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyHandling, InterpretsTheBlockUnderTheCurrentState) {
  const ReplyCase& c = GetParam();
  host.connected = true;
  d.ReplyState = c.state;
  d.AwaitingReply = true;
  d.ModemModel = "OLD";
  d.ModemManufacturer = "OLD";
  d.CommandQueue = {kQueued};

  Feed(d, c.block);

  EXPECT_EQ(host.view, c.view);
  EXPECT_EQ(host.systemLog, c.systemLog);
  EXPECT_EQ(host.operatorLog, std::vector<std::string>{"<" + c.block});
  EXPECT_EQ(d.AwaitingReply, !c.endsWait);
  EXPECT_EQ(d.ReplyState, c.state);
  EXPECT_EQ(d.ModemActive, c.block.find("OK") != std::string::npos);

  std::deque<std::string> queue{kQueued};
  if (c.queued == Queued::kRecovery) queue.insert(queue.begin(), kRecoveryEntries.begin(), kRecoveryEntries.end());
  if (c.queued == Queued::kCall) queue.insert(queue.begin(), kAnswer.begin(), kAnswer.end());
  EXPECT_EQ(d.CommandQueue, queue);
  EXPECT_EQ(host.events.size(), c.queued == Queued::kCall ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Blocks, ReplyHandling, ::testing::ValuesIn(Cases()),
                         [](const auto& row) { return std::string(row.param.name); });

class ReplyHandlingTest : public testing::DialogueTest {};

TEST_F(ReplyHandlingTest, KeepsTheIdentityThatWasRead) {
  d.ReplyState = rsManufacturer;
  Feed(d, "\r\nACME\r\n\r\nOK\r\n");
  EXPECT_EQ(d.ModemManufacturer, "ACME");
  Feed(d, "\r\nNO CARRIER\r\n");
  EXPECT_EQ(d.ModemManufacturer, "");
  d.ReplyState = rsModel;
  Feed(d, "\r\nM55\r\n\r\nOK\r\n");
  EXPECT_EQ(d.ModemModel, "M55");
  Feed(d, "\r\nNO CARRIER\r\n");
  EXPECT_EQ(d.ModemModel, "M55");
}

TEST_F(ReplyHandlingTest, TextIsTheFirst255BytesZerosIncluded) {
  std::string block(256, 'x');
  block[3] = '\0';
  block[255] = 'Z';
  Feed(d, block);
  ASSERT_EQ(host.operatorLog.size(), 1u);
  EXPECT_EQ(host.operatorLog[0], "<" + block.substr(0, 255));

  d.SerialPort1ReceivePacket(nullptr, 10);
  EXPECT_EQ(host.operatorLog.back(), "<");
}

TEST_F(ReplyHandlingTest, PacketCounterCyclesFromOneToSixteen) {
  std::vector<int32_t> seen;
  for (int i = 0; i < 18; ++i) {
    Feed(d, "x");
    seen.push_back(d.PacketCounter);
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 1, 2}));
  EXPECT_EQ(host.indicatorDraws, 18);
}

TEST_F(ReplyHandlingTest, ReplySplitOverTwoBlocksIsReadUnderTheNextState) {
  d.ModemActive = true;
  d.CommandQueue = {"CGMI:AT+CGMI\r", "CGMM:AT+CGMM\r"};
  d.Timer3Timer();
  Feed(d, "\r\nACME");
  EXPECT_FALSE(d.AwaitingReply);
  d.Timer3Timer();
  EXPECT_EQ(host.sent.back(), "AT+CGMM\r");
  Feed(d, "\r\n\r\nOK\r\n");
  EXPECT_EQ(host.view, (std::vector<std::string>{ToCp1251("Производитель: не удалось определить"), Model("\r\nOK")}));
}

TEST_F(ReplyHandlingTest, LateReplyIsReadUnderTheCommandSentLast) {
  d.ModemActive = true;
  d.CommandQueue = {"CGMI:AT+CGMI\r", "CGMM:AT+CGMM\r"};
  d.Timer3Timer();
  clock.AdvanceMs(10050);
  d.Timer3Timer();
  ASSERT_EQ(host.sent.back(), "AT+CGMM\r");
  Feed(d, "\r\nACME\r\n\r\nOK\r\n");
  EXPECT_EQ(host.view, std::vector<std::string>{Model("ACME")});
  EXPECT_EQ(d.ModemManufacturer, "");
}

TEST_F(ReplyHandlingTest, ErrorDuringACallResetsBeforeTheHangUp) {
  d.ModemActive = true;
  d.CommandQueue = kAnswer;
  d.Timer3Timer();
  Feed(d, "\r\nOK\r\n");
  d.Timer3Timer();
  EXPECT_EQ(d.ReplyState, rsTone);
  Feed(d, "\r\nERROR\r\n");
  std::deque<std::string> expected = kRecoveryEntries;
  expected.push_back("ATH:ATH\r\n");
  EXPECT_EQ(d.CommandQueue, expected);
}

TEST_F(ReplyHandlingTest, ModemThatAlwaysFailsKeepsTheQueueBounded) {
  d.StartDialogue();
  d.CommandQueue.push_back("ATH:ATH\r\n");
  std::vector<size_t> sizes;
  for (int i = 0; i < 40; ++i) {
    d.Timer3Timer();
    Feed(d, "\r\nERROR\r\n");
    if (i % 10 == 9) d.Timer1Timer();
    sizes.push_back(d.CommandQueue.size());
  }
  // Recovery, then the rest of the start-up entries in their CR form and
  // the health queries (whose entries keep the timer from adding more), and
  // the hang-up.
  EXPECT_EQ(sizes, std::vector<size_t>(sizes.size(), kRecoveryEntries.size() + 7 + 3 + 1));
  EXPECT_EQ(d.CommandQueue.front(), kRecoveryEntries.front());
  EXPECT_EQ(std::count(d.CommandQueue.begin(), d.CommandQueue.end(), "ATH:ATH\r\n"), 1);
  EXPECT_EQ(host.sent.size(), 40u);
}

// Whatever a host call does, the later stages run and the wait ends.
TEST_F(ReplyHandlingTest, FailingHostCallsLoseNothing) {
  host.indicatorThrows = true;
  host.operatorLogFailure = FakeHost::Failure::kThrows;
  host.systemLogFailure = FakeHost::Failure::kThrows;
  d.AwaitingReply = true;
  d.ReplyState = rsManufacturer;
  Feed(d, "\r\nACME\r\n\r\nOK\r\n");
  EXPECT_EQ(d.PacketCounter, 1);
  EXPECT_TRUE(d.ModemActive);
  EXPECT_EQ(d.ModemManufacturer, "ACME");
  EXPECT_EQ(host.view, std::vector<std::string>{Manufacturer("ACME")});
  EXPECT_FALSE(d.AwaitingReply);

  Feed(d, "\r\nERROR\r\n");
  EXPECT_EQ(d.CommandQueue, kRecoveryEntries);
}

}  // namespace
}  // namespace modem
