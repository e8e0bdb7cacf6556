#include "tools/modem-sim/script.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/modem-sim/at_modem.h"

namespace modemsim {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The number goes between the quotes of the "+CLIP:" line, so a quote or a
// control byte would make a notification no modem sends.
bool ValidNumber(std::string_view number) {
  return std::all_of(number.begin(), number.end(), [](unsigned char c) {
    return c > 0x20 && c != '"' && c != 0x7F;
  });
}

std::optional<double> ParseSeconds(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::string s(text);
  char* end = nullptr;
  const double value = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(value) || value < 0) return std::nullopt;
  // Beyond a year nothing would ever happen; it is surely a typing error.
  if (value > 366.0 * 86400) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Action> ParseAction(std::string_view text, std::string* error) {
  text = Trim(text);
  const size_t space = text.find_first_of(" \t");
  const std::string_view word = text.substr(0, space);
  const std::string_view rest = space == std::string_view::npos ? "" : Trim(text.substr(space));
  if (word == "call") {
    if (!ValidNumber(rest)) {
      *error = "a number may not hold blanks, quotes or control characters";
      return std::nullopt;
    }
    return Action{Action::kCall, std::string(rest)};
  }
  if (word == "withheld" && rest.empty()) return Action{Action::kWithheld, ""};
  if (word == "set") {
    ModemState scratch;
    if (!ApplySetting(scratch, rest)) {
      *error = "set needs \"sim ready|pin|puk|absent\", \"creg <0..10>\" or \"csq <0..31|99>\"";
      return std::nullopt;
    }
    return Action{Action::kSet, std::string(rest)};
  }
  if (word == "send") {
    if (rest.empty()) {
      *error = "send needs the text to send";
      return std::nullopt;
    }
    return Action{Action::kSend, Unescape(rest)};
  }
  *error = "unknown action \"" + std::string(word) + "\" (expected call, withheld, send or set)";
  return std::nullopt;
}

std::optional<std::vector<TimedAction>> ParseScript(std::string_view text, std::string* error) {
  std::vector<TimedAction> result;
  int lineNumber = 0;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    const std::string_view line = Trim(text.substr(0, eol));
    text = eol == std::string_view::npos ? "" : text.substr(eol + 1);
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;

    const size_t space = line.find_first_of(" \t");
    const auto at = ParseSeconds(line.substr(0, space));
    std::string reason;
    std::optional<Action> action;
    if (!at) {
      reason = "expected a time in seconds first";
    } else if (space == std::string_view::npos) {
      reason = "expected an action after the time";
    } else {
      action = ParseAction(line.substr(space), &reason);
    }
    if (!action) {
      *error = "line " + std::to_string(lineNumber) + ": " + reason;
      return std::nullopt;
    }
    result.push_back({*at, *action});
  }
  std::stable_sort(result.begin(), result.end(),
                   [](const TimedAction& a, const TimedAction& b) { return a.at < b.at; });
  return result;
}

std::optional<std::vector<TimedAction>> LoadScript(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the script " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  auto script = ParseScript(text.str(), error);
  if (!script) *error = path + ": " + *error;
  return script;
}

}  // namespace modemsim
