#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/ticks.h"
#include "serial/exclusive_device.h"
#include "serial/serial_port_driver.h"
#include "tests/support/fake_timer.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_port.h"

namespace serialtest {

using testsupport::FakeTimer;
using testsupport::FakeWatcher;
using testsupport::PositionBytes;

// A driver pointed at the slave of a fresh pseudo-terminal pair, with its
// lock files in a temporary directory, time that moves only when told, and
// its poll timer and input watcher worked by hand.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::SetLockDirectory(locks_.Path());
    driver_.SetPortName(pty_.SlavePath());
  }

  void UseWindowPacketSettings() { testsupport::UseWindowPacketSettings(driver_); }

  void CapturePackets() {
    driver_.OnReceivePacket = [this](serial::TSerialPortDriver* sender, const uint8_t* packet, uint32_t size) {
      EXPECT_EQ(sender, &driver_);
      sizes_.push_back(size);
      bytes_.append(reinterpret_cast<const char*>(packet), size);
    };
  }

  // The far end sends `count` more bytes of the pattern; returns once they
  // wait in the driver's input queue.
  void Arrive(std::size_t count) {
    const int before = testsupport::PendingInput(driver_.Handle());
    ASSERT_GE(before, 0);
    ASSERT_TRUE(pty_.WriteMaster(PositionBytes(sent_, count)));
    sent_ += count;
    ASSERT_TRUE(testsupport::WaitForInput(driver_.Handle(), static_cast<std::size_t>(before) + count));
  }

  void TickAt(uint32_t ms) {
    ticks_.Set(ms);
    driver_.PollTick();
  }

  // The input watcher wakes the driver at `ms`.
  void ReadableAt(uint32_t ms) {
    ticks_.Set(ms);
    driver_.DeviceReadable();
  }

  testsupport::TempDir locks_;
  testsupport::PtyPair pty_;
  FakeTimer timer_;
  FakeWatcher watcher_;
  common::ManualTicks ticks_;
  serial::TSerialPortDriver driver_{timer_, watcher_, ticks_};
  std::vector<uint32_t> sizes_;
  std::string bytes_;
  std::size_t sent_ = 0;
};

}  // namespace serialtest
