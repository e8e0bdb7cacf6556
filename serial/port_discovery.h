#pragma once

#include <functional>
#include <string>
#include <vector>

namespace serial {

// Opens the device exactly as OpenPort does (non-blocking, exclusive, with
// the lock file) and closes it at once. False when absent or held.
bool ProbeDevice(const std::string& devicePath);

// The scan over COM1 ... COM32: the names ("COM3") whose device, given by
// devicePathForCom(n), can be opened now, in ascending order.
std::vector<std::string> ScanPorts(const std::function<std::string(int n)>& devicePathForCom);

}  // namespace serial
