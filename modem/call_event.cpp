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

constexpr std::string_view kCallerIdTag = "+CLIP:";

// The first field after the tag, quoted or not; the other fields (type,
// subaddress, the phone-book name) and anything before the tag, such as a
// message notice with quoted fields of its own, are not the number.
//   \r\n+CMTI: "SM",3\r\n\r\nRING\r\n\r\n+CLIP: "+79161234567",145,"",0,"",0\r\n
//                                              ^ tag   ^ number        ^ end quote
//   \r\n+CLIP: +49897220,145\r\n        (unquoted, older terminals)
std::string NumberField(std::string_view afterTag) {
  size_t at = 0;
  while (at < afterTag.size() && (afterTag[at] == ' ' || afterTag[at] == '\t')) ++at;
  afterTag.remove_prefix(at);
  if (!afterTag.empty() && afterTag.front() == '"') {
    afterTag.remove_prefix(1);
    // A line that ends before its closing quote ends the number too.
    return std::string(afterTag.substr(0, afterTag.find_first_of("\"\r\n")));
  }
  std::string number;
  for (char c : afterTag) {
    if (c == ',' || c == '\r' || c == '\n') break;
    if (c != ' ' && c != '\t') number.push_back(c);
  }
  return number;
}

// Without the tag (an echoed "AT+CLIP=1" taken for a call): the text
// between the first two double quotes, or the whole text without one.
std::string OldStyleNumber(std::string_view replyText) {
  const size_t quote = replyText.find('"');
  if (quote == std::string_view::npos) return std::string(replyText);
  std::string_view rest = replyText.substr(quote + 1);
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
  const size_t tag = replyText.find(kCallerIdTag);
  std::string number = tag == std::string_view::npos ? OldStyleNumber(replyText)
                                                     : NumberField(replyText.substr(tag + kCallerIdTag.size()));
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
