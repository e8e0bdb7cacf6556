#include "modem/dialogue.h"

#include <algorithm>
#include <array>
#include <optional>

#include "common/cp1251.h"
#include "modem/commands.h"
#include "modem/modem_lines.h"
#include "modem/spool.h"

namespace modem {
namespace {

// The operator log shows at most this much of a block.
constexpr size_t kMaxReplyText = 255;
// A block is never more than the driver's largest packet; this bounds what
// a caller could hand in.
constexpr size_t kMaxBlock = 8192;
constexpr uint32_t kReplyTimeoutMs = 10000;
// How long the end of a caller-identification line cut by the packet rule
// is waited for before what came is read as it is.
constexpr uint32_t kHeldLineMs = 1000;
// Modems repeat RING and +CLIP: every 5 to 6 s while a call rings.
constexpr uint32_t kRepeatWindowMs = 10000;
// A SIM that waits for its PIN, or is missing, is not helped by a modem
// restart: the start-up is tried again this often instead.
constexpr uint32_t kSimRetryMs = 60000;

bool Queued(const std::deque<std::string>& queue, std::string_view entry) {
  return std::find(queue.begin(), queue.end(), entry) != queue.end();
}

// Appends each entry that is not waiting already, so that a stalled queue
// does not grow by a set every 30 seconds.
template <typename Entries>
void AppendMissing(std::deque<std::string>& queue, const Entries& entries) {
  for (std::string_view entry : entries) {
    if (!Queued(queue, entry)) queue.emplace_back(entry);
  }
}

bool Contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// A log line: its mark (">" sent, "<" received, "<!" for the system log),
// then the text. Appended rather than concatenated with operator+, which
// GCC 12 at -O3 takes for an overlapping copy (a false -Wrestrict).
std::string Marked(std::string_view mark, std::string_view text) {
  std::string line;
  line.reserve(mark.size() + text.size());
  line.append(mark).append(text);
  return line;
}

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

Dialogue::Dialogue(DialogueHost& host, const common::Clock& clock, const common::TickSource& ticks)
    : host_(host), clock_(clock), ticks_(ticks) {}

void Dialogue::Timer3Timer() {
  Guarded([&] { expireWait(); });
  // Before the dispatch, so that a call read now has its answer go first.
  Guarded([&] { releaseHeldLine(); });
  Guarded([&] { retryStartForSim(); });
  Guarded([&] { dispatchFront(); });
}

// Each clause is the guard of one stage of Timer3Timer, negated.
bool Dialogue::NeedsTicks() const {
  return AwaitingReply || (ModemActive && !CommandQueue.empty()) || !heldLine_.empty() || (simLocked_ && ModemActive);
}

void Dialogue::Timer1Timer() {
  Guarded([&] { host_.TrimLogView(); });
  Guarded([&] {
    AppendMissing(CommandQueue, std::array{kRearmEntry});
    if (HealthQueries) AppendMissing(CommandQueue, kHealthEntries);
  });
}

void Dialogue::StartDialogue() {
  ModemActive = true;
  CommandQueue.clear();
  CommandQueue.insert(CommandQueue.end(), kStartupEntries.begin(), kStartupEntries.end());
  if (HealthQueries) CommandQueue.insert(CommandQueue.end(), kHealthEntries.begin(), kHealthEntries.end());
  Health = ModemHealth{};
  simLocked_ = false;
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
  if (AwaitingReply && now() - CommandSentAt > kReplyTimeoutMs) AwaitingReply = false;
}

void Dialogue::releaseHeldLine() {
  if (heldLine_.empty() || now() - heldSince_ <= kHeldLineMs) return;
  const std::string line = std::move(heldLine_);
  heldLine_.clear();
  handleBlock(line);
}

void Dialogue::dispatchFront() {
  if (!ModemActive || AwaitingReply || CommandQueue.empty()) return;
  const std::string entry = std::move(CommandQueue.front());
  CommandQueue.pop_front();
  const size_t colon = entry.find(':');
  if (colon == std::string::npos) return;
  const std::optional<CommandTag> tag = FindTag(std::string_view(entry).substr(0, colon));
  if (!tag) return;
  const std::string_view command = std::string_view(entry).substr(colon + 1);

  AwaitingReply = true;
  CommandSentAt = now();
  Guarded([&] { host_.SendText(command); });
  // The reply is read under the state of the command that was really sent,
  // so a log that cannot be written must not keep the previous state.
  Guarded([&] { host_.WriteOperatorLog(Marked(">", command)); });
  ReplyState = tag->state;
}

void Dialogue::SerialPort1ReceivePacket(const uint8_t* Packet, uint32_t DataSize) {
  std::string replyText;
  Guarded([&] { receive(Packet, DataSize, replyText); });
  const bool continuesHeldLine = !heldLine_.empty();
  std::string block;
  Guarded([&] { block = completeCallerIdLine(std::move(replyText)); });
  // What came before a held line is read now; a block that was nothing but
  // the start of one waits with it.
  if (continuesHeldLine || !heldLine_.empty()) {
    if (block.find_first_not_of(" \t\r\n") == std::string::npos) return;
  }
  handleBlock(block);
}

// The whole block is read: a full 256-byte packet cut from a burst may end
// in the "+" of the "+CLIP:" that the next one continues, and without it
// the call would be missed. The log keeps its 255 bytes.
void Dialogue::receive(const uint8_t* packet, uint32_t size, std::string& replyText) {
  PacketCounter = PacketCounter >= 16 ? 1 : PacketCounter + 1;
  Guarded([&] { host_.DrawModemIndicator(); });
  if (packet != nullptr) replyText.assign(reinterpret_cast<const char*>(packet), std::min<size_t>(size, kMaxBlock));
  host_.WriteOperatorLog(Marked("<", std::string_view(replyText).substr(0, kMaxReplyText)));
}

// A held line is continued by the next block; the block is read once the
// line is whole. Should the new block end in an unfinished line again, that
// one waits in turn, and a line still being continued keeps its first time.
std::string Dialogue::completeCallerIdLine(std::string replyText) {
  const bool continuing = !heldLine_.empty();
  std::string text = std::move(heldLine_) + replyText;
  heldLine_.clear();
  const std::optional<size_t> cut = UnfinishedCallerIdStart(text);
  if (!cut) return text;
  heldLine_ = text.substr(*cut);
  if (!(continuing && *cut == 0)) heldSince_ = now();
  text.resize(*cut);
  return text;
}

// A block may also begin with the rest of a line the previous one cut off
// (a long report cut by a full packet, a pause on the line): when that line
// is one the modem sends unasked, its rest answers nothing either.
void Dialogue::handleBlock(const std::string& block) {
  const std::string cutLine = std::move(openLine_);
  const size_t lastLf = block.rfind('\n');
  openLine_ = lastLf == std::string::npos ? cutLine + block : block.substr(lastLf + 1);
  std::string text = block;
  bool restOfReport = false;
  if (!cutLine.empty()) {
    const size_t lf = text.find('\n');
    const size_t restEnd = lf == std::string::npos ? text.size() : lf + 1;
    if (IsUnsolicitedLine(cutLine + text.substr(0, restEnd))) {
      text.erase(0, restEnd);
      restOfReport = true;
    }
  }
  Guarded([&] {
    if (!Contains(text, "OK")) return;
    ModemActive = true;
    host_.DrawModemIndicator();
  });
  Guarded([&] { noteHealth(cutLine + block); });
  if (restOfReport && text.find_first_not_of(" \t\r\n") == std::string::npos) return;
  bool answersCommand = true;
  Guarded([&] { answersCommand = interpret(text); });
  if (answersCommand) AwaitingReply = false;
}

// False for a block that answers no command: the wait for the reply goes on.
bool Dialogue::interpret(const std::string& text) {
  // Only the notification itself is a call: with the echo on, the modem
  // repeats "AT+CLIP=1" at every re-arm, and that must not be answered.
  // A repeat of the ringing call is one more notice, like a ring.
  if (Contains(text, "+CLIP:") && handleCall(text)) return true;
  // A ring or a signal report that comes while a reply is awaited is not
  // that reply; taken for one, it would have every later reply read under
  // the command after its own, the answer to ATA among them. Nor is a
  // block of line ends alone, what is left when a cut falls between them.
  if (text.find_first_not_of(" \t\r\n") == std::string::npos || OnlyUnsolicited(text)) return false;
  const std::string reply = WithoutUnsolicited(text);
  if (ReplyState == rsAnswer) noteAnswer(reply);
  if (Contains(reply, "ERROR")) {
    handleError();
  } else {
    if (ReplyState == rsCallerId && Contains(reply, "OK")) simWorks();
    interpretByState(reply);
  }
  return true;
}

// The SIM's state is read from whatever says it, the modem's own reports
// and error codes included; the rest only from the answer to its query. An
// error in answer to a query leaves that part unknown.
void Dialogue::noteHealth(const std::string& text) {
  bool answered = false;
  if (const auto sim = SimStateIn(text)) {
    Health.Sim = *sim;
    answered = true;
    if (*sim == SimState::kReady) simWorks();
  }
  if (const auto network = RegistrationIn(text)) {
    Health.Network = *network;
    answered = true;
  }
  if (const auto signal = SignalIn(text)) {
    Health.Signal = *signal;
    answered = true;
  }
  const bool query = ReplyState == rsSim || ReplyState == rsNetwork || ReplyState == rsSignal;
  if (query && Contains(text, "ERROR")) {
    answered = true;
    if (ReplyState == rsNetwork) Health.Network = Registration::kUnknown;
    if (ReplyState == rsSignal) Health.Signal = 99;
    if (ReplyState == rsSim && !SimStateIn(text)) Health.Sim = SimState::kUnknown;
  }
  if (!answered) return;
  Health.Answered = true;
  Health.LastAnswerTick = now();
  Health.LastAnswerTime = clock_.Now();
  Guarded([&] { host_.HealthUpdated(); });
}

// An error because the SIM cannot work would come back after every restart:
// the modem is left as it is and the start-up tried again each minute, until
// the SIM is ready. A PIN is never sent.
void Dialogue::handleError() {
  if (SimCannotWork(Health.Sim)) {
    lockForSim();
    return;
  }
  if (errorStartsRecovery()) queueRecovery();
}

void Dialogue::lockForSim() {
  if (simLocked_) return;
  simLocked_ = true;
  simLockedSince_ = now();
  Guarded([&] { host_.HealthUpdated(); });
}

void Dialogue::simWorks() {
  if (!simLocked_) return;
  simLocked_ = false;
  if (!SimCannotWork(Health.Sim)) Health.Sim = SimState::kReady;
  Guarded([&] { host_.HealthUpdated(); });
}

void Dialogue::retryStartForSim() {
  if (!simLocked_ || !ModemActive || now() - simLockedSince_ < kSimRetryMs) return;
  simLockedSince_ = now();
  AppendMissing(CommandQueue, kStartupEntries);
  if (HealthQueries) AppendMissing(CommandQueue, kHealthEntries);
}

void Dialogue::interpretByState(const std::string& replyText) {
  const bool ok = Contains(replyText, "OK");
  switch (ReplyState) {
    case rsCommand:
      if (ok) host_.AppendLogView("OK");
      break;
    case rsEcho:
      host_.AppendLogView(common::ToCp1251(ok ? "режим эхо выключен" : "режим эхо включен"));
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
    host_.AppendLogView(common::ToCp1251("Производитель: не удалось определить"));
    return;
  }
  ModemManufacturer = ExtractLine(replyText);
  Guarded([&] { host_.WriteSystemLog(Marked("<!", ModemManufacturer)); });
  host_.AppendLogView(common::ToCp1251("Производитель: ") + ModemManufacturer);
}

void Dialogue::showModel(const std::string& replyText) {
  if (Contains(replyText, "OK")) {
    ModemModel = ExtractLine(replyText);
    host_.AppendLogView(common::ToCp1251("Модель: ") + ModemModel);
  } else {
    host_.AppendLogView(common::ToCp1251("Модель: не удалось определить"));
  }
  host_.WriteSystemLog(Marked("<!", ModemModel));
}

// "OK" to ATA: the call is up, and a caller-identification line after it
// is a new call. Anything else (ERROR when the caller gave up, NO CARRIER on
// a modem without voice): no tone can be sent on a call that is not up, so
// only the hang-up is left to end the ringing.
void Dialogue::noteAnswer(const std::string& replyText) {
  if (!call_) return;
  if (Contains(replyText, "OK")) {
    call_->answered = true;
    return;
  }
  const auto tone = std::find(CommandQueue.begin(), CommandQueue.end(), kToneEntry);
  if (tone != CommandQueue.end()) CommandQueue.erase(tone);
}

// A call that cannot be answered restarts the modem at most once, however
// many of its commands fail; an optional command or a query never does.
bool Dialogue::errorStartsRecovery() {
  const std::optional<CommandTag> tag = TagOfState(ReplyState);
  if (!tag) return true;
  switch (tag->onError) {
    case OnError::kIgnore:
      return false;
    case OnError::kRecoverPerCall:
      if (!call_) return true;
      if (call_->recovered) return false;
      call_->recovered = true;
      return true;
    case OnError::kRecover:
      break;
  }
  return true;
}

void Dialogue::queueRecovery() {
  Guarded([&] { host_.DrawModemIndicator(); });
  // Without this a modem that answers everything with "ERROR" would grow
  // the queue by a whole recovery per reply.
  std::erase_if(CommandQueue, [](const std::string& entry) {
    return std::find(kRecoveryEntries.begin(), kRecoveryEntries.end(), entry) != kRecoveryEntries.end();
  });
  CommandQueue.insert(CommandQueue.begin(), kRecoveryEntries.begin(), kRecoveryEntries.end());
}

void Dialogue::insertAtFront(std::initializer_list<std::string_view> entries) {
  CommandQueue.insert(CommandQueue.begin(), entries.begin(), entries.end());
}

// Nothing that fails here may lose the call: the log writers, the settings
// and the link are each absorbed on their own, and what cannot be sent is
// spooled.
bool Dialogue::handleCall(const std::string& replyText) {
  Guarded([&] { host_.WriteSystemLog(Marked("<!", replyText)); });
  const std::string number = ExtractNumberText(replyText);
  if (isRepeatOfRingingCall(number, now())) {
    call_->lastSeen = now();
    Guarded([&] { host_.AppendLogView(common::ToCp1251("Входящий звонок - ") + number + common::ToCp1251(" (повтор)")); });
    return false;
  }
  call_ = RingingCall{number, now()};
  insertAtFront({kAnswerEntry, kToneEntry, kHangUpEntry});
  Guarded([&] { host_.AppendLogView(common::ToCp1251("Входящий звонок - ") + number); });

  CallSettings settings;
  Guarded([&] { settings = host_.CurrentCallSettings(); });
  CallEvent event;
  event.PhoneNumber = PhoneNumberFrom(number, settings.NumberS);
  event.ObjectCode = settings.Code;
  event.EventTime = clock_.Now();
  deliver(event.Encode(), settings.PathForSoob);
  return true;
}

bool Dialogue::isRepeatOfRingingCall(const std::string& number, uint32_t at) const {
  return call_ && !call_->answered && call_->number == number && at - call_->lastSeen <= kRepeatWindowMs;
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
  const std::string line = common::ToCp1251("Не удалось записать событие в файл ") + spooled.Path;
  Guarded([&] { host_.AppendLogView(line); });
  Guarded([&] { host_.WriteSystemLog(line); });
  // With no file to hold it, the link's queue is the last place the event
  // can wait: it goes out once the server is back, and is spooled again at
  // close if it is still there.
  if (!connected) Guarded([&] { host_.SendCallEvent(event); });
}

}  // namespace modem
