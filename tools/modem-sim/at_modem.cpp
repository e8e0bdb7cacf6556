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
  // A reset loads the stored profile, which has the echo on.
  if (command == "ATZ" || command == "AT+CFUN=1,1") {
    echo_ = true;
    return kOk;
  }
  if (command == "AT+CFUN=1" || command == "AT+CFUN=0") return kOk;
  if (command == "AT+CGMI") return Info("ACME");
  if (command == "AT+CGMM") return Info("GSM-1");
  if (command == "AT+CPMS?") return Info("+CPMS: \"SM\",0,30,\"SM\",0,30,\"SM\",0,30");
  if (command == "AT+CLIP=1" || command == "AT+CLIP=0") return kOk;
  if (command == "ATA" || command == "ATH" || command == "ATH0") return kOk;
  // One DTMF tone: a digit, "*", "#" or A to D.
  if (command.starts_with("AT+VTS=") && command.size() == 8 &&
      std::string_view("0123456789*#ABCD").find(command[7]) != std::string_view::npos) {
    return kOk;
  }
  return kError;
}

std::string IncomingCallText(std::string_view number) {
  const int type = number.starts_with('+') ? 145 : 129;
  return "\r\nRING\r\n\r\n+CLIP: \"" + std::string(number) + "\"," + std::to_string(type) +
         ",,,,0\r\n";
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
