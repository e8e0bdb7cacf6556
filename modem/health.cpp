#include "modem/health.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <vector>

#include "common/cp1251.h"

namespace modem {
namespace {

std::string_view Trimmed(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// What follows the last "tag" of the text, up to its line end.
std::optional<std::string_view> LastValue(std::string_view text, std::string_view tag) {
  const size_t at = text.rfind(tag);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view value = text.substr(at + tag.size());
  return value.substr(0, value.find_first_of("\r\n"));
}

std::optional<int> Number(std::string_view s) {
  s = Trimmed(s);
  int value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

struct Field {
  std::string_view text;
  bool quoted = false;
};

std::vector<Field> Fields(std::string_view value) {
  std::vector<Field> fields;
  size_t start = 0;
  for (;;) {
    const size_t comma = value.find(',', start);
    const std::string_view raw = value.substr(start, comma == std::string_view::npos ? comma : comma - start);
    fields.push_back({Trimmed(raw), raw.find('"') != std::string_view::npos});
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

bool Contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

struct CodeState {
  int code;
  SimState sim;
};

// 3GPP TS 27.007 (+CME) and 27.005 (+CMS) error codes that are about the SIM.
constexpr std::array<CodeState, 6> kCmeCodes{{
    {10, SimState::kAbsent}, {11, SimState::kPinRequired}, {12, SimState::kPukRequired},
    {13, SimState::kFailure}, {14, SimState::kNotReady}, {15, SimState::kFailure},
}};
constexpr std::array<CodeState, 7> kCmsCodes{{
    {310, SimState::kAbsent}, {311, SimState::kPinRequired}, {312, SimState::kPinRequired},
    {313, SimState::kFailure}, {314, SimState::kNotReady}, {315, SimState::kFailure},
    {316, SimState::kPukRequired},
}};

template <size_t N>
std::optional<SimState> FromCode(std::string_view value, const std::array<CodeState, N>& codes) {
  const std::optional<int> code = Number(value);
  if (code) {
    for (const CodeState& c : codes) {
      if (c.code == *code) return c.sim;
    }
    return std::nullopt;
  }
  // The verbose form, after AT+CMEE=2.
  if (Contains(value, "SIM not inserted")) return SimState::kAbsent;
  if (Contains(value, "SIM PIN required") || Contains(value, "PH-SIM PIN")) return SimState::kPinRequired;
  if (Contains(value, "SIM PUK required")) return SimState::kPukRequired;
  if (Contains(value, "SIM busy")) return SimState::kNotReady;
  if (Contains(value, "SIM failure") || Contains(value, "SIM wrong")) return SimState::kFailure;
  return std::nullopt;
}

//   +CPIN: READY   +CPIN:"SIM PIN"   +CPIN: NOT READY
std::optional<SimState> FromCpin(std::string_view value) {
  value = Trimmed(value);
  // PIN2 and PUK2 guard a few SIM functions, never the calls.
  if (Contains(value, "PIN2") || Contains(value, "PUK2") || value == "READY") return SimState::kReady;
  if (Contains(value, "PUK")) return SimState::kPukRequired;
  if (Contains(value, "PIN")) return SimState::kPinRequired;
  if (value == "NOT READY") return SimState::kNotReady;
  if (value == "NOT INSERTED" || value == "NO SIM") return SimState::kAbsent;
  return std::nullopt;
}

std::optional<Registration> FromStat(int stat) {
  switch (stat) {
    case 0:
    case 8:  // emergency calls only
      return Registration::kNotRegistered;
    case 1:
    case 6:  // home, SMS only
    case 9:
      return Registration::kHome;
    case 2:
      return Registration::kSearching;
    case 3:
      return Registration::kDenied;
    case 5:
    case 7:
    case 10:
      return Registration::kRoaming;
    default:
      return Registration::kUnknown;
  }
}

const char* SimText(SimState sim) {
  switch (sim) {
    case SimState::kReady: return "готова";
    case SimState::kPinRequired: return "требуется PIN-код";
    case SimState::kPukRequired: return "требуется PUK-код";
    case SimState::kAbsent: return "нет SIM-карты";
    case SimState::kNotReady: return "не готова";
    case SimState::kFailure: return "неисправна";
    case SimState::kUnknown: break;
  }
  return "неизвестно";
}

const char* NetworkText(Registration network) {
  switch (network) {
    case Registration::kHome: return "домашняя";
    case Registration::kRoaming: return "роуминг";
    case Registration::kSearching: return "поиск сети";
    case Registration::kDenied: return "отказ в регистрации";
    case Registration::kNotRegistered: return "нет регистрации";
    case Registration::kUnknown: break;
  }
  return "неизвестно";
}

}  // namespace

std::optional<SimState> SimStateIn(std::string_view text) {
  // The last word counts: after a restart "NOT READY" comes before "READY".
  std::optional<SimState> found;
  size_t foundAt = 0;
  const auto consider = [&](std::string_view tag, auto read) {
    const size_t at = text.rfind(tag);
    if (at == std::string_view::npos || (found && at < foundAt)) return;
    if (const auto state = read(*LastValue(text, tag))) {
      found = state;
      foundAt = at;
    }
  };
  consider("+CPIN:", FromCpin);
  consider("+CME ERROR:", [](std::string_view v) { return FromCode(v, kCmeCodes); });
  consider("+CMS ERROR:", [](std::string_view v) { return FromCode(v, kCmsCodes); });
  return found;
}

//   +CREG: 0,1                      the answer: n, stat
//   +CREG: 2,5,"1A2B","00C3D4E5"    the answer with the cell
//   +CREG: 1   +CREG: 1,"1A2B","00C3D4E5"   the modem's own report: stat first
std::optional<Registration> RegistrationIn(std::string_view text) {
  const auto value = LastValue(text, "+CREG:");
  if (!value) return std::nullopt;
  const std::vector<Field> fields = Fields(*value);
  const bool reportForm = fields.size() == 1 || fields[1].quoted;
  const std::optional<int> stat = Number(fields[reportForm ? 0 : 1].text);
  if (!stat) return std::nullopt;
  return FromStat(*stat);
}

std::optional<int32_t> SignalIn(std::string_view text) {
  const size_t csq = text.rfind("+CSQ:");
  const size_t rssi = text.rfind("^RSSI:");
  std::optional<std::string_view> value;
  if (csq != std::string_view::npos && (rssi == std::string_view::npos || csq > rssi)) {
    value = LastValue(text, "+CSQ:");
  } else if (rssi != std::string_view::npos) {
    value = LastValue(text, "^RSSI:");
  }
  if (!value) return std::nullopt;
  const std::optional<int> figure = Number(Fields(*value)[0].text);
  if (!figure || (*figure > 31 && *figure != 99) || *figure < 0) return std::nullopt;
  return *figure;
}

bool SimCannotWork(SimState sim) {
  return sim == SimState::kPinRequired || sim == SimState::kPukRequired || sim == SimState::kAbsent ||
         sim == SimState::kNotReady || sim == SimState::kFailure;
}

HealthVerdict Judge(const ModemHealth& health, bool silent) {
  switch (health.Sim) {
    case SimState::kAbsent: return {false, common::ToCp1251("нет SIM-карты")};
    case SimState::kPinRequired: return {false, common::ToCp1251("SIM-карта требует PIN-код")};
    case SimState::kPukRequired: return {false, common::ToCp1251("SIM-карта требует PUK-код")};
    case SimState::kNotReady: return {false, common::ToCp1251("SIM-карта не готова")};
    case SimState::kFailure: return {false, common::ToCp1251("SIM-карта неисправна")};
    default: break;
  }
  switch (health.Network) {
    case Registration::kSearching: return {false, common::ToCp1251("модем ищет сеть")};
    case Registration::kDenied: return {false, common::ToCp1251("сеть отказала в регистрации")};
    case Registration::kNotRegistered: return {false, common::ToCp1251("модем не зарегистрирован в сети")};
    default: break;
  }
  if (health.Signal == 0) return {false, common::ToCp1251("нет сигнала сети")};
  if (silent) return {false, common::ToCp1251("модем не отвечает на запросы состояния более 2 минут")};
  return {};
}

std::string HealthLine(const ModemHealth& health) {
  std::string signal = "неизвестно";
  if (health.Signal >= 0 && health.Signal <= 31) {
    signal = std::to_string(-113 + 2 * health.Signal) + " дБм (" + std::to_string(health.Signal) + ")";
  }
  std::string answer = "ответа нет";
  if (health.Answered) {
    const common::DateTimeParts t = common::SplitDateTime(health.LastAnswerTime);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    answer = std::string("ответ в ") + text;
  }
  return common::ToCp1251(std::string("SIM: ") + SimText(health.Sim) + "; сеть: " + NetworkText(health.Network) +
                    "; сигнал: " + signal + "; " + answer);
}

}  // namespace modem
