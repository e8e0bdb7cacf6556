#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/ticks.h"
#include "serial/exclusive_device.h"
#include "serial/serial_port_driver.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace serialtest {

class FakeTimer : public serial::PollTimer {
 public:
  void Start(unsigned periodMs) override {
    running = true;
    period = periodMs;
    ++starts;
  }
  void Stop() override { running = false; }

  bool running = false;
  unsigned period = 0;
  int starts = 0;
};

// Bytes that show their own position, so a lost, doubled or reordered byte
// shows up in the delivered text.
inline std::string Pattern(std::size_t from, std::size_t count) {
  std::string bytes;
  for (std::size_t i = from; i < from + count; ++i) bytes.push_back(static_cast<char>(i % 251));
  return bytes;
}

// A driver pointed at the slave of a fresh pseudo-terminal pair, with its
// lock files in a temporary directory and time that moves only when told.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::SetLockDirectory(locks_.Path());
    driver_.SetPortName(pty_.SlavePath());
  }

  // The packet settings the main window gives SerialPort1.
  void UseWindowPacketSettings() {
    driver_.SetPacketSize(256);
    driver_.SetPacketTimeout(200);
    driver_.SetPacketMode(serial::pmPass);
    driver_.SetPollingDelay(5);
    driver_.SetOutputTimeout(200);
  }

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
    ASSERT_TRUE(pty_.WriteMaster(Pattern(sent_, count)));
    sent_ += count;
    ASSERT_TRUE(testsupport::WaitForInput(driver_.Handle(), static_cast<std::size_t>(before) + count));
  }

  void TickAt(uint32_t ms) {
    ticks_.Set(ms);
    driver_.PollTick();
  }

  testsupport::TempDir locks_;
  testsupport::PtyPair pty_;
  FakeTimer timer_;
  common::ManualTicks ticks_;
  serial::TSerialPortDriver driver_{timer_, ticks_};
  std::vector<uint32_t> sizes_;
  std::string bytes_;
  std::size_t sent_ = 0;
};

}  // namespace serialtest
