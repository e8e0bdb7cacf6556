#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/datetime.h"

namespace modem {

constexpr size_t kCallEventSize = 21;
using CallEventBytes = std::array<uint8_t, kCallEventSize>;

// The link's frame type of a call event; it also opens every spool file.
constexpr uint32_t kCallEventFrameType = 0x0300004A;

// 21 bytes, little-endian, no padding:
//   0  int64   PhoneNumber
//   8  uint8   ObjectCode length (0..4)
//   9  char[4] ObjectCode, Windows-1251, zero after the length
//  13  double  EventTime (days since 30 Dec 1899, local)
struct CallEvent {
  int64_t PhoneNumber = 0;
  std::string ObjectCode;  // only the first 4 bytes are kept
  common::DateTime EventTime = 0;

  CallEventBytes Encode() const;
  static CallEvent Decode(const CallEventBytes& bytes);
};

// The settings the call handling reads at each call.
struct CallSettings {
  std::string Code;         // [Main] Code, Windows-1251
  int32_t NumberS = 0;      // [Main] NumberS
  std::string PathForSoob;  // [main] PathForSoob, a prefix, not a directory
};

// The number text of a caller-identification block.
std::string ExtractNumberText(std::string_view replyText);
// PhoneNumber from the number text and the NumberS prefix.
int64_t PhoneNumberFrom(std::string_view numberText, int32_t numberS);

}  // namespace modem
