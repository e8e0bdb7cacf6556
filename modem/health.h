#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/datetime.h"

namespace modem {

enum class SimState { kUnknown, kReady, kPinRequired, kPukRequired, kAbsent, kNotReady, kFailure };
enum class Registration { kUnknown, kHome, kRoaming, kSearching, kDenied, kNotRegistered };

// What the modem last said of its SIM, its network and its signal.
struct ModemHealth {
  SimState Sim = SimState::kUnknown;
  Registration Network = Registration::kUnknown;
  int32_t Signal = 99;  // the 0..31 figure of AT+CSQ; 99 unknown
  bool Answered = false;               // any answer since the start
  uint32_t LastAnswerTick = 0;         // monotonic, for the silence rule
  common::DateTime LastAnswerTime = 0; // wall time, to show
};

// The SIM's state in a block: "+CPIN: READY" and its kin, with or without
// the blank and quotes, or an error code that is about the SIM
// ("+CME ERROR: 11" is a PIN request, as is "+CMS ERROR: 311").
std::optional<SimState> SimStateIn(std::string_view text);
// The registration in a "+CREG:" line, the answer to AT+CREG? (n,stat...)
// or the modem's own report (stat...).
std::optional<Registration> RegistrationIn(std::string_view text);
// The signal figure of "+CSQ: <rssi>,<ber>", or of a "^RSSI:<rssi>" report.
std::optional<int32_t> SignalIn(std::string_view text);

// True for a SIM state in which no call can come in and a modem restart
// changes nothing: the SIM waits for a PIN or PUK, is missing or broken.
bool SimCannotWork(SimState sim);

// Whether the station can receive calls, and if not, why (Windows-1251, for
// the operator). What was never answered does not count against it.
struct HealthVerdict {
  bool CanReceiveCalls = true;
  std::string Reason;  // empty when it can
  bool operator==(const HealthVerdict&) const = default;
};
// silent: no health answer for longer than the station can go unwatched.
HealthVerdict Judge(const ModemHealth& health, bool silent);

// "SIM: готова; сеть: домашняя; сигнал: -75 дБм (19); ответ в 14:03:07",
// in Windows-1251.
std::string HealthLine(const ModemHealth& health);

}  // namespace modem
