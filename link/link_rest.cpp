#include "link/link_rest.h"

#include <chrono>

namespace serverlink {

void SteadyRest::WaitFor(uint32_t ms) {
  std::unique_lock lock(mutex_);
  const auto isPending = [this] { return pending_; };
  if (ms == kUntilWoken) {
    woken_.wait(lock, isPending);
  } else {
    woken_.wait_for(lock, std::chrono::milliseconds(ms), isPending);
  }
  pending_ = false;
}

void SteadyRest::Wake() {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  woken_.notify_one();
}

}  // namespace serverlink
