#include "tools/link-monitor/options.h"

#include <arpa/inet.h>

#include <cmath>

namespace linkmonitor {

tools::ParsedOptions<Options> ParseOptions(const std::vector<std::string>& args) {
  auto parsed = tools::ParseWith<Options>(args, [](tools::OptionReader& reader, Options& o) {
    const std::string& arg = reader.Name();
    if (arg == "--address") {
      if (const auto v = reader.Text()) o.address = *v;
    } else if (arg == "--port") {
      const auto port = reader.Number(0, 65535);
      if (port && *port != std::floor(*port)) {
        reader.Fail("--port: a whole number, please");
      } else if (port) {
        o.port = static_cast<int>(*port);
      }
    } else if (arg == "--deny") {
      o.deny = true;
    } else if (arg == "--poll-every") {
      if (const auto v = reader.Number(0.1, 86400)) o.pollEvery = *v;
    } else if (arg == "--disconnect-after") {
      if (const auto v = reader.Number(0, 86400)) o.disconnectAfter = *v;
    } else if (arg == "--close-after") {
      if (const auto v = reader.Number(0, 86400)) o.closeAfter = *v;
    } else {
      return false;
    }
    return true;
  });
  // Checked after the walk, as listening did before: a refusal in the walk comes first.
  in_addr address{};
  if (!parsed.help && parsed.problem.empty() && inet_pton(AF_INET, parsed.options.address.c_str(), &address) != 1) {
    parsed.problem = "--address: \"" + parsed.options.address + "\" is not an IPv4 address";
  }
  return parsed;
}

}  // namespace linkmonitor
