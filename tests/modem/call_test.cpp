#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <iterator>

#include "common/cp1251.h"
#include "fakes.h"
#include "modem/spool.h"
#include "tests/support/call_events.h"

namespace modem {
namespace {

using common::ToCp1251;
using testsupport::ManualClock;
using testing::FakeHost;
using testing::Feed;
using testsupport::TempDir;

const std::deque<std::string> kAnswer{"ATA:ATA\r\n", "ATV1:AT+VTS=1\r\n", "ATH:ATH\r\n"};

struct CallCase {
  const char* name;
  std::string block;
  int32_t numberS;
  std::string numberText;
  int64_t phone;
};

std::vector<CallCase> Cases() {
  const std::string ring = "\r\nRING\r\n\r\n";
  return {
      {"plus_and_eleven_digits", ring + "+CLIP: \"+79161234567\",145,,,,0\r\n", 0, "9161234567", 9161234567},
      {"prefix_8", ring + "+CLIP: \"+79161234567\",145,,,,0\r\n", 8, "9161234567", 89161234567},
      {"leading_zero_lost_before_prefix", "\r\n+CLIP: \"0123456789\",129\r\n", 8, "0123456789", 8123456789},
      {"withheld", "\r\n+CLIP: \"\",128,,,,1\r\n", 0, "", 0},
      {"withheld_with_prefix", "\r\n+CLIP: \"\",128,,,,1\r\n", 8, "", 80},
      {"unquoted", "\r\n+CLIP:82882690,129,,,,0\r\n", 0, "82882690", 82882690},
      {"unquoted_with_blank_and_line_end", "\r\n+CLIP: 8288 2690\r\n", 8, "82882690", 882882690},
      {"ctrl_z_removed", "\r\n+CLIP: \"12\x1a" "34\",129\r\n", 0, "1234", 1234},
      {"not_a_number", "\r\n+CLIP: \"Office\",129\r\n", 8, "Office", 80},
      {"prefix_overflows_64_bits", "\r\n+CLIP: \"9161234567\",129\r\n", 2147483647, "9161234567", 0},
      {"negative_number", "\r\n+CLIP: \"-42\",129\r\n", 0, "-42", -42},
      {"negative_number_with_prefix", "\r\n+CLIP: \"-42\",129\r\n", 8, "-42", 0},
  };
}

void PrintTo(const CallCase& c, std::ostream* os) { *os << c.name; }

class CallHandling : public testing::DialogueTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(CallHandling, AnswersShowsAndDeliversOneEvent) {
  const CallCase& c = GetParam();
  host.connected = true;
  host.settings = {"0042", c.numberS, "/nonexistent/"};
  d.ReplyState = rsCallerId;
  d.CommandQueue = {"CLIP:AT+CLIP=1\r"};

  Feed(d, c.block);

