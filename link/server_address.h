#pragma once

#include <cstdint>
#include <string>

namespace serverlink {

// Where the message server listens: [ServerHost] of the settings file.
struct ServerAddress {
  std::string Address = "127.0.0.1";
  int32_t Port = 12543;
};

}  // namespace serverlink
