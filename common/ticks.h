#pragma once

#include <atomic>
#include <cstdint>

namespace common {

// A millisecond counter taken as 32 bits, so it wraps after about 49.7 days
// exactly like the uptime counter the driver's time rules were written for.
// Differences are always taken as unsigned 32-bit values.
class TickSource {
 public:
  virtual ~TickSource() = default;
  virtual uint32_t Ticks() const = 0;
};

// Monotonic clock of the machine, truncated to 32 bits.
class MonotonicTicks : public TickSource {
 public:
  uint32_t Ticks() const override;
};

// For tests: time moves only when told. Atomic because a test thread moves
// it while the link thread reads it.
class ManualTicks : public TickSource {
 public:
  uint32_t Ticks() const override { return now_.load(); }
  void Set(uint32_t ms) { now_.store(ms); }
  void Advance(uint32_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<uint32_t> now_{0};
};

}  // namespace common
