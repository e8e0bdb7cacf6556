#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/modem-sim/profile.h"

namespace modemsim {

// How the simulated modem misbehaves, for demonstrations and tests.
struct Quirks {
  bool errorAll = false;       // every command line is answered "ERROR"
  bool silent = false;         // no echo and no reply to anything
  bool queriesErr = false;     // ERROR to AT+CPIN?, AT+CREG? and AT+CSQ
  int ringsBeforeAnswer = 0;   // the answer to ATA waits for this many rings
};

enum class Sim { kReady, kPin, kPuk, kAbsent };

// What AT+CPIN?, AT+CREG? and AT+CSQ report, and what the SIM lets through.
struct ModemState {
  Sim sim = Sim::kReady;
  int registration = 1;  // the <stat> of +CREG
  int signal = 19;       // the <rssi> of +CSQ
};

// The command side of a GSM modem: bytes in, bytes out. Knows nothing of
// terminals and reads no clock: time is what the caller hands to Tick and
// Ring, so every reply and every repeat can be checked by feeding it bytes.
class AtModem {
 public:
  explicit AtModem(Quirks quirks = {}, const Profile& profile = DefaultProfile())
      : quirks_(quirks), profile_(profile) {}

  // Everything the modem writes back for these received bytes, in wire
  // order: the echo of each byte as it arrives (when echo is on) and the
  // reply to each command line completed by a carriage return. Echo and
  // replies are told apart because only replies are ever made to wait.
  struct Piece {
    bool reply = false;
    std::string bytes;
  };
  using Output = std::vector<Piece>;
  Output Feed(std::string_view bytes);

  // An incoming call (an empty number: withheld); what the modem sends at
  // once. While the call rings unanswered, Tick repeats it.
  std::string Ring(std::string_view number, int64_t nowMs);
  // What falls due by nowMs: rings, the family's reports, an answer that
  // waited for its ring, the greeting after a restart.
  std::string Tick(int64_t nowMs);
  // When Tick next has something to send; -1 when nothing is planned.
  int64_t NextDueMs() const;

  // The peer closed the line: a half-typed command line is forgotten, the
  // settings (echo) stay as a real modem keeps them.
  void LineDropped();

  bool echo() const { return echo_; }
  ModemState& State() { return state_; }
  const Profile& profile() const { return profile_; }
  // The call as the modem sees it, for traces and tests.
  bool Ringing() const { return call_ == CallState::kRinging; }
  bool CallUp() const { return call_ == CallState::kUp; }

 private:
  enum class CallState { kIdle, kRinging, kUp };

  std::string Execute(std::string_view line);
  std::string Answer(const std::string& command);
  std::string AnswerCall();
  std::string HangUp(bool always);
  std::string RingBurst(bool withCallerId) const;
  std::string EndCall();
  std::string SimError() const;

  Quirks quirks_;
  const Profile& profile_;
  ModemState state_;
  bool echo_ = true;
  bool lastWasCr_ = false;
  bool cvhuOff_ = false;  // AT+CVHU=0 given since the last restart
  std::string line_;
  int64_t now_ = 0;
  CallState call_ = CallState::kIdle;
  std::string caller_;
  int rings_ = 0;
  int64_t nextRingMs_ = -1;
  bool answerWaits_ = false;  // ATA came before its ring
  std::vector<int64_t> nextReportMs_;
  int64_t greetingMs_ = -1;
};

// "sim ready|pin|puk|absent", "creg <stat>" or "csq <rssi>" into state;
// false, and state untouched, for anything else.
bool ApplySetting(ModemState& state, std::string_view setting);

// "\r", "\n", "\t", "\\", "\"" and "\xHH" in a script's send text.
std::string Unescape(std::string_view text);

// Makes control bytes readable in the simulator's trace.
std::string Printable(std::string_view bytes);

}  // namespace modemsim
