// The fuzz target "serial_packets" found a burst whose last bytes came out
// only after more than 100 s of quiet line. Nothing was lost, but a
// notification that followed such a burst waited just as long.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/ticks.h"
#include "serial/exclusive_device.h"
#include "serial/serial_port_driver.h"
#include "tests/support/fake_timer.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_port.h"

namespace {

constexpr uint32_t kTickMs = 5;

class SerialBurstRegression : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::SetLockDirectory(locks_.Path());
    driver_.SetPortName(pty_.SlavePath());
    driver_.SetBaudRateValue(9600);
    testsupport::UseWindowPacketSettings(driver_);
    driver_.OnReceivePacket = [this](serial::TSerialPortDriver*, const uint8_t*, uint32_t size) { delivered_ += size; };
    ASSERT_TRUE(driver_.OpenPort());
  }

  // The far end sends the bytes; the driver ticks once they are waiting.
  // What it read earlier and holds in a partial packet is not waiting.
  void ArriveAndTick(const std::string& bytes) {
    if (!bytes.empty()) {
      ASSERT_TRUE(pty_.WriteMaster(bytes));
    }
    sent_ += bytes.size();
    ASSERT_TRUE(testsupport::WaitForInput(driver_.Handle(), sent_ - delivered_ - driver_.InputHeld()));
    ticks_.Advance(kTickMs);
    driver_.PollTick();
  }

  // Milliseconds of ticking until everything sent is delivered, at most limitMs.
  uint32_t TickUntilDelivered(uint32_t limitMs) {
    uint32_t waited = 0;
    while (delivered_ < sent_ && waited < limitMs) {
      ticks_.Advance(kTickMs);
      driver_.PollTick();
      waited += kTickMs;
    }
    return waited;
  }

  testsupport::TempDir locks_;
  testsupport::PtyPair pty_;
  testsupport::FakeTimer timer_;
  testsupport::FakeWatcher watcher_;
  common::ManualTicks ticks_;
  serial::TSerialPortDriver driver_{timer_, watcher_, ticks_};
  size_t sent_ = 0;
  size_t delivered_ = 0;
};

// Each full packet read while a partial one is being timed moves
// PacketStart on by the packet's line time (267 ms at 9600 bit/s), however
// fast the bytes really came. A device that sends 257 bytes per 5 ms tick
// leaves a remainder at every tick; unbounded, the start would lie about
// 17 s ahead after 64 ticks, and the burst's last bytes and the
// caller-identification line after them would wait that long.
TEST_F(SerialBurstRegression, NotificationAfterFastBurstIsNotHeldBack) {
  for (int i = 0; i < 64; ++i) ArriveAndTick(std::string(257, 'x'));
  for (int i = 0; i < 20; ++i) ArriveAndTick("");  // 100 ms of quiet line

  // The burst's last bytes and the line after them come out together.
  const std::string clip = "\r\n+CLIP: \"+79161234567\",145\r\n";
  ArriveAndTick(clip);
  const uint32_t lineTimeOfPacket = driver_.TransmitTime(serial::brCustom, 256);
  EXPECT_LE(TickUntilDelivered(120000), lineTimeOfPacket + 200 + 2 * kTickMs);
  EXPECT_EQ(delivered_, sent_);
}

}  // namespace
