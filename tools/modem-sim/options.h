#pragma once

#include <string>
#include <vector>

#include "tools/modem-sim/at_modem.h"
#include "tools/options.h"

namespace modemsim {

struct Options {
  std::string link;
  std::string number = "+79161234567";
  double callEvery = 0;
  std::string script;
  Quirks quirks;
  const Profile* profile = &DefaultProfile();
  bool listProfiles = false;  // --profile list
  ModemState state;
  int delayMs = 0;
  int split = 0;
  int gapMs = 20;
  bool quiet = false;
};

// The command line after the program's name, as --help describes it.
tools::ParsedOptions<Options> ParseOptions(const std::vector<std::string>& args);

}  // namespace modemsim
