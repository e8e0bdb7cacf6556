#include <limits>
#include <optional>
#include <ostream>

#include "tests/serial/driver_fixture.h"

namespace serialtest {
namespace {

using serial::pmDiscard;
using serial::pmPass;
using serial::TPacketMode;

// At each step the far end sends `arrive` bytes, the clock is set to `at`
// and one tick runs; `delivered` are the packet sizes that tick hands over.
struct Step {
  uint32_t at;
  std::size_t arrive;
  std::vector<uint32_t> delivered;
  std::optional<int64_t> startAfter = std::nullopt;  // PacketStart after the tick
};

struct PacketCase {
  const char* name;
  int32_t timeout;
  TPacketMode mode;
  bool handler;
  std::vector<Step> steps;
};

// Failures name the row instead of dumping its bytes.
void PrintTo(const PacketCase& row, std::ostream* os) { *os << row.name; }

constexpr uint32_t kNearWrap = std::numeric_limits<uint32_t>::max() - 99;  // 100 ms before the wrap

// PacketSize 256 at 9600 bit/s, where 256 bytes take 267 ms on the line.
const PacketCase kPacketCases[] = {
    {"TenBytesOnceJustAfter200ms", 200, pmPass, true,
     {{0, 10, {}, 0}, {100, 0, {}}, {200, 0, {}}, {201, 0, {10}, -1}, {500, 0, {}}}},
    {"TrickleWithin150msIsOnePacket", 200, pmPass, true,
     {{0, 3, {}, 0}, {50, 3, {}, 0}, {100, 3, {}}, {150, 3, {}}, {201, 0, {12}, -1}}},
    {"TrickleBeyond200msIsSplitAtTheFlushTick", 200, pmPass, true,
     {{0, 3, {}}, {100, 3, {}}, {201, 3, {9}, -1}, {250, 3, {}, 250}, {450, 0, {}}, {451, 0, {3}}}},
    {"Exactly256IsOnePacket", 200, pmPass, true, {{0, 256, {256}, -1}, {1000, 0, {}}}},
    {"512AreTwoPacketsInOneTick", 200, pmPass, true, {{0, 512, {256, 256}, -1}}},
    // The remainder of a burst that is already long is timed from its tick.
    {"300Are256NowAnd44Later", 200, pmPass, true,
     {{0, 300, {256}, 0}, {200, 0, {}}, {201, 0, {44}, -1}}},
    // A running start moves on by the line time of the packet (267 ms),
    // which puts it ahead of now; that is not a timed-out partial packet.
    {"FullPacketAfterPartialMovesStartByLineTime", 200, pmPass, true,
     {{0, 100, {}, 0}, {50, 200, {256}, 267}, {60, 0, {}}, {467, 0, {}}, {468, 0, {44}, -1}}},
    {"NoTimeoutHoldsPartialUntilFull", -1, pmPass, true,
     {{0, 100, {}}, {100000, 0, {}}, {100001, 156, {256}, -1}}},
    {"DiscardDropsTimedOutPartial", 200, pmDiscard, true, {{0, 10, {}}, {201, 0, {}, -1}, {1000, 0, {}}}},
    {"DiscardStillDeliversFullPackets", 200, pmDiscard, true, {{0, 260, {256}}, {201, 0, {}, -1}}},
    {"NoHandlerReadsAndLoses", 200, pmPass, false, {{0, 300, {}}, {201, 0, {}, -1}}},
    {"ElapsedTimeSurvivesTheWrap", 200, pmPass, true,
     {{kNearWrap, 10, {}, kNearWrap}, {100, 0, {}}, {101, 0, {10}, -1}}},
};

class PacketTest : public DriverTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(PacketTest, DeliversAsScripted) {
  const PacketCase& c = GetParam();
  UseWindowPacketSettings();
  driver_.SetBaudRateValue(9600);
  driver_.SetPacketTimeout(c.timeout);
  driver_.SetPacketMode(c.mode);
  if (c.handler) CapturePackets();
  ASSERT_TRUE(driver_.OpenPort());

  std::size_t deliveredSoFar = 0;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + " at " + std::to_string(step.at));
    if (step.arrive > 0) Arrive(step.arrive);
    TickAt(step.at);
    const std::vector<uint32_t> tickSizes(sizes_.begin() + static_cast<std::ptrdiff_t>(deliveredSoFar), sizes_.end());
    EXPECT_EQ(tickSizes, step.delivered);
    deliveredSoFar = sizes_.size();
    if (step.startAfter) {
      EXPECT_EQ(driver_.PacketStart(), *step.startAfter);
    }
  }
  // Whatever was delivered came in order, nothing doubled or lost between.
  EXPECT_EQ(bytes_, PositionBytes(0, bytes_.size()));
  if (c.mode == pmDiscard || !c.handler) {
    EXPECT_EQ(testsupport::PendingInput(driver_.Handle()), 0) << "dropped bytes must leave the queue";
  }
}

INSTANTIATE_TEST_SUITE_P(Packets, PacketTest, ::testing::ValuesIn(kPacketCases),
                         [](const auto& row) { return std::string(row.param.name); });

// Raw delivery reads what is waiting, but never more than the buffer holds.
TEST_F(DriverTest, RawModeReadsAtMostInBufSizePerTick) {
  std::vector<uint32_t> sizes;
  std::string bytes;
  driver_.OnReceiveData = [&](serial::TSerialPortDriver*, const uint8_t* data, uint32_t size) {
    sizes.push_back(size);
    bytes.append(reinterpret_cast<const char*>(data), size);
  };
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(3000);
  TickAt(0);
  TickAt(5);
  TickAt(10);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{2048, 952}));
  EXPECT_EQ(bytes, PositionBytes(0, 3000));
}

// The owner may close the port from inside a handler; the tick must stop
// reading at once instead of going on with a closed descriptor.
TEST_F(DriverTest, HandlerMayClosePortMidTick) {
  UseWindowPacketSettings();
  int calls = 0;
  driver_.OnReceivePacket = [&](serial::TSerialPortDriver* sender, const uint8_t*, uint32_t) {
    ++calls;
    sender->ClosePort();
  };
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(512);
  TickAt(0);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(driver_.IsOpen());
  TickAt(5);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace serialtest
