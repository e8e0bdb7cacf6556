#include "tools/modem-sim/at_modem.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace modemsim {
namespace {

// A command line longer than this is junk (a real modem's buffer is smaller
// still); it is answered ERROR instead of growing without bound.
constexpr size_t kMaxLine = 512;

const std::string kOk = "\r\nOK\r\n";
// How long a restarted modem takes before it greets.
constexpr int64_t kRestartMs = 2000;
const std::string kError = "\r\nERROR\r\n";

std::string Info(std::string_view line) { return "\r\n" + std::string(line) + "\r\n" + kOk; }

std::string Upper(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

namespace {

void Append(AtModem::Output& out, bool reply, std::string_view bytes) {
  if (bytes.empty()) return;
  if (out.empty() || out.back().reply != reply) out.push_back({reply, {}});
  out.back().bytes += bytes;
}

}  // namespace

AtModem::Output AtModem::Feed(std::string_view bytes) {
  Output out;
  for (char c : bytes) {
    // Terminals send "\r\n"; the line ended at "\r", so the "\n" is neither
    // echoed nor kept. Echoing it would put a line feed between the echo and
    // the reply, where the driver looks for the start of the reply line.
    const bool skip = c == '\n' && lastWasCr_;
    lastWasCr_ = c == '\r';
    if (skip) continue;
    if (echo_ && !quirks_.silent) Append(out, false, std::string_view(&c, 1));
    if (c == '\r') {
      Append(out, true, Execute(line_));
      line_.clear();
    } else if (line_.size() <= kMaxLine) {
      line_ += c;
    }
  }
  return out;
}

void AtModem::LineDropped() {
  line_.clear();
  lastWasCr_ = false;
}

std::string AtModem::Execute(std::string_view line) {
  if (quirks_.silent) return {};
  const std::string command = Upper(Trimmed(line));
  if (command.empty()) return {};  // a bare "\r" is not a command
  if (quirks_.errorAll || line.size() > kMaxLine) return kError;
  return Answer(command);
}

std::string AtModem::Answer(const std::string& command) {
  if (command == "AT") return kOk;
  if (command == "ATE0" || command == "ATE") {
    echo_ = false;
    return kOk;
  }
  if (command == "ATE1") {
    echo_ = true;
    return kOk;
  }
  // A reset loads the stored profile, which has the echo on; a restart also
  // drops the call and greets once it is up again.
  if (command == "ATZ" || command == "AT+CFUN=1,1") {
    echo_ = true;
    cvhuOff_ = false;
    if (command == "AT+CFUN=1,1") {
      call_ = CallState::kIdle;
      if (!profile_.greeting.empty()) greetingMs_ = now_ + kRestartMs;
    }
    return kOk;
  }
  if (command == "AT+CFUN=1" || command == "AT+CFUN=0") return kOk;
  if (command == "AT+CMEE=1" || command == "AT+CMEE=0" || command == "AT+CMEE=2") return kOk;
  if (command == "AT+CGMI") return Info(profile_.manufacturer);
  if (command == "AT+CGMM") return Info(profile_.model);
  if (command == "AT+CVHU=0" || command == "AT+CVHU=1") {
    if (!profile_.knowsCvhu) return kError;
    cvhuOff_ = command == "AT+CVHU=0";
    return kOk;
  }
  if (command == "AT+CPIN?" || command == "AT+CREG?" || command == "AT+CSQ") {
    if (quirks_.queriesErr) return kError;
    if (command == "AT+CSQ") return Info("+CSQ: " + std::to_string(state_.signal) + ",99");
    if (command == "AT+CREG?") return Info("+CREG: 0," + std::to_string(state_.registration));
    switch (state_.sim) {
      case Sim::kReady: return Info("+CPIN: READY");
      case Sim::kPin: return Info("+CPIN: SIM PIN");
      case Sim::kPuk: return Info("+CPIN: SIM PUK");
      case Sim::kAbsent: return SimError();
    }
  }
  // The commands that need the SIM.
  if (command == "AT+CPMS?" || command == "AT+CLIP=1" || command == "AT+CLIP=0") {
    if (state_.sim != Sim::kReady) return SimError();
    if (command == "AT+CPMS?") return Info("+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30");
    return kOk;
  }
  if (command == "ATA") return AnswerCall();
  if (command == "ATH" || command == "ATH0") return HangUp(false);
  if (command == "AT+CHUP") return HangUp(true);
  // One DTMF tone: a digit, "*", "#" or A to D, only on a call that is up.
  if (command.starts_with("AT+VTS=") && command.size() == 8 &&
      std::string_view("0123456789*#ABCD").find(command[7]) != std::string_view::npos) {
    return call_ == CallState::kUp || !profile_.tracksCalls ? kOk : kError;
  }
  return kError;
}

std::string AtModem::SimError() const {
  switch (state_.sim) {
    case Sim::kPin: return "\r\n+CME ERROR: 11\r\n";
    case Sim::kPuk: return "\r\n+CME ERROR: 12\r\n";
    case Sim::kAbsent: return "\r\n+CME ERROR: 10\r\n";
    case Sim::kReady: break;
  }
  return kError;
}

// ERROR when no call rings any more (the caller gave up), NO CARRIER or
// ERROR from a stick without voice; an answer that must wait for a ring
// comes from Tick.
std::string AtModem::AnswerCall() {
  if (!profile_.tracksCalls) {
    call_ = CallState::kIdle;
    return kOk;
  }
  if (call_ == CallState::kIdle) return kError;
  if (call_ == CallState::kUp) return kOk;
  if (!profile_.voice) return "\r\n" + profile_.answerWithoutVoice + "\r\n";
  if (rings_ < quirks_.ringsBeforeAnswer) {
    answerWaits_ = true;
    return {};
  }
  call_ = CallState::kUp;
  return kOk;
}

// Some modems answer ATH with OK and keep a voice call up unless AT+CVHU=0
// came first; AT+CHUP ends a call on all of them.
std::string AtModem::HangUp(bool always) {
  if (call_ == CallState::kUp && !always && profile_.athNeedsCvhu && !cvhuOff_) return kOk;
  if (call_ == CallState::kIdle) return kOk;
  return kOk + EndCall();
}

std::string AtModem::EndCall() {
  call_ = CallState::kIdle;
  answerWaits_ = false;
  nextRingMs_ = -1;
  return profile_.callEnd.empty() ? std::string() : "\r\n" + profile_.callEnd + "\r\n";
}

std::string AtModem::RingBurst(bool withCallerId) const {
  std::string burst = "\r\n" + profile_.ring + "\r\n";
  if (withCallerId) burst += "\r\n" + CallerIdLine(profile_, caller_) + "\r\n";
  return burst;
}

std::string AtModem::Ring(std::string_view number, int64_t nowMs) {
  now_ = nowMs;
  if (call_ != CallState::kIdle) return {};  // one call at a time
  call_ = CallState::kRinging;
  caller_ = std::string(number);
  rings_ = 1;
  answerWaits_ = false;
  nextRingMs_ = profile_.ringEveryMs > 0 ? nowMs + profile_.ringEveryMs : -1;
  return RingBurst(true);
}

std::string AtModem::Tick(int64_t nowMs) {
  now_ = nowMs;
  std::string out;
  if (nextReportMs_.size() != profile_.reports.size()) {
    nextReportMs_.clear();
    for (const Report& r : profile_.reports) nextReportMs_.push_back(nowMs + r.everyMs);
  }
  for (size_t i = 0; i < profile_.reports.size(); ++i) {
    if (nowMs < nextReportMs_[i]) continue;
    out += "\r\n" + profile_.reports[i].line + "\r\n";
    nextReportMs_[i] = nowMs + profile_.reports[i].everyMs;
  }
  if (greetingMs_ >= 0 && nowMs >= greetingMs_) {
    greetingMs_ = -1;
    for (const std::string& line : profile_.greeting) out += "\r\n" + line + "\r\n";
  }
  if (call_ == CallState::kRinging && nextRingMs_ >= 0 && nowMs >= nextRingMs_) {
    if (rings_ >= profile_.ringsBeforeCallerGivesUp) {
      out += EndCall();
    } else {
      ++rings_;
      nextRingMs_ += profile_.ringEveryMs;
      out += RingBurst(profile_.callerIdEveryRing);
      if (answerWaits_ && rings_ >= quirks_.ringsBeforeAnswer) {
        answerWaits_ = false;
        call_ = CallState::kUp;
        out += kOk;
      }
    }
  }
  return out;
}

int64_t AtModem::NextDueMs() const {
  int64_t due = -1;
  const auto consider = [&due](int64_t at) {
    if (at >= 0 && (due < 0 || at < due)) due = at;
  };
  for (int64_t at : nextReportMs_) consider(at);
  if (nextReportMs_.empty() && !profile_.reports.empty()) consider(now_);
  consider(greetingMs_);
  if (call_ == CallState::kRinging) consider(nextRingMs_);
  return due;
}

bool ApplySetting(ModemState& state, std::string_view setting) {
  const size_t space = setting.find(' ');
  if (space == std::string_view::npos) return false;
  const std::string_view what = setting.substr(0, space);
  const std::string value = Trimmed(setting.substr(space + 1));
  if (what == "sim") {
    if (value == "ready") state.sim = Sim::kReady;
    else if (value == "pin") state.sim = Sim::kPin;
    else if (value == "puk") state.sim = Sim::kPuk;
    else if (value == "absent") state.sim = Sim::kAbsent;
    else return false;
    return true;
  }
  if (value.empty() || value.size() > 2 || value.find_first_not_of("0123456789") != std::string::npos) return false;
  const int number = std::stoi(value);
  if (what == "creg" && number <= 10) {
    state.registration = number;
    return true;
  }
  if (what == "csq" && (number <= 31 || number == 99)) {
    state.signal = number;
    return true;
  }
  return false;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char e = text[++i];
    switch (e) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x': {
        const int hi = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int lo = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          out += "\\x";  // not an escape after all: keep it as written
        } else {
          out += static_cast<char>(hi * 16 + lo);
          i += 2;
        }
        break;
      }
      default: out += e; break;
    }
  }
  return out;
}

std::string Printable(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace modemsim
