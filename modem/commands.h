#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "modem/dialogue.h"

namespace modem {

// What an error reply to a command leads to.
enum class OnError {
  kRecover,         // the full re-initialisation
  kRecoverPerCall,  // the same, but once per call at most
  kIgnore,          // nothing: the command is optional or only asks
};

struct CommandTag {
  std::string_view tag;
  int32_t state;
  OnError onError;
};

// A queue entry is the tag, a colon and the command; the tag alone decides
// how the reply is read.
inline constexpr std::array<CommandTag, 16> kCommandTags{{
    {"AT", rsCommand, OnError::kRecover},
    {"ATZ", rsCommand, OnError::kRecover},
    {"CFUN", rsCommand, OnError::kRecover},
    {"ATE", rsEcho, OnError::kRecover},
    // Numbered error codes tell a SIM that waits for its PIN from a modem
    // that needs a restart; a modem that cannot give them says ERROR.
    {"CMEE", rsErrorFormat, OnError::kIgnore},
    {"CGMI", rsManufacturer, OnError::kRecover},
    {"CGMM", rsModel, OnError::kRecover},
    {"CPMS", rsStorage, OnError::kRecover},
    {"ATA", rsAnswer, OnError::kRecoverPerCall},
    {"ATV1", rsTone, OnError::kRecoverPerCall},
    {"ATH", rsHangUp, OnError::kRecoverPerCall},
    // AT+CVHU=0 makes ATH end a voice call on the modems that otherwise
    // answer it "OK" and keep the call up; the others do not know it.
    {"CVHU", rsVoiceHangUp, OnError::kIgnore},
    {"CLIP", rsCallerId, OnError::kRecover},
    {"CPIN", rsSim, OnError::kIgnore},
    {"CREG", rsNetwork, OnError::kIgnore},
    {"CSQ", rsSignal, OnError::kIgnore},
}};

inline std::optional<CommandTag> FindTag(std::string_view tag) {
  for (const CommandTag& t : kCommandTags) {
    if (t.tag == tag) return t;
  }
  return std::nullopt;
}

inline std::optional<CommandTag> TagOfState(int32_t state) {
  for (const CommandTag& t : kCommandTags) {
    if (t.state == state) return t;
  }
  return std::nullopt;
}

inline constexpr std::array<std::string_view, 8> kStartupEntries{
    "AT:AT\r",        "ATE:ATE0\r",      "CMEE:AT+CMEE=1\r", "CGMI:AT+CGMI\r",
    "CGMM:AT+CGMM\r", "CPMS:AT+CPMS?\r", "CVHU:AT+CVHU=0\r", "CLIP:AT+CLIP=1\r",
};

// A full re-initialisation; the reset comes first so that whatever state
// produced the error is gone before the rest of the set-up is replayed.
inline constexpr std::array<std::string_view, 10> kRecoveryEntries{
    "CFUN:AT+CFUN=1,1\r\n", "AT:AT\r\n",         "ATZ:ATZ\r\n",          "ATE:ATE0\r\n",
    "CMEE:AT+CMEE=1\r\n",   "CGMI:AT+CGMI\r\n", "CGMM:AT+CGMM\r\n",     "CPMS:AT+CPMS?\r\n",
    "CVHU:AT+CVHU=0\r\n",   "CLIP:AT+CLIP=1\r\n",
};

inline constexpr std::string_view kRearmEntry = "CLIP:AT+CLIP=1\r";

// Cheap and local to the modem, so safe every 30 seconds.
inline constexpr std::array<std::string_view, 3> kHealthEntries{
    "CPIN:AT+CPIN?\r", "CREG:AT+CREG?\r", "CSQ:AT+CSQ\r",
};

inline constexpr std::string_view kAnswerEntry = "ATA:ATA\r\n";
inline constexpr std::string_view kToneEntry = "ATV1:AT+VTS=1\r\n";
inline constexpr std::string_view kHangUpEntry = "ATH:ATH\r\n";

}  // namespace modem
