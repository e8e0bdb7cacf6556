#pragma once

#include <cstdint>
#include <string>

namespace app {

// The code that guards stopping the modem and closing the program: the
// decimal text of a draw from 10000 to 99998, always five digits.
std::string DrawCloseCode(uint32_t seed);

// The low 32 bits of the high-resolution clock, different at every start.
uint32_t CloseCodeSeed();

}  // namespace app
