#include "common/ticks.h"

#include <chrono>

namespace common {

uint32_t MonotonicTicks::Ticks() const {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<uint32_t>(ms);
}

}  // namespace common
