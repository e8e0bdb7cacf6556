#include "serial/port_discovery.h"

#include <unistd.h>

#include <exception>

#include "serial/exclusive_device.h"

namespace serial {
namespace {
constexpr int kHighestCom = 32;
}

// A [Ports] entry may name something that opens but is no terminal (a
// plain file, a typo under /tmp); OpenPort would refuse its line settings,
// so the list must not offer it.
bool ProbeDevice(const std::string& devicePath) {
  auto device = OpenExclusive(devicePath);
  if (!device) return false;
  const bool terminal = ::isatty(device->fd) == 1;
  CloseExclusive(*device);
  return terminal;
}

// The scan never fails as a whole: a name that cannot be mapped or a device
// that cannot be opened is skipped without a word.
std::vector<std::string> ScanPorts(const std::function<std::string(int n)>& devicePathForCom) {
  std::vector<std::string> names;
  if (!devicePathForCom) return names;
  for (int n = 1; n <= kHighestCom; ++n) {
    std::string path;
    try {
      path = devicePathForCom(n);
    } catch (const std::exception&) {
      continue;
    }
    if (ProbeDevice(path)) names.push_back("COM" + std::to_string(n));
  }
  return names;
}

}  // namespace serial
