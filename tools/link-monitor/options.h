#pragma once

#include <string>
#include <vector>

#include "tools/options.h"

namespace linkmonitor {

struct Options {
  std::string address = "127.0.0.1";
  int port = 12543;
  bool deny = false;
  double pollEvery = 0;
  double disconnectAfter = -1;  // negative: never
  double closeAfter = -1;
};

// The command line after the program's name, as --help describes it.
tools::ParsedOptions<Options> ParseOptions(const std::vector<std::string>& args);

}  // namespace linkmonitor
