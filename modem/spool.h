#pragma once

#include <cstdint>
#include <string>

#include "common/datetime.h"
#include "modem/call_event.h"

namespace modem {

// Upper-case hexadecimal of ((D*86400 + H*3600 + M*60 + S)*1000 + MS) in 32 bits,
// no leading zeros, without the ".dd8".
std::string SpoolFileName(const common::DateTimeParts& t);

struct SpoolResult {
  bool Ok = false;
  std::string Path;  // the final path, or the path that could not be written
};

// Writes one 25-byte spool file (frame type, then the event) under
// pathForSoob + name + ".dd8", never replacing an existing file and never
// visible half written.
SpoolResult WriteSpoolFile(const std::string& pathForSoob, common::DateTime now, const CallEventBytes& event);

}  // namespace modem
