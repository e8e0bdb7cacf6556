#include "modem/modem_lines.h"

#include <array>
#include <vector>

namespace modem {
namespace {

constexpr std::string_view kCallerIdTag = "+CLIP:";

// Seen on the command port of the common modem families. "^" starts every
// report of its own that one family sends (^RSSI, ^MODE, ^BOOT, ^CEND ...);
// the driver never sends a command whose answer starts so.
constexpr std::array<std::string_view, 23> kUnsolicitedStarts{
    "^",          "+CLIP:",     "+CRING:",    "+CMTI:",    "+CDSI:",    "+CREG:",        "+CGREG:",
    "+CEREG:",    "+CPIN:",     "+CFUN:",    "+CIEV:",    "+QIND:",        "+CTZV:",
    "+CTZU:",     "+PACSP",     "RDY",       "Call Ready", "SMS Ready",    "VOICE CALL:",
    "MISSED_CALL", "UNDER-VOLTAGE", "OVER-VOLTAGE", "NORMAL POWER DOWN",
};

std::string_view TrimmedLine(std::string_view line) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  while (!line.empty() && blank(line.back())) line.remove_suffix(1);
  return line;
}

// The block cut after each line feed; every piece keeps its own bytes.
std::vector<std::string_view> Pieces(std::string_view block) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start < block.size()) {
    const size_t lf = block.find('\n', start);
    const size_t end = lf == std::string_view::npos ? block.size() : lf + 1;
    pieces.push_back(block.substr(start, end - start));
    start = end;
  }
  return pieces;
}

}  // namespace

bool IsUnsolicitedLine(std::string_view line) {
  line = TrimmedLine(line);
  if (line == "RING") return true;
  for (std::string_view start : kUnsolicitedStarts) {
    if (line.starts_with(start)) return true;
  }
  return false;
}

bool OnlyUnsolicited(std::string_view block) {
  bool any = false;
  for (std::string_view piece : Pieces(block)) {
    if (TrimmedLine(piece).empty()) continue;
    if (!IsUnsolicitedLine(piece)) return false;
    any = true;
  }
  return any;
}

// A modem frames each line of its own as CR LF, line, CR LF; the blank
// piece in front of an unsolicited line goes with it, so what is left is
// framed as if the line had never come.
std::string WithoutUnsolicited(std::string_view block) {
  const std::vector<std::string_view> pieces = Pieces(block);
  std::vector<bool> keep(pieces.size(), true);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (TrimmedLine(pieces[i]).empty() || !IsUnsolicitedLine(pieces[i])) continue;
    keep[i] = false;
    if (i > 0 && keep[i - 1] && TrimmedLine(pieces[i - 1]).empty()) keep[i - 1] = false;
  }
  std::string out;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (keep[i]) out.append(pieces[i]);
  }
  return out;
}

std::optional<size_t> UnfinishedCallerIdStart(std::string_view block) {
  const size_t lf = block.rfind('\n');
  const size_t start = lf == std::string_view::npos ? 0 : lf + 1;
  const std::string_view last = block.substr(start);
  if (last.empty() || last.find('\r') != std::string_view::npos) return std::nullopt;
  if (last.starts_with(kCallerIdTag)) return start;
  if (last.size() < kCallerIdTag.size() && kCallerIdTag.starts_with(last)) return start;
  return std::nullopt;
}

}  // namespace modem