  EXPECT_EQ(host.systemLog, std::vector<std::string>{"<!" + c.block});
  EXPECT_EQ(ExtractNumberText(c.block), c.numberText);
  std::deque<std::string> queue = kAnswer;
  queue.push_back("CLIP:AT+CLIP=1\r");
  EXPECT_EQ(d.CommandQueue, queue);
  EXPECT_EQ(host.view, std::vector<std::string>{ToCp1251("Входящий звонок - ") + c.numberText});
  ASSERT_EQ(host.events.size(), 1u);
  const CallEvent event = CallEvent::Decode(host.events[0]);
  EXPECT_EQ(event.PhoneNumber, c.phone);
  EXPECT_EQ(event.ObjectCode, "0042");
  EXPECT_EQ(event.EventTime, clock.now);
}

INSTANTIATE_TEST_SUITE_P(Blocks, CallHandling, ::testing::ValuesIn(Cases()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(CallEvent, LaysOutTwentyOneLittleEndianBytes) {
  CallEvent event;
  event.PhoneNumber = 89161234567;  // 0x14_C26C_7887
  event.ObjectCode = "AB";
  event.EventTime = 45366.5;  // 0x40E6_26D0_0000_0000
  const CallEventBytes expected{0x87, 0x78, 0x6C, 0xC2, 0x14, 0x00, 0x00, 0x00, 2,    'A',  'B',
                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD0, 0x26, 0xE6, 0x40};
  EXPECT_EQ(event.Encode(), expected);

  const CallEvent back = CallEvent::Decode(expected);
  EXPECT_EQ(back.PhoneNumber, event.PhoneNumber);
  EXPECT_EQ(back.ObjectCode, "AB");
  EXPECT_EQ(back.EventTime, event.EventTime);
}

TEST(CallEvent, ObjectCodeKeepsAtMostFourBytes) {
  struct Case {
    const char* name;
    std::string code;
    uint8_t length;
    std::array<uint8_t, 4> bytes;
  };
  for (const Case& c : {
           Case{"four", "1234", 4, {'1', '2', '3', '4'}},
           Case{"two", "12", 2, {'1', '2', 0, 0}},
           Case{"six", "123456", 4, {'1', '2', '3', '4'}},
           Case{"empty", "", 0, {0, 0, 0, 0}},
           Case{"cyrillic", ToCp1251("Объект"), 4, {0xCE, 0xE1, 0xFA, 0xE5}},
       }) {
    SCOPED_TRACE(c.name);
    CallEvent event;
    event.ObjectCode = c.code;
    const CallEventBytes bytes = event.Encode();
    EXPECT_EQ(bytes[8], c.length);
    EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), bytes.begin() + 9));
  }
  CallEventBytes hostile{};
  hostile[8] = 200;
  EXPECT_EQ(CallEvent::Decode(hostile).ObjectCode.size(), 4u);
}

// The delivery road for each state of the link; a call is never lost and
// never delivered twice.
TEST(CallDelivery, ConnectedSendsOtherwiseSpoolsExactlyOnce) {
  struct Case {
    const char* name;
    bool connected;
    FakeHost::Failure link;
    size_t frames;
    size_t files;
  };
  for (const Case& c : {
           Case{"connected", true, FakeHost::Failure::kNone, 1, 0},
           Case{"disconnected", false, FakeHost::Failure::kNone, 0, 1},
           Case{"link_queue_full", true, FakeHost::Failure::kReturnsFalse, 0, 1},
           Case{"link_throws", true, FakeHost::Failure::kThrows, 0, 1},
       }) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FakeHost host;
    host.connected = c.connected;
    host.linkFailure = c.link;
    host.settings = {"0042", 0, dir.Dir()};
    ManualClock clock;
    Dialogue d(host, clock, clock);
    Feed(d, "\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n");

    EXPECT_EQ(host.events.size(), c.frames);
    const std::vector<std::string> files = dir.Files();
    ASSERT_EQ(files.size(), c.files);
    if (c.files == 0) continue;
    EXPECT_EQ(files[0], "4FEEB983.dd8");
    const auto stored = testsupport::ReadSpoolFile(dir.File(files[0]));
    ASSERT_TRUE(stored) << "not a 25-byte spool file";
    EXPECT_EQ(stored->PhoneNumber, 9161234567);
    EXPECT_EQ(stored->EventTime, clock.now);
  }
}

TEST(CallDelivery, FailingSystemLogLosesNoCall) {
  for (FakeHost::Failure failure : {FakeHost::Failure::kReturnsFalse, FakeHost::Failure::kThrows}) {
    FakeHost host;
    host.connected = true;
    host.systemLogFailure = failure;
    ManualClock clock;
    Dialogue d(host, clock, clock);
    d.AwaitingReply = true;
    Feed(d, "\r\n+CLIP: \"123\",129\r\n");
    EXPECT_EQ(d.CommandQueue, kAnswer);
    EXPECT_EQ(host.view.size(), 1u);
    EXPECT_EQ(host.events.size(), 1u);
    EXPECT_FALSE(d.AwaitingReply);
  }
}

class CallDeliveryTest : public testing::DialogueTest {};

TEST_F(CallDeliveryTest, SpoolFailureIsShownAndLogged) {
  TempDir dir;
  std::ofstream(dir.File("plain")).put('x');
  host.settings = {"0042", 0, dir.Dir() + "plain/"};
  Feed(d, "\r\n+CLIP: \"123\",129\r\n");

  const std::string line = ToCp1251("Не удалось записать событие в файл ") + dir.Dir() + "plain/4FEEB983.dd8";
  EXPECT_EQ(host.view, (std::vector<std::string>{ToCp1251("Входящий звонок - ") + "123", line}));
  EXPECT_EQ(host.systemLog.back(), line);
  EXPECT_EQ(d.CommandQueue, kAnswer);
  // Nowhere to write it and no server: it waits in the link's queue.
  EXPECT_EQ(host.events.size(), 1u);
}

}  // namespace
}  // namespace modem
