#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "link/server_address.h"

namespace app {

// Reading and writing of the private-profile ("INI") syntax, over the bytes
// of a file. Texts stay Windows-1251 bytes.
namespace ini {
// The value of key in section, or nullopt when the key is absent.
std::optional<std::string> ReadString(std::string_view fileText, std::string_view section, std::string_view key);
// An integer key: absent, empty, malformed or out of 32-bit range gives def.
int32_t ReadInt(std::string_view fileText, std::string_view section, std::string_view key, int32_t def);
// The file text with key set to value: replaced in place, else added to the
// section, else a new section added. Every other byte stays as it was.
std::string WithValue(std::string_view fileText, std::string_view section, std::string_view key, std::string_view value);
}  // namespace ini

// Raised by WriteComSetting: "Unable to write to <path>".
class SettingsWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Settings {
  std::string ComName;
  int32_t Speed = 0;
  std::string Code;
  std::string LogPath;
  bool LogOn = false;
  std::string PathForSoob;
  int32_t NumberS = 0;
  bool Syslog = false;
  bool Health = true;  // ask and show the SIM, the network and the signal
};

constexpr const char* kSettingsFileName = "mcalld.ini";

// The directory of the running executable (from /proc/self/exe), ending in '/'.
std::string ProgramDir();

// Reads [Main] and [Log] of programDir + "mcalld.ini" into settings and
// creates programDir + LogPath. False (settings untouched) when the file is missing.
bool ReadSettings(const std::string& programDir, Settings& settings);

// Stores Com = name in [Main]. False when the file is missing or name is
// empty; throws SettingsWriteError when the file cannot be written.
bool WriteComSetting(const std::string& programDir, const std::string& name);

// The link thread's read of [ServerHost] in settingsDir + "mcalld.ini".
serverlink::ServerAddress ReadServerHost(const std::string& settingsDir);

// The port names the scan and the settings know: COM1 .. COM32.
constexpr int kMaxComNumber = 32;

// The device for COMn: [Ports] COMn of programDir + "mcalld.ini" when set,
// otherwise "/dev/ttyS" followed by n - 1.
std::string ComDevicePath(const std::string& programDir, int n);
// The device opened for a port name: ComDevicePath for COM1 .. COM32; any
// other name is taken as a device, under /dev unless it is a full path.
std::string DevicePathFor(const std::string& programDir, const std::string& comName);
// n of "COM<n>" (1..32), or 0 when the name is not of that form.
int ComNumber(std::string_view comName);

}  // namespace app
