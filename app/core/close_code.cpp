#include "app/core/close_code.h"

#include <chrono>
#include <random>

namespace app {

std::string DrawCloseCode(uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> draw(0, 89998);
  return std::to_string(draw(generator) + 10000);
}

uint32_t CloseCodeSeed() {
  return static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
}

}  // namespace app
