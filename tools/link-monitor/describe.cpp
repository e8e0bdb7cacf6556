#include "tools/link-monitor/describe.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "common/cp1251.h"
#include "modem/call_event.h"

namespace linkmonitor {
namespace {

using serverlink::Bytes;

// Years 100 to 9999: SplitDateTime works in 64-bit milliseconds and must not
// be handed a day count that overflows them.
constexpr double kFirstDay = -657434.0;
constexpr double kLastDay = 2958466.0;
constexpr size_t kHexShown = 32;

uint32_t Le16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }

std::string Hex(const uint8_t* data, size_t size) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < std::min(size, kHexShown); ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
    out += byte;
  }
  if (size > kHexShown) out += " ...";
  return out;
}

// A Windows-1251 text as a quoted UTF-8 one on a single line.
std::string Quoted(std::string_view cp1251) {
  std::string out = "\"";
  for (unsigned char c : common::Cp1251ToUtf8(cp1251)) {
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string CallEventText(const uint8_t* p, size_t size) {
  if (size < modem::kCallEventSize) return "short call event: " + Hex(p, size);
  modem::CallEventBytes bytes{};
  std::copy_n(p, bytes.size(), bytes.begin());
  const modem::CallEvent event = modem::CallEvent::Decode(bytes);
  std::string out = "number=" + std::to_string(event.PhoneNumber) + " code=" + Quoted(event.ObjectCode);
  if (p[8] > 4) out += " (code length " + std::to_string(p[8]) + ", at most 4 fit)";
  return out + " time=" + EventTimeText(event.EventTime);
}

std::string ModemStatusText(const uint8_t* p, size_t size) {
  if (size < 8) return "short modem status: " + Hex(p, size);
  constexpr size_t kNameBytes = 6;
  const size_t length = std::min<size_t>(p[0], kNameBytes);
  std::string out = "port=" + Quoted(std::string_view(reinterpret_cast<const char*>(p + 1), length));
  if (p[0] > kNameBytes) out += " (name length " + std::to_string(p[0]) + ", at most 6 fit)";
  return out + " running=" + std::to_string(p[7]);
}

std::string VersionText(const uint8_t* p, size_t size) {
  if (size < 8) return "short version: " + Hex(p, size);
  return "version=" + std::to_string(Le16(p)) + "." + std::to_string(Le16(p + 2)) + "." +
         std::to_string(Le16(p + 4)) + "." + std::to_string(Le16(p + 6));
}

std::string PayloadText(int32_t type, const uint8_t* p, size_t size) {
  switch (type) {
    case serverlink::ftCallEvent: return CallEventText(p, size);
    case serverlink::ftModemStatus: return ModemStatusText(p, size);
    case serverlink::ftClientVersion: return VersionText(p, size);
    case serverlink::ftHello:
      return size < 2 ? "short hello: " + Hex(p, size) : "kind=" + std::to_string(Le16(p));
    case serverlink::ftClientFlag:
      return size < 1 ? "short client flag" : "flag=" + std::to_string(p[0]);
    default: return size == 0 ? "" : "payload=" + Hex(p, size);
  }
}

}  // namespace

std::string FrameTypeName(int32_t type) {
  switch (type) {
    case serverlink::ftKeepAlive: return "ftKeepAlive";
    case serverlink::ftHello: return "ftHello";
    case serverlink::ftAccessGranted: return "ftAccessGranted";
    case serverlink::ftPoll: return "ftPoll";
    case serverlink::ftAccessDenied: return "ftAccessDenied";
    case serverlink::ftModemStatus: return "ftModemStatus";
    case serverlink::ftClientVersion: return "ftClientVersion";
    case serverlink::ftClientFlag: return "ftClientFlag";
    case serverlink::ftDisconnectCommand: return "ftDisconnectCommand";
    case serverlink::ftCloseCommand: return "ftCloseCommand";
    case serverlink::ftPollAnswer: return "ftPollAnswer";
    case serverlink::ftCallEvent: return "ftCallEvent";
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, static_cast<uint32_t>(type));
  return text;
}

std::string EventTimeText(common::DateTime t) {
  char text[64];
  if (!std::isfinite(t) || t < kFirstDay || t >= kLastDay) {
    std::snprintf(text, sizeof text, "%g (not a date)", t);
    return text;
  }
  const common::DateTimeParts d = common::SplitDateTime(t);
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year, d.month, d.day, d.hour,
                d.minute, d.second, d.millisecond);
  return text;
}

std::string DescribeBody(const Bytes& body) {
  if (body.empty()) return "empty block";
  const auto header = serverlink::ParseFrameHeader(body);
  if (!header) return "not a frame (" + std::to_string(body.size()) + " bytes): " + Hex(body.data(), body.size());

  // The payload is what the body holds after the header; a PayloadLength
  // that disagrees is shown, not trusted.
  const uint8_t* payload = body.data() + serverlink::kFrameHeaderSize;
  const size_t size = body.size() - serverlink::kFrameHeaderSize;
  std::string out = FrameTypeName(header->FrameType) + " seq=" + std::to_string(header->Sequence);
  const std::string text = PayloadText(header->FrameType, payload, size);
  if (!text.empty()) out += " " + text;
  if (header->PayloadLength < 0 || static_cast<size_t>(header->PayloadLength) != size) {
    out += " (payload length " + std::to_string(header->PayloadLength) + ", body holds " +
           std::to_string(size) + ")";
  }
  return out;
}

}  // namespace linkmonitor
