#pragma once

#include "serial/serial_port_driver.h"

namespace testsupport {

// The driver's poll timer for tests that call PollTick by hand: it never
// fires, and records what the driver asked of it.
class FakePollTimer : public serial::PollTimer {
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

}  // namespace testsupport
