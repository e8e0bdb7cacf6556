#include "tools/modem-sim/profile.h"

namespace modemsim {
namespace {

std::string Replaced(std::string text, std::string_view field, std::string_view value) {
  const size_t at = text.find(field);
  if (at != std::string::npos) text.replace(at, field.size(), value);
  return text;
}

const std::vector<std::string> kSimcomGreeting{"RDY", "+CFUN: 1", "+CPIN: READY", "Call Ready", "SMS Ready"};

std::vector<Profile> MakeProfiles() {
  std::vector<Profile> profiles;

  Profile simcom;
  simcom.name = "simcom";
  simcom.summary = "SIMCom SIM800/SIM7600: CLIP after every RING, ATH ignored until AT+CVHU=0, greetings after a restart";
  simcom.manufacturer = "SIMCOM_Ltd";
  simcom.model = "SIMCOM_SIM800";
  simcom.ring = "RING";
  simcom.callerId = "+CLIP: \"{number}\",{type},\"\",0,\"\",0";
  simcom.withheldCallerId = "+CLIP: \"\",128,\"\",0,\"\",1";
  simcom.ringEveryMs = 5000;
  simcom.athNeedsCvhu = true;
  simcom.callEnd = "VOICE CALL: END: 000010";
  simcom.greeting = kSimcomGreeting;
  profiles.push_back(simcom);

  Profile huawei;
  huawei.name = "huawei";
  huawei.summary = "Huawei E173/MU509: +CRING: VOICE, ^RSSI and other ^ reports, repeats every 5 s, ATH needs AT+CVHU=0";
  huawei.manufacturer = "huawei";
  huawei.model = "E173";
  huawei.ring = "+CRING: VOICE";
  huawei.callerId = "+CLIP: \"{number}\",{type},,,,0";
  huawei.withheldCallerId = "+CLIP: \"\",128,,,,1";
  huawei.ringEveryMs = 5000;
  huawei.athNeedsCvhu = true;
  huawei.callEnd = "^CEND:1,0,104,16";
  huawei.reports = {{"^RSSI:25", 10000}, {"^MODE:5,4", 15000}, {"^SRVST:2", 20000},
                    {"^DSFLOWRPT:00000010,00000000,00000000,0000000000000000,0000000000000000,00000000,00000000", 2000},
                    {"^BOOT:37673864,0,0,0,77", 3000}};
  huawei.greeting = {"^SIMST:1", "^SRVST:2"};
  profiles.push_back(huawei);

  Profile quectel;
  quectel.name = "quectel";
  quectel.summary = "Quectel EC25/EC21: a phone-book name in the CLIP line, 1 s ring and 5 s pause, RDY after a restart";
  quectel.manufacturer = "Quectel";
  quectel.model = "EC25";
  quectel.ring = "RING";
  quectel.callerId = "+CLIP: \"{number}\",{type},,,\"QUECTEL\",0";
  quectel.withheldCallerId = "+CLIP: \"\",128,,,,1";
  quectel.ringEveryMs = 6000;
  quectel.greeting = {"RDY"};
  profiles.push_back(quectel);

  Profile telit;
  telit.name = "telit";
  telit.summary = "Telit: subaddress always \"\" with type 128 in the CLIP line";
  telit.manufacturer = "Telit";
  telit.model = "GL865-DUAL";
  telit.ring = "RING";
  telit.callerId = "+CLIP: \"{number}\",{type},\"\",128,\"\",0";
  telit.withheldCallerId = "+CLIP: \"\",128,\"\",128,\"\",1";
  telit.ringEveryMs = 5000;
  telit.reports = {{"+CIEV: signal,3", 20000}};
  profiles.push_back(telit);

  Profile cinterion;
  cinterion.name = "cinterion";
  cinterion.summary = "Siemens/Cinterion MC35/TC35: CLIP after the first RING only, ^SYSSTART after a restart";
  cinterion.manufacturer = "Cinterion";
  cinterion.model = "MC35i";
  cinterion.ring = "RING";
  cinterion.callerId = "+CLIP: \"{number}\",{type},,,,0";
  cinterion.withheldCallerId = "+CLIP: \"\",128,,,,1";
  cinterion.ringEveryMs = 5000;
  cinterion.callerIdEveryRing = false;
  cinterion.knowsCvhu = false;
  cinterion.greeting = {"^SYSSTART"};
  profiles.push_back(cinterion);

  Profile voiceless;
  voiceless.name = "voiceless";
  voiceless.summary = "a data-only USB stick: rings and shows the caller, but answers ATA with NO CARRIER";
  voiceless.manufacturer = "huawei";
  voiceless.model = "E3372";
  voiceless.ring = "RING";
  voiceless.callerId = "+CLIP: \"{number}\",{type},,,,0";
  voiceless.withheldCallerId = "+CLIP: \"\",128,,,,1";
  voiceless.ringEveryMs = 5000;
  voiceless.voice = false;
  voiceless.answerWithoutVoice = "NO CARRIER";
  voiceless.knowsCvhu = false;
  profiles.push_back(voiceless);

  return profiles;
}

}  // namespace

const Profile& DefaultProfile() {
  static const Profile profile = [] {
    Profile p;
    p.name = "default";
    p.summary = "the simulator's own modem: one RING and CLIP per call, OK to everything it knows";
    p.manufacturer = "ACME";
    p.model = "GSM-1";
    p.ring = "RING";
    p.callerId = "+CLIP: \"{number}\",{type},,,,0";
    p.withheldCallerId = "+CLIP: \"\",129,,,,0";
    p.tracksCalls = false;
    return p;
  }();
  return profile;
}

const std::vector<Profile>& NamedProfiles() {
  static const std::vector<Profile> profiles = MakeProfiles();
  return profiles;
}

const Profile* FindProfile(std::string_view name) {
  if (name == DefaultProfile().name) return &DefaultProfile();
  for (const Profile& p : NamedProfiles()) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

// The type of number is 145 for an international number ("+..."), else 129.
std::string CallerIdLine(const Profile& profile, std::string_view number) {
  if (number.empty()) return profile.withheldCallerId;
  const std::string type = number.starts_with('+') ? "145" : "129";
  return Replaced(Replaced(profile.callerId, "{number}", number), "{type}", type);
}

}  // namespace modemsim
