#include "modem/dialogue.h"

#include <algorithm>
#include <array>
#include <optional>

#include "common/cp1251.h"
#include "modem/spool.h"

namespace modem {
namespace {

constexpr size_t kMaxReplyText = 255;
constexpr common::DateTime kReplyTimeout = 10 * common::kOneSecond;
constexpr std::string_view kRearmEntry = "CLIP:AT+CLIP=1\r";

struct TagState {
  std::string_view tag;
  int32_t state;
};

constexpr std::array<TagState, 11> kTags{{
    {"AT", rsCommand},  {"ATZ", rsCommand},    {"CFUN", rsCommand}, {"ATE", rsEcho},
    {"CGMI", rsManufacturer}, {"CGMM", rsModel}, {"CPMS", rsStorage}, {"ATA", rsAnswer},
    {"ATV1", rsTone},   {"ATH", rsHangUp},     {"CLIP", rsCallerId},
}};

constexpr std::array<std::string_view, 6> kStartup{
    "AT:AT\r", "ATE:ATE0\r", "CGMI:AT+CGMI\r", "CGMM:AT+CGMM\r", "CPMS:AT+CPMS?\r", "CLIP:AT+CLIP=1\r",
};

// A full re-initialisation; the reset comes first so that whatever state
// produced the error is gone before the rest of the set-up is replayed.
constexpr std::array<std::string_view, 8> kRecovery{
    "CFUN:AT+CFUN=1,1\r\n", "AT:AT\r\n",         "ATZ:ATZ\r\n",        "ATE:ATE0\r\n",
    "CGMI:AT+CGMI\r\n",     "CGMM:AT+CGMM\r\n", "CPMS:AT+CPMS?\r\n", "CLIP:AT+CLIP=1\r\n",
};

std::optional<int32_t> StateOfTag(std::string_view tag) {
  for (const TagState& t : kTags) {
    if (t.tag == tag) return t.state;
  }
  return std::nullopt;
}

bool Contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// The timers and the packet handler must keep running whatever one of their
// stages or host calls throws; this is the edge where that is absorbed.
template <typename F>
void Guarded(F&& f) noexcept {
  try {
    f();
  } catch (...) {
  }
}

// The line after the echoed command:
//   AT+CGMI\r \n SIMCOM_Ltd\r\n\r\nOK\r\n
//              ^ starts here  ^ ends before this CR
// The first character is taken even when it is itself a CR.
std::string ExtractLine(std::string_view text) {
  const size_t lf = text.find('\n');
  const size_t start = lf == std::string_view::npos ? 0 : lf + 1;
  if (start >= text.size()) return {};
  const size_t cr = text.find('\r', start + 1);
  return std::string(text.substr(start, cr == std::string_view::npos ? std::string_view::npos : cr - start));
}

}  // namespace

Dialogue::Dialogue(DialogueHost& host, const common::Clock& clock) : host_(host), clock_(clock) {}

void Dialogue::Timer3Timer() {
  Guarded([&] { expireWait(); });
  Guarded([&] { dispatchFront(); });
}

void Dialogue::Timer1Timer() {
  Guarded([&] { host_.TrimLogView(); });
  // Only one re-arm waiting at a time keeps a stalled queue from growing by
  // one entry every 30 seconds.
  Guarded([&] {
    if (std::find(CommandQueue.begin(), CommandQueue.end(), kRearmEntry) == CommandQueue.end()) {
      CommandQueue.emplace_back(kRearmEntry);
    }
  });
}

void Dialogue::StartDialogue() {
  ModemActive = true;
  CommandQueue.clear();
  CommandQueue.insert(CommandQueue.end(), kStartup.begin(), kStartup.end());
  Guarded([&] { host_.SetTimer1Enabled(true); });
}

// A pending wait is deliberately left alone: a restart within 10 seconds
// still waits for the reply to the command sent before the stop.
void Dialogue::StopDialogue() {
  ModemActive = false;
  Guarded([&] { host_.SetTimer1Enabled(false); });
  CommandQueue.clear();
}

void Dialogue::expireWait() {
  if (AwaitingReply && clock_.Now() > CommandSentAt + kReplyTimeout) AwaitingReply = false;
}

void Dialogue::dispatchFront() {
  if (!ModemActive || AwaitingReply || CommandQueue.empty()) return;
  const std::string entry = std::move(CommandQueue.front());
  CommandQueue.pop_front();
  const size_t colon = entry.find(':');
  if (colon == std::string::npos) return;
  const std::optional<int32_t> state = StateOfTag(std::string_view(entry).substr(0, colon));
  if (!state) return;
  const std::string_view command = std::string_view(entry).substr(colon + 1);

  AwaitingReply = true;
  CommandSentAt = clock_.Now();
  Guarded([&] { host_.SendText(command); });
  // The reply is read under the state of the command that was really sent,
  // so a log that cannot be written must not keep the previous state.
  Guarded([&] { host_.WriteOperatorLog(">" + std::string(command)); });
  ReplyState = *state;
}

void Dialogue::SerialPort1ReceivePacket(const uint8_t* Packet, uint32_t DataSize) {
  std::string replyText;
  Guarded([&] { receive(Packet, DataSize, replyText); });
  Guarded([&] {
    if (!Contains(replyText, "OK")) return;
    ModemActive = true;
    host_.DrawModemIndicator();
  });
  Guarded([&] { interpret(replyText); });
  AwaitingReply = false;
}

void Dialogue::receive(const uint8_t* packet, uint32_t size, std::string& replyText) {
  PacketCounter = PacketCounter >= 16 ? 1 : PacketCounter + 1;
  Guarded([&] { host_.DrawModemIndicator(); });
  if (packet != nullptr) replyText.assign(reinterpret_cast<const char*>(packet), std::min<size_t>(size, kMaxReplyText));
  host_.WriteOperatorLog("<" + replyText);
}

void Dialogue::interpret(const std::string& replyText) {
  // Only the notification itself is a call: with the echo on, the modem
  // repeats "AT+CLIP=1" at every re-arm, and that must not be answered.
  if (Contains(replyText, "+CLIP:")) {
    handleCall(replyText);
  } else if (Contains(replyText, "ERROR")) {
    queueRecovery();
  } else {
    interpretByState(replyText);
  }
}

void Dialogue::interpretByState(const std::string& replyText) {
  const bool ok = Contains(replyText, "OK");
  switch (ReplyState) {
    case rsCommand:
      if (ok) host_.AppendLogView("OK");
      break;
    case rsEcho:
      host_.AppendLogView(common::Ru(ok ? "режим эхо выключен" : "режим эхо включен"));
      break;
    case rsManufacturer:
      showManufacturer(replyText);
      break;
    case rsModel:
      showModel(replyText);
      break;
    default:
      break;
  }
}

void Dialogue::showManufacturer(const std::string& replyText) {
  ModemManufacturer.clear();
  if (!Contains(replyText, "OK")) {
    host_.AppendLogView(common::Ru("Производитель: не удалось определить"));
    return;
  }
  ModemManufacturer = ExtractLine(replyText);
  Guarded([&] { host_.WriteSystemLog("<!" + ModemManufacturer); });
  host_.AppendLogView(common::Ru("Производитель: ") + ModemManufacturer);
}

void Dialogue::showModel(const std::string& replyText) {
  if (Contains(replyText, "OK")) {
    ModemModel = ExtractLine(replyText);
    host_.AppendLogView(common::Ru("Модель: ") + ModemModel);
  } else {
    host_.AppendLogView(common::Ru("Модель: не удалось определить"));
  }
  host_.WriteSystemLog("<!" + ModemModel);
}

void Dialogue::queueRecovery() {
  Guarded([&] { host_.DrawModemIndicator(); });
  // Without this a modem that answers everything with "ERROR" would grow
  // the queue by seven entries per reply.
  std::erase_if(CommandQueue, [](const std::string& entry) {
    return std::find(kRecovery.begin(), kRecovery.end(), entry) != kRecovery.end();
  });
  CommandQueue.insert(CommandQueue.begin(), kRecovery.begin(), kRecovery.end());
}

void Dialogue::insertAtFront(std::initializer_list<std::string_view> entries) {
  CommandQueue.insert(CommandQueue.begin(), entries.begin(), entries.end());
}

// Nothing that fails here may lose the call: the log writers, the settings
// and the link are each absorbed on their own, and what cannot be sent is
// spooled.
void Dialogue::handleCall(const std::string& replyText) {
  Guarded([&] { host_.WriteSystemLog("<!" + replyText); });
  const std::string number = ExtractNumberText(replyText);
  insertAtFront({"ATA:ATA\r\n", "ATV1:AT+VTS=1\r\n", "ATH:ATH\r\n"});
  Guarded([&] { host_.AppendLogView(common::Ru("Входящий звонок - ") + number); });

  CallSettings settings;
  Guarded([&] { settings = host_.CurrentCallSettings(); });
  CallEvent event;
  event.PhoneNumber = PhoneNumberFrom(number, settings.NumberS);
  event.ObjectCode = settings.Code;
  event.EventTime = clock_.Now();
  deliver(event.Encode(), settings.PathForSoob);
}

void Dialogue::deliver(const CallEventBytes& event, const std::string& pathForSoob) {
  bool connected = false;
  bool sent = false;
  Guarded([&] {
    connected = host_.LinkConnected();
    sent = connected && host_.SendCallEvent(event);
  });
  if (sent) return;
  const SpoolResult spooled = WriteSpoolFile(pathForSoob, clock_.Now(), event);
  if (spooled.Ok) return;
  const std::string line = common::Ru("Не удалось записать событие в файл ") + spooled.Path;
  Guarded([&] { host_.AppendLogView(line); });
  Guarded([&] { host_.WriteSystemLog(line); });
  // With no file to hold it, the link's queue is the last place the event
  // can wait: it goes out once the server is back, and is spooled again at
  // close if it is still there.
  if (!connected) Guarded([&] { host_.SendCallEvent(event); });
}

}  // namespace modem
