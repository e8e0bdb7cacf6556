// The packet rule alone: bytes fed to the assembler and a tick moved by
// hand, no device.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "serial/packet_assembler.h"
#include "tests/support/pty_pair.h"

namespace serialtest {
namespace {

using serial::PacketAssembler;
using serial::PacketRules;
using serial::pmDiscard;
using serial::pmPass;
using serial::TPacketMode;
using testsupport::PositionBytes;

// The main window's rule at 9600 bit/s, where 256 bytes take 267 ms on
// the line, polled every 5 ms.
PacketRules WindowRules(int32_t timeout = 200, TPacketMode mode = pmPass) {
  PacketRules rules;
  rules.Size = 256;
  rules.Timeout = timeout;
  rules.Mode = mode;
  rules.LineTimeMs = 267;
  rules.SightingMs = 5;
  return rules;
}

// Feeds a stream of position bytes and records what comes out.
class Stream {
 public:
  explicit Stream(uint32_t capacity = 2048) : assembler(capacity) {}

  // `count` more bytes are read at `now`: fed as the driver reads them,
  // stepped once, or again whenever the buffer is full.
  void ReadAt(uint32_t now, std::size_t count, const PacketRules& rules) {
    const std::string read = PositionBytes(sent, count);
    sent += count;
    std::string_view left = read;
    do {
      left.remove_prefix(assembler.Feed({reinterpret_cast<const uint8_t*>(left.data()), left.size()}));
      StepAt(now, rules);
    } while (!left.empty());
  }

  void StepAt(uint32_t now, const PacketRules& rules) {
    assembler.Step(now, rules);
    while (const auto packet = assembler.Take()) {
      sizes.push_back(packet->Size);
      bytes.append(reinterpret_cast<const char*>(packet->Data), packet->Size);
    }
  }

  PacketAssembler assembler;
  std::size_t sent = 0;
  std::vector<uint32_t> sizes;
  std::string bytes;
};

// At each step `arrive` bytes are read at `at` (none: time passes);
// `delivered` are the packet sizes that moment hands over.
struct Step {
  uint32_t at;
  std::size_t arrive;
  std::vector<uint32_t> delivered;
  std::optional<int64_t> startAfter = std::nullopt;  // PacketStart after the step
  std::optional<uint32_t> dueAfter = std::nullopt;   // NextDue after the step
};

struct PacketCase {
  const char* name;
  int32_t timeout;
  TPacketMode mode;
  std::vector<Step> steps;
};

// Failures name the row instead of dumping its bytes.
void PrintTo(const PacketCase& row, std::ostream* os) { *os << row.name; }

constexpr uint32_t kNearWrap = std::numeric_limits<uint32_t>::max() - 99;  // 100 ms before the wrap

const PacketCase kPacketCases[] = {
    {"TenBytesOnceJustAfter200ms", 200, pmPass,
     {{0, 10, {}, 0, 201}, {100, 0, {}}, {200, 0, {}}, {201, 0, {10}, -1}, {500, 0, {}}}},
    {"TrickleWithin150msIsOnePacket", 200, pmPass,
     {{0, 3, {}, 0}, {50, 3, {}, 0, 201}, {100, 3, {}}, {150, 3, {}}, {201, 0, {12}, -1}}},
    {"TrickleBeyond200msIsSplitAtTheFlushTick", 200, pmPass,
     {{0, 3, {}}, {100, 3, {}}, {201, 3, {9}, -1}, {250, 3, {}, 250, 451}, {450, 0, {}}, {451, 0, {3}}}},
    {"Exactly256IsOnePacket", 200, pmPass, {{0, 256, {256}, -1}, {1000, 0, {}}}},
    {"512AreTwoPacketsAtOnce", 200, pmPass, {{0, 512, {256, 256}, -1}}},
    // The remainder of a burst that is already long is timed from its sight.
    {"300Are256NowAnd44Later", 200, pmPass, {{0, 300, {256}, 0, 201}, {200, 0, {}}, {201, 0, {44}, -1}}},
    // A running start moves on by the line time of the packet (267 ms),
    // which puts it ahead of now; that is not a timed-out partial packet.
    {"FullPacketAfterPartialMovesStartByLineTime", 200, pmPass,
     {{0, 100, {}, 0}, {50, 200, {256}, 267, 468}, {60, 0, {}}, {467, 0, {}}, {468, 0, {44}, -1}}},
    // Read in two pieces within one poll period: one sight, as one poll of
    // the line would have found them, so no start is running yet.
    {"PiecesWithinOnePollAreOneSight", 200, pmPass, {{0, 100, {}, 0}, {4, 200, {256}, 0, 201}, {201, 0, {44}, -1}}},
    // 257 bytes a poll for 64 polls, faster than the line rate: the start
    // never runs more than one line time ahead, so the rest is not held
    // back for seconds.
    {"StartEstimateIsBoundedToOneLineTime", 200, pmPass,
     {{0, 257, {256}, 0}, {5, 257, {256}, 267}, {10, 257, {256}, 277}, {15, 0, {}, 277, 478}}},
    {"NoTimeoutHoldsPartialUntilFull", -1, pmPass,
     {{0, 100, {}}, {100000, 0, {}}, {100001, 156, {256}, -1}}},
    {"DiscardDropsTimedOutPartial", 200, pmDiscard, {{0, 10, {}}, {201, 0, {}, -1}, {1000, 0, {}}}},
    {"DiscardStillDeliversFullPackets", 200, pmDiscard, {{0, 260, {256}}, {201, 0, {}, -1}}},
    {"ElapsedTimeSurvivesTheWrap", 200, pmPass,
     {{kNearWrap, 10, {}, kNearWrap, 101}, {100, 0, {}}, {101, 0, {10}, -1}}},
};

class PacketTest : public ::testing::TestWithParam<PacketCase> {};

TEST_P(PacketTest, DeliversAsScripted) {
  const PacketCase& c = GetParam();
  const PacketRules rules = WindowRules(c.timeout, c.mode);
  Stream stream;
  std::size_t deliveredSoFar = 0;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + " at " + std::to_string(step.at));
    if (step.arrive > 0) {
      stream.ReadAt(step.at, step.arrive, rules);
    } else {
      stream.StepAt(step.at, rules);
    }
    const std::vector<uint32_t> stepSizes(stream.sizes.begin() + static_cast<std::ptrdiff_t>(deliveredSoFar),
                                          stream.sizes.end());
    EXPECT_EQ(stepSizes, step.delivered);
    deliveredSoFar = stream.sizes.size();
    if (step.startAfter) {
      EXPECT_EQ(stream.assembler.PacketStart(), *step.startAfter);
    }
    if (step.dueAfter) {
      EXPECT_EQ(stream.assembler.NextDue(step.at, rules), step.dueAfter);
    }
  }
  // Whatever was delivered came in order, nothing doubled or lost between.
  EXPECT_EQ(stream.bytes, PositionBytes(0, stream.bytes.size()));
  if (c.mode == pmDiscard) {
    EXPECT_EQ(stream.assembler.Held(), 0u) << "dropped bytes must not stay held";
  }
}

