#pragma once

// Call events as a test finds them: the payload of an ftCallEvent frame, or
// a spool file. Needs the modem library.
#include <algorithm>
#include <optional>
#include <string>

#include "link/frame.h"
#include "modem/call_event.h"
#include "tests/support/temp_dir.h"

namespace testsupport {

inline std::optional<modem::CallEvent> DecodeCallEvent(const uint8_t* bytes, size_t size) {
  if (size != modem::kCallEventSize) return std::nullopt;
  modem::CallEventBytes event{};
  std::copy(bytes, bytes + size, event.begin());
  return modem::CallEvent::Decode(event);
}

inline std::optional<modem::CallEvent> DecodeCallEvent(const serverlink::Bytes& payload) {
  return DecodeCallEvent(payload.data(), payload.size());
}

// A spool file holds 25 bytes: 4A 00 00 03, the call event's frame type,
// then the event.
inline std::optional<modem::CallEvent> ReadSpoolFile(const std::string& path) {
  const std::string bytes = ReadFile(path);
  if (bytes.size() != 25 || bytes.compare(0, 4, std::string("\x4A\x00\x00\x03", 4)) != 0) return std::nullopt;
  return DecodeCallEvent(reinterpret_cast<const uint8_t*>(bytes.data()) + 4, bytes.size() - 4);
}

}  // namespace testsupport
