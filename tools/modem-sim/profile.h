#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace modemsim {

// A line the modem sends of its own accord at a steady rate.
struct Report {
  std::string line;
  int everyMs = 0;
};

// How one family of GSM modems talks, from their makers' manuals and what
// users of modem software report: how it announces a call and who calls,
// how often it repeats that while nobody answers, what it says unasked,
// what it answers to ATA, AT+VTS and ATH, and what it sends after a restart.
struct Profile {
  std::string name;
  std::string summary;  // one line for --profile list
  std::string manufacturer;
  std::string model;
  std::string ring;               // "RING", or "+CRING: VOICE"
  std::string callerId;           // with {number} and {type}
  std::string withheldCallerId;   // the line for a caller who hides the number
  int ringEveryMs = 0;            // 0: one ring, never repeated
  bool callerIdEveryRing = true;  // some modems send it after the first ring only
  int ringsBeforeCallerGivesUp = 6;
  bool tracksCalls = true;        // false: ATA, AT+VTS and ATH are always OK
  bool voice = true;              // false: a data-only stick
  std::string answerWithoutVoice; // what such a stick says to ATA
  bool athNeedsCvhu = false;      // ATH ends a voice call only after AT+CVHU=0
  bool knowsCvhu = true;
  std::string callEnd;            // sent when a call ends, or empty
  std::vector<Report> reports;
  std::vector<std::string> greeting;  // after AT+CFUN=1,1, line by line
};

// What the simulator does without --profile: the modem of every earlier
// release of this simulator.
const Profile& DefaultProfile();
// The named families, in the order --profile list shows them.
const std::vector<Profile>& NamedProfiles();
// nullptr for a name that is none of them.
const Profile* FindProfile(std::string_view name);

// The caller-identification line of a call from number (empty: withheld).
std::string CallerIdLine(const Profile& profile, std::string_view number);

}  // namespace modemsim
