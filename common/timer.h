#pragma once

namespace common {

// A repeating timer whose ticks arrive on the thread that started it, from
// its event loop; tests tick by hand instead. Start on a running timer
// starts its period afresh.
class PeriodicTimer {
 public:
  virtual ~PeriodicTimer() = default;
  virtual void Start(unsigned periodMs) = 0;
  virtual void Stop() = 0;
};

}  // namespace common
