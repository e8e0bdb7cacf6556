// The driver's reads on a pseudo-terminal: what a wake-up of the input
// watcher and a poll tick read and deliver, and when the poll timer runs.
#include "tests/serial/driver_fixture.h"

namespace serialtest {
namespace {

TEST_F(DriverTest, QuietLineIsWatchedNotPolled) {
  UseWindowPacketSettings();
  ASSERT_TRUE(driver_.OpenPort());
  EXPECT_TRUE(watcher_.watching);
  EXPECT_EQ(watcher_.fd, driver_.Handle());
  EXPECT_FALSE(timer_.running);
  ReadableAt(0);  // a wake-up with nothing to read
  EXPECT_FALSE(timer_.running);
  driver_.ClosePort();
  EXPECT_FALSE(watcher_.watching);
  EXPECT_FALSE(timer_.running);
}

// Bytes are read as they come; from then until the partial packet is out
// the poll timer runs, with PollingDelay as its period, and bytes that
// join the packet do not restart it.
TEST_F(DriverTest, PartialPacketIsPolledUntilItsTimeOut) {
  UseWindowPacketSettings();
  CapturePackets();
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(10);
  ReadableAt(0);
  EXPECT_EQ(testsupport::PendingInput(driver_.Handle()), 0) << "read at once";
  EXPECT_EQ(driver_.InputHeld(), 10u);
  EXPECT_TRUE(timer_.running);
  EXPECT_EQ(timer_.period, 5u);
  Arrive(5);
  ReadableAt(150);
  EXPECT_EQ(timer_.starts, 1);
  TickAt(200);
  EXPECT_TRUE(sizes_.empty());
  TickAt(201);
  EXPECT_EQ(sizes_, std::vector<uint32_t>{15});
  EXPECT_FALSE(timer_.running);
  EXPECT_EQ(bytes_, PositionBytes(0, 15));
}

// A packet's worth waiting is delivered on the read, with no tick.
TEST_F(DriverTest, FullPacketGoesOutOnTheRead) {
  UseWindowPacketSettings();
  CapturePackets();
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(300);
  ReadableAt(0);
  EXPECT_EQ(sizes_, std::vector<uint32_t>{256});
  EXPECT_TRUE(timer_.running) << "the remainder waits for its time-out";
  TickAt(201);
  EXPECT_EQ(sizes_, (std::vector<uint32_t>{256, 44}));
  EXPECT_EQ(bytes_, PositionBytes(0, 300));
}

// Raw delivery reads what is waiting, but never more than the buffer holds
// in one call; time plays no part, so nothing is polled.
TEST_F(DriverTest, RawModeDeliversAtMostInBufSizeAtATime) {
  std::vector<uint32_t> sizes;
  std::string bytes;
  driver_.OnReceiveData = [&](serial::TSerialPortDriver*, const uint8_t* data, uint32_t size) {
    sizes.push_back(size);
    bytes.append(reinterpret_cast<const char*>(data), size);
  };
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(3000);
  ReadableAt(0);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{2048, 952}));
  EXPECT_EQ(bytes, PositionBytes(0, 3000));
  EXPECT_FALSE(timer_.running);
}

// The owner may close the port from inside a handler; the driver must stop
// reading at once instead of going on with a closed descriptor.
TEST_F(DriverTest, HandlerMayClosePortMidRead) {
  UseWindowPacketSettings();
  int calls = 0;
  driver_.OnReceivePacket = [&](serial::TSerialPortDriver* sender, const uint8_t*, uint32_t) {
    ++calls;
    sender->ClosePort();
  };
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(512);
  ReadableAt(0);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(driver_.IsOpen());
  EXPECT_FALSE(watcher_.watching);
  EXPECT_FALSE(timer_.running);
  ReadableAt(5);
  TickAt(10);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace serialtest
