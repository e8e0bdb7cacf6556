#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace serverlink {

// Where the link thread waits between steps: until its next deadline, or
// until another thread gives it something to do. A wake-up that comes while
// the link is busy is kept for its next rest, so none is lost between the
// link looking at its flags and lying down.
class LinkRest {
 public:
  static constexpr uint32_t kUntilWoken = UINT32_MAX;

  virtual ~LinkRest() = default;
  // The 1 ms between two steps while work is waiting.
  virtual void Pause() = 0;
  // Returns once ms have passed on the link's clock, or once woken.
  virtual void WaitFor(uint32_t ms) = 0;
  // Callable from any thread.
  virtual void Wake() = 0;
};

// On the monotonic clock, which is what the link's default ticks read.
class SteadyRest final : public LinkRest {
 public:
  void Pause() override { WaitFor(1); }
  void WaitFor(uint32_t ms) override;
  void Wake() override;

 private:
  std::mutex mutex_;
  std::condition_variable woken_;
  bool pending_ = false;  // guarded by mutex_
};

}  // namespace serverlink
