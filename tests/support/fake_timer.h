#pragma once

#include "common/timer.h"
#include "serial/input_watcher.h"

namespace testsupport {

// A timer for tests that tick by hand (the driver's poll, the window's
// 30-second tick, the port retry): it never fires, and records what it was
// asked.
class FakeTimer : public common::PeriodicTimer {
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

// An input watcher for tests that call the driver's DeviceReadable by hand:
// it never fires, and records what it was asked to watch.
class FakeWatcher : public serial::InputWatcher {
 public:
  void Watch(int descriptor) override {
    fd = descriptor;
    watching = true;
  }
  void Stop() override { watching = false; }

  int fd = -1;
  bool watching = false;
};

}  // namespace testsupport
