#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace modemsim {

// How the simulated modem misbehaves, for demonstrations and tests.
struct Quirks {
  bool errorAll = false;  // every command line is answered "ERROR"
  bool silent = false;    // no echo and no reply to anything
};

// The command side of a GSM modem: bytes in, bytes out. Knows nothing of
// terminals or time, so every reply can be checked by feeding it bytes.
class AtModem {
 public:
  explicit AtModem(Quirks quirks = {}) : quirks_(quirks) {}

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

  // The peer closed the line: a half-typed command line is forgotten, the
  // settings (echo) stay as a real modem keeps them.
  void LineDropped();

  bool echo() const { return echo_; }

 private:
  std::string Execute(std::string_view line);
  std::string Answer(const std::string& command);

  Quirks quirks_;
  bool echo_ = true;
  bool lastWasCr_ = false;
  std::string line_;
};

// The unsolicited lines of an incoming call with caller identification; the
// type of number is 145 for an international number ("+..."), else 129.
std::string IncomingCallText(std::string_view number);

// "\r", "\n", "\t", "\\", "\"" and "\xHH" in a script's send text.
std::string Unescape(std::string_view text);

// Makes control bytes readable in the simulator's trace.
std::string Printable(std::string_view bytes);

}  // namespace modemsim
