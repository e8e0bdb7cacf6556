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
    } else if (arg == "--profile") {
      const auto v = reader.Text();
      if (!v) return true;
      if (*v == "list") {
        o.listProfiles = true;
      } else if (const Profile* profile = FindProfile(*v)) {
        o.profile = profile;
      } else {
        reader.Fail("--profile: no family \"" + *v + "\" (--profile list names them)");
      }
    } else if (arg == "--rings-before-answer") {
      if (const auto v = reader.Number(0, 20)) o.quirks.ringsBeforeAnswer = static_cast<int>(*v);
    } else if (arg == "--query-error") {
      o.quirks.queriesErr = true;
    } else if (arg == "--sim") {
      const auto v = reader.Text();
      if (v && !ApplySetting(o.state, "sim " + *v)) reader.Fail("--sim: ready, pin, puk or absent");
    } else if (arg == "--quiet") {
      o.quiet = true;
    } else {
      return false;
    }
    return true;
  });
}

}  // namespace modemsim
