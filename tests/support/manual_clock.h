#pragma once

#include "common/datetime.h"

namespace testsupport {

// Local time that moves only when a test moves it.
class ManualClock : public common::Clock {
 public:
  common::DateTime now = common::MakeDateTime({2024, 3, 15, 12, 30, 45, 123});
  common::DateTime Now() const override { return now; }
  void AdvanceMs(double ms) { now += ms / 86400000.0; }
};

}  // namespace testsupport
