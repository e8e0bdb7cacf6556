#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace modemsim {

// One thing the simulator can be told to do, from a script or from stdin.
struct Action {
  enum Kind { kCall, kWithheld, kSend, kSet } kind = kCall;
  // The number (empty: the default one), the bytes to send, or a setting
  // of the modem's state ("sim pin", "creg 2", "csq 0").
  std::string argument;
};

struct TimedAction {
  double at = 0;  // seconds after the simulator started
  Action action;
};

// "call", "call +79160000001", "withheld", "send \r\nRING\r\n", "set creg 2".
// nullopt with a reason in *error for anything else.
std::optional<Action> ParseAction(std::string_view text, std::string* error);

// A script: one "<seconds> <action>" per line, blank lines and lines starting
// with "#" ignored. The result is ordered by time, lines with the same time
// in file order. On a bad line, nullopt and the reason with its line number.
std::optional<std::vector<TimedAction>> ParseScript(std::string_view text, std::string* error);

// ParseScript of the file at path; an unreadable file is refused the same way.
std::optional<std::vector<TimedAction>> LoadScript(const std::string& path, std::string* error);

}  // namespace modemsim
