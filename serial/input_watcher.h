#pragma once

namespace serial {

// Watches an open device for input, a hang-up or an error, and calls its
// handler on the thread that owns the driver (the UI thread's event loop in
// the program) for as long as any of them stands; tests call the handler by
// hand instead.
class InputWatcher {
 public:
  virtual ~InputWatcher() = default;
  // Watches fd from now on, in place of any earlier descriptor.
  virtual void Watch(int fd) = 0;
  // Calls the handler no more; safe from inside the handler.
  virtual void Stop() = 0;
};

}  // namespace serial
