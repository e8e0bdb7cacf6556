#include <sys/resource.h>
#include <ostream>

#include <chrono>

#include "tests/serial/driver_fixture.h"

namespace serialtest {
namespace {

using namespace serial;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

long CpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000L;
}

long MsSince(steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// Fills the line until the far end would have to read before more fits.
void FillLine(int fd) {
  const std::string block(1024, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
}

TEST_F(DriverTest, SendTextOnClosedPort) {
  EXPECT_FALSE(driver_.SendText("AT\r"));
  EXPECT_TRUE(driver_.SendText(""));
  const uint8_t byte = 'A';
  EXPECT_EQ(driver_.SendBytes(&byte, 1), 0u);
}

TEST_F(DriverTest, SendTextWritesTheBytesAsTheyAre) {
  ASSERT_TRUE(driver_.OpenPort());
  const std::string text("AT+CLIP=1\r\n\0\xff", 13);
  EXPECT_TRUE(driver_.SendText(text));
  EXPECT_EQ(pty_.ReadMaster(text.size()), text);
}

TEST_F(DriverTest, LongTextGoesOutInRoomSizedWrites) {
  driver_.SetOutBufSize(128);
  ASSERT_TRUE(driver_.OpenPort());
  const std::string text = PositionBytes(0, 1000);
  EXPECT_TRUE(driver_.SendText(text));
  EXPECT_EQ(pty_.ReadMaster(text.size()), text);
}

// The far end stops reading: the send gives up after a little more than
// OutputTimeout of no progress, waiting inside poll rather than spinning.
TEST_F(DriverTest, StalledLineGivesUpAfterOutputTimeout) {
  common::MonotonicTicks realTicks;
  FakeTimer timer;
  FakeWatcher watcher;
  TSerialPortDriver driver(timer, watcher, realTicks);
  driver.SetPortName(pty_.SlavePath());
  driver.SetOutputTimeout(200);
  ASSERT_TRUE(driver.OpenPort());
  FillLine(driver.Handle());

  const auto start = steady_clock::now();
  const long cpuBefore = CpuMs();
  EXPECT_FALSE(driver.SendText("AT+VTS=1\r"));
  const long elapsed = MsSince(start);
  // Both clocks count whole milliseconds: the driver's "more than 200" can
  // be 200.1 ms of real time, which reads as 200 here.
  EXPECT_GE(elapsed, 200);
  EXPECT_LT(elapsed, 1500);
  EXPECT_LT(CpuMs() - cpuBefore, elapsed / 2) << "the wait must not spin";
}

// With no time allowed, one write attempt is made: it waits for room for
// about 10 ms, neither returning at once nor blocking on the full line.
TEST_F(DriverTest, EachWriteWaitsAboutTenMs) {
  common::MonotonicTicks realTicks;
  FakeTimer timer;
  FakeWatcher watcher;
  TSerialPortDriver driver(timer, watcher, realTicks);
  driver.SetPortName(pty_.SlavePath());
  ASSERT_TRUE(driver.OpenPort());
  FillLine(driver.Handle());

  const uint8_t byte = 'A';
  const auto start = steady_clock::now();
  EXPECT_EQ(driver.SendBytesWithin(&byte, 1, 0), 0u);
  const long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 10);
  EXPECT_LT(elapsed, 150);
}

TEST_F(DriverTest, CheckLineStatusRefusesWithoutModemLines) {
  driver_.SetCheckLineStatus(true);
  ASSERT_TRUE(driver_.OpenPort());
  EXPECT_FALSE(driver_.SendText("AT\r"));  // a pseudo-terminal has no lines on
  driver_.SetCheckLineStatus(false);
  EXPECT_TRUE(driver_.SendText("AT\r"));
}

struct TransmitCase {
  const char* name;
  TBaudRate rate;
  uint32_t customValue;
  uint32_t count;
  uint32_t ms;
};

// Failures name the row instead of dumping its bytes.
void PrintTo(const TransmitCase& row, std::ostream* os) { *os << row.name; }

const TransmitCase kTransmitCases[] = {
    {"Packet256At9600", br9600, 0, 256, 267},
    {"Packet256At115200", br115200, 0, 256, 22},
    {"CustomRateUsesTheValue", brCustom, 230400, 2304, 100},
    {"HalfRoundsDownToEven", br9600, 0, 12, 12},  // 12.5 ms
    {"HalfRoundsUpToEven", br9600, 0, 36, 38},    // 37.5 ms
    {"RateZeroHasNoLineTime", brCustom, 0, 256, 0},
    {"HugeCountSaturates", br110, 0, 0xffffffffu, 0xffffffffu},
};

class TransmitTimeTest : public DriverTest, public ::testing::WithParamInterface<TransmitCase> {};

TEST_P(TransmitTimeTest, LineTimeOfBytes) {
  const TransmitCase& c = GetParam();
  driver_.SetBaudRateValue(c.customValue);
  EXPECT_EQ(driver_.TransmitTime(c.rate, c.count), c.ms);
}

INSTANTIATE_TEST_SUITE_P(Transmit, TransmitTimeTest, ::testing::ValuesIn(kTransmitCases),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- the device going away ---------------------------------------------------

// A hung-up device stays readable for ever, so the watcher that woke the
// driver for it must be stopped, or the thread would never rest again.
TEST_F(DriverTest, FarEndClosingIsReportedOnceAndThenLeftAlone) {
  UseWindowPacketSettings();
  CapturePackets();
  int lost = 0;
  driver_.OnPortLost = [&] { ++lost; };
  ASSERT_TRUE(driver_.OpenPort());
  pty_.CloseSlave();
  pty_.CloseMaster();

  const long cpuBefore = CpuMs();
  ReadableAt(0);
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(watcher_.watching);
  EXPECT_FALSE(timer_.running);
  for (uint32_t t = 0; t < 2000; t += 5) TickAt(t);
  ReadableAt(2000);
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(driver_.IsOpen()) << "closing is the owner's decision";
  EXPECT_TRUE(driver_.PortLost());
  EXPECT_TRUE(sizes_.empty());
  EXPECT_FALSE(driver_.SendText("AT\r"));  // ManualTicks never move: only the loss ends this
  EXPECT_EQ(lost, 1);
  EXPECT_LT(CpuMs() - cpuBefore, 500);

  driver_.ClosePort();
  EXPECT_FALSE(driver_.IsOpen());

  testsupport::PtyPair next;
  driver_.SetPortName(next.SlavePath());
  ASSERT_TRUE(driver_.OpenPort());
  EXPECT_FALSE(driver_.PortLost());
  EXPECT_TRUE(watcher_.watching);
  EXPECT_TRUE(driver_.SendText("AT\r"));
}

TEST_F(DriverTest, LossFoundWhileSendingIsReportedOnce) {
  int lost = 0;
  driver_.OnPortLost = [&] {
    ++lost;
    driver_.ClosePort();  // what a window may well do
  };
  ASSERT_TRUE(driver_.OpenPort());
  pty_.CloseSlave();
  pty_.CloseMaster();
  EXPECT_FALSE(driver_.SendText("AT\r"));
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(driver_.IsOpen());
  driver_.PollTick();
  EXPECT_EQ(lost, 1);
}

}  // namespace
}  // namespace serialtest
