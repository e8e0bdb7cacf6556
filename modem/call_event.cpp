#include "modem/call_event.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <optional>

namespace modem {
namespace {

constexpr size_t kMaxObjectCode = 4;
constexpr size_t kMaxNumberText = 10;
constexpr char kCtrlZ = 26;

void PutLe64(CallEventBytes& out, size_t at, uint64_t v) {
  for (size_t i = 0; i < 8; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLe64(const CallEventBytes& in, size_t at) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) v |= static_cast<uint64_t>(in[at + i]) << (8 * i);
  return v;
}

// The whole text must be one signed decimal number that fits 64 bits.
std::optional<int64_t> ParseInt64(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// Some modems leave the number unquoted: +CLIP:82882690,129,,,,0
std::string UnquotedNumber(std::string_view replyText) {
  constexpr std::string_view kClip = "+CLIP:";
  const size_t at = replyText.find(kClip);
  if (at == std::string_view::npos) return std::string(replyText);
  std::string number;
  for (char c : replyText.substr(at + kClip.size())) {
    if (c == ',' || c == '\r' || c == '\n') break;
    if (c != ' ' && c != '\t') number.push_back(c);
  }
  return number;
}

//   \r\nRING\r\n\r\n+CLIP: "+79161234567",145,,,,0\r\n
//                           ^ first quote  ^ next quote
std::string QuotedNumber(std::string_view replyText) {
  std::string_view rest = replyText.substr(replyText.find('"') + 1);
  return std::string(rest.substr(0, rest.find('"')));
}

}  // namespace

CallEventBytes CallEvent::Encode() const {
  CallEventBytes out{};
  PutLe64(out, 0, static_cast<uint64_t>(PhoneNumber));
  const size_t length = std::min(ObjectCode.size(), kMaxObjectCode);
  out[8] = static_cast<uint8_t>(length);
  std::memcpy(out.data() + 9, ObjectCode.data(), length);
  PutLe64(out, 13, std::bit_cast<uint64_t>(EventTime));
  return out;
}

CallEvent CallEvent::Decode(const CallEventBytes& bytes) {
  CallEvent event;
  event.PhoneNumber = static_cast<int64_t>(GetLe64(bytes, 0));
  // A stored length beyond the field is someone else's damage; keep what fits.
  const size_t length = std::min<size_t>(bytes[8], kMaxObjectCode);
  event.ObjectCode.assign(reinterpret_cast<const char*>(bytes.data() + 9), length);
  event.EventTime = std::bit_cast<double>(GetLe64(bytes, 13));
  return event;
}

std::string ExtractNumberText(std::string_view replyText) {
  std::string number = replyText.find('"') == std::string_view::npos ? UnquotedNumber(replyText) : QuotedNumber(replyText);
  std::erase(number, kCtrlZ);
  if (number.size() > kMaxNumberText) number.erase(0, number.size() - kMaxNumberText);
  return number;
}

int64_t PhoneNumberFrom(std::string_view numberText, int32_t numberS) {
  const int64_t number = ParseInt64(numberText).value_or(0);
  if (numberS <= 0) return number;
  // The prefix is put in front of the number's value, so a leading zero of
  // the number text is already gone: "0123456789" under 8 gives 8123456789.
  return ParseInt64(std::to_string(numberS) + std::to_string(number)).value_or(0);
}

}  // namespace modem