INSTANTIATE_TEST_SUITE_P(Packets, PacketTest, ::testing::ValuesIn(kPacketCases),
                         [](const auto& row) { return std::string(row.param.name); });

// 3000 bytes waiting at once do not fit a 1000-byte buffer: what is cut to
// make room and what is read after it are still one sight, so the rest is
// not held back by the line time of the packets before it.
TEST(PacketAssembler, BurstLargerThanTheBufferIsOneSight) {
  const PacketRules rules = WindowRules();
  Stream stream(1000);
  stream.ReadAt(0, 3000, rules);
  EXPECT_EQ(stream.sizes, std::vector<uint32_t>(11, 256));
  EXPECT_EQ(stream.assembler.PacketStart(), 0);
  stream.StepAt(201, rules);
  EXPECT_EQ(stream.sizes.back(), 184u);
  EXPECT_EQ(stream.bytes, PositionBytes(0, 3000));
}

// Raw delivery passes on what was read, never more than the buffer holds.
TEST(PacketAssembler, RawHandsOnEachReadUpToItsCapacity) {
  PacketRules raw;
  Stream stream(128);
  stream.ReadAt(0, 300, raw);
  EXPECT_EQ(stream.sizes, (std::vector<uint32_t>{128, 128, 44}));
  EXPECT_EQ(stream.bytes, PositionBytes(0, 300));
  EXPECT_EQ(stream.assembler.NextDue(0, raw), std::nullopt);
  EXPECT_EQ(stream.assembler.PacketStart(), -1);
}

// When to ask again with no byte coming: never while nothing waits or no
// time-out is set; at once for bytes not yet stepped.
TEST(PacketAssembler, NextDueNamesTheFlushOrNothing) {
  const PacketRules rules = WindowRules();
  PacketAssembler assembler(2048);
  EXPECT_EQ(assembler.NextDue(7, rules), std::nullopt) << "nothing held";
  const std::string bytes = PositionBytes(0, 10);
  assembler.Feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  EXPECT_EQ(assembler.NextDue(7, rules), 7u) << "read, not yet stepped";
  assembler.Step(7, rules);
  EXPECT_EQ(assembler.NextDue(8, rules), 208u);
  EXPECT_EQ(assembler.NextDue(8, WindowRules(-1)), std::nullopt) << "no time-out: only more bytes help";
  assembler.ForgetStart();
  EXPECT_EQ(assembler.Held(), 10u);
  EXPECT_EQ(assembler.NextDue(9, rules), 9u) << "a forgotten start is set again at the next step";
  assembler.Purge();
  EXPECT_EQ(assembler.Held(), 0u);
  EXPECT_EQ(assembler.NextDue(9, rules), std::nullopt);
}

// A packet not taken before the next step is gone: the bytes it pointed at
// belong to the buffer again.
TEST(PacketAssembler, UntakenPacketIsDroppedByTheNextStep) {
  const PacketRules rules = WindowRules();
  Stream stream;
  const std::string bytes = PositionBytes(0, 300);
  stream.assembler.Feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  stream.assembler.Step(0, rules);
  EXPECT_EQ(stream.assembler.Held(), 44u);
  stream.StepAt(201, rules);
  EXPECT_EQ(stream.sizes, std::vector<uint32_t>{44});
  EXPECT_EQ(stream.bytes, PositionBytes(256, 44));
}

}  // namespace
}  // namespace serialtest
