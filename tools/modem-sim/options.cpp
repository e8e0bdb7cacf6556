#include "tools/modem-sim/options.h"

#include "tools/modem-sim/script.h"

namespace modemsim {

tools::ParsedOptions<Options> ParseOptions(const std::vector<std::string>& args) {
  return tools::ParseWith<Options>(args, [](tools::OptionReader& reader, Options& o) {
    const std::string& arg = reader.Name();
    if (arg == "--link") {
      if (const auto v = reader.Text()) o.link = *v;
    } else if (arg == "--number") {
      const auto v = reader.Text();
      if (!v) return true;
      std::string error;
      const auto action = ParseAction("call " + *v, &error);
      if (action && !action->argument.empty()) {
        o.number = action->argument;
      } else {
        reader.Fail("--number: " + (error.empty() ? "empty" : error));
      }
    } else if (arg == "--call-every") {
      if (const auto v = reader.Number(0.1, 86400)) o.callEvery = *v;
    } else if (arg == "--script") {
      if (const auto v = reader.Text()) o.script = *v;
    } else if (arg == "--error") {
      o.quirks.errorAll = true;
    } else if (arg == "--silent") {
      o.quirks.silent = true;
    } else if (arg == "--delay") {
      if (const auto v = reader.Number(0, 600000)) o.delayMs = static_cast<int>(*v);
    } else if (arg == "--split") {
      if (const auto v = reader.Number(1, 65536)) o.split = static_cast<int>(*v);
    } else if (arg == "--gap") {
      if (const auto v = reader.Number(0, 60000)) o.gapMs = static_cast<int>(*v);
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else {
      return false;
    }
    return true;
  });
}

}  // namespace modemsim
