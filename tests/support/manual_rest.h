#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "common/ticks.h"
#include "link/link_rest.h"

namespace testsupport {

// The link's clock and its rest in one, moving only when a test moves it:
// a rest ends when the clock has been moved to its deadline or when the
// link is woken, never because real time passed. The pause between two
// steps of work passes at once, so a test need not tick the link through
// its work; it is counted apart, and a link that paused where it should
// rest would show in that count.
class ManualLinkClock : public common::TickSource, public serverlink::LinkRest {
 public:
  uint32_t Ticks() const override { return ticks_.Ticks(); }
  void Set(uint32_t ms) { ticks_.Set(ms); }
  void Advance(uint32_t ms) {
    {
      std::lock_guard lock(mutex_);
      ticks_.Advance(ms);
    }
    changed_.notify_all();
  }

  void Pause() override {
    std::lock_guard lock(mutex_);
    ++pauses_;
    woken_ = false;
  }

  void WaitFor(uint32_t ms) override {
    std::unique_lock lock(mutex_);
    ++rests_;
    asked_ = ms;
    resting_ = true;
    changed_.notify_all();
    const uint32_t start = ticks_.Ticks();
    changed_.wait(lock, [&] { return woken_ || (ms != kUntilWoken && ticks_.Ticks() - start >= ms); });
    woken_ = false;
    resting_ = false;
    changed_.notify_all();
  }

  void Wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    changed_.notify_all();
  }

  // Waits, in real time and generously, until the link has begun more than
  // `after` rests and lies in the last of them; returns the ms it asked for
  // (kUntilWoken: no deadline), or 0 when it never got there.
  uint32_t RestAfter(int after, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, limit, [&] { return rests_ > after && resting_; })) return 0;
    return asked_;
  }

  int Rests() const {
    std::lock_guard lock(mutex_);
    return rests_;
  }
  int Pauses() const {
    std::lock_guard lock(mutex_);
    return pauses_;
  }
  bool Resting() const {
    std::lock_guard lock(mutex_);
    return resting_;
  }

 private:
  common::ManualTicks ticks_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool woken_ = false;    // guarded by mutex_
  bool resting_ = false;  // guarded by mutex_
  int rests_ = 0;         // guarded by mutex_
  int pauses_ = 0;        // guarded by mutex_
  uint32_t asked_ = 0;    // guarded by mutex_
};

}  // namespace testsupport
