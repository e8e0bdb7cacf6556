#pragma once

#include "serial/serial_port_driver.h"

namespace testsupport {

// For tests that call PollTick by hand: the driver's timer does nothing.
class IdlePollTimer : public serial::PollTimer {
 public:
  void Start(unsigned) override {}
  void Stop() override {}
};

}  // namespace testsupport
