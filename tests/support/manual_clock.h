#pragma once

#include <cstdint>

#include "common/datetime.h"
#include "common/ticks.h"

namespace testsupport {

// Local time and the monotonic ticks, moving only when a test moves them:
// together, or the wall clock alone, as an NTP correction or an operator
// steps it.
class ManualClock : public common::Clock, public common::TickSource {
 public:
  common::DateTime now = common::MakeDateTime({2024, 3, 15, 12, 30, 45, 123});
  uint32_t ticks = 1000;
  common::DateTime Now() const override { return now; }
  uint32_t Ticks() const override { return ticks; }
  void AdvanceMs(uint32_t ms) {
    now += ms / 86400000.0;
    ticks += ms;
  }
  void StepWallMs(double ms) { now += ms / 86400000.0; }
};

}  // namespace testsupport
