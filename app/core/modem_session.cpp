#include "app/core/modem_session.h"

#include <algorithm>

#include "common/cp1251.h"
#include "modem/spool.h"
#include "serial/port_discovery.h"

static_assert(modem::kCallEventFrameType == static_cast<uint32_t>(serverlink::ftCallEvent));

namespace app {
namespace {

using common::ToCp1251;

constexpr unsigned kTimer1PeriodMs = 30000;
constexpr unsigned kTimer3PeriodMs = 50;
// A station whose modem says nothing of its health for this long cannot be
// trusted to receive calls.
constexpr uint32_t kHealthSilenceMs = 120000;

}  // namespace

// ---- ThreadLink ------------------------------------------------------------

bool ThreadLink::Connected() const { return link_ && link_->Connected.load(); }

bool ThreadLink::SendFrame(int32_t frameType, const serverlink::Bytes& payload) {
  return link_ && link_->SendFrame(frameType, payload);
}

std::vector<serverlink::Bytes> ThreadLink::QueuedCallEvents() const {
  if (!link_) return {};
  return link_->QueuedCallEvents();
}

void ThreadLink::Stop() {
  if (!link_) return;
  link_->AllowReconnect(false);
  link_->RequestStop();
}

// ---- ModemSession ----------------------------------------------------------

ModemSession::ModemSession(SessionEnvironment env)
    : env_(std::move(env)),
      logs_(*env_.Clock),
      serialPort_(*env_.PollTimer, *env_.PortWatcher, *env_.Ticks),
      dialogue_(*this, *env_.Clock, *env_.Ticks) {
  // The port as the window has always set it up.
  serialPort_.SetPort(serial::pnCustom);
  serialPort_.SetPacketSize(256);
  serialPort_.SetPacketTimeout(200);
  serialPort_.SetPacketMode(serial::pmPass);
  serialPort_.SetPollingDelay(5);
  serialPort_.SetOutputTimeout(200);
  serialPort_.OnReceivePacket = [this](serial::TSerialPortDriver*, const uint8_t* packet, uint32_t size) {
    SerialPort1ReceivePacket(packet, size);
  };
  // The driver reports from inside its poll tick or a write; the port is
  // given up once that has returned.
  serialPort_.OnPortLost = [this] { env_.Post([this] { PortLost(); }); };
}

StartResult ModemSession::StartModem() {
  if (!ReadSettings(env_.ProgramDir, settings_)) return StartResult::kNoSettings;
  logs_.LogOn = settings_.LogOn;
  logs_.Syslog = settings_.Syslog;
  logs_.LogPath = settings_.LogPath;

  env_.View->ShowConfiguredPort(settings_.ComName);
  if (settings_.ComName.empty()) return StartResult::kNotStarted;
  try {
    if (!OpenConfiguredPort()) {
      ReportRefusedOpen();
      return StartResult::kNotStarted;
    }
  } catch (...) {
    AppendLogView(ToCp1251("Не удается открыть порт ") + settings_.ComName);
    return StartResult::kNotStarted;
  }
  StartDialogue();
  stopOffered_ = true;
  env_.View->ShowRunningLayout(true);
  PublishSnapshot();
  return StartResult::kStarted;
}

StartResult ModemSession::StartOn(const std::string& comName) {
  settings_.ComName = comName;
  if (!WriteComSetting(env_.ProgramDir, comName)) return StartResult::kNotStarted;
  return StartModem();
}

// A device that is simply absent says nothing, as it always did; a port
// that another program (or a second copy of this one) holds, or that the
// account may not open, is a mistake the operator can mend.
void ModemSession::ReportRefusedOpen() {
  switch (serialPort_.LastOpenError()) {
    case serial::OpenError::kBusy:
      AppendLogView(ToCp1251("Порт ") + settings_.ComName + ToCp1251(" занят другой программой: модем не запущен"));
      break;
    case serial::OpenError::kDenied:
      AppendLogView(ToCp1251("Нет доступа к порту ") + settings_.ComName + ToCp1251(" (нужна группа dialout): модем не запущен"));
      break;
    default:
      break;
  }
}

void ModemSession::StartDialogue() {
  dialogue_.HealthQueries = settings_.Health;
  startedAt_ = env_.Ticks->Ticks();
  verdict_ = {};
  simLockShown_ = false;
  dialogue_.StartDialogue();
  JudgeHealth();
  ScheduleDispatcher();
}

bool ModemSession::OpenConfiguredPort() {
  serialPort_.SetPortName(DevicePathFor(env_.ProgramDir, settings_.ComName));
  serialPort_.SetBaudRateValue(static_cast<uint32_t>(settings_.Speed));
  return serialPort_.OpenPort();
}

// A stop of a start that never opened the port, or of a port that was lost
// and is looked for, has nothing to close.
void ModemSession::Stop() {
  StopWaitingForPort();
  if (dialogue_.ModemActive) {
    dialogue_.StopDialogue();
    Disconnect();
    DrawModemIndicator();
  }
  ScheduleDispatcher();
  env_.View->ShowHealth("", false);
  stopOffered_ = false;
  env_.View->ShowRunningLayout(false);
  PublishSnapshot();
}

void ModemSession::Disconnect() {
  AppendLogView(ToCp1251("Отключились."));
  serialPort_.ClosePort();
  env_.Timer1->Stop();
}

void ModemSession::SendModemStatus() {
  env_.Link->SendFrame(serverlink::ftModemStatus,
                       serverlink::BuildModemStatus(settings_.ComName, dialogue_.ModemActive));
}

std::vector<std::string> ModemSession::ScanPorts() const {
  const std::string& dir = env_.ProgramDir;
  return serial::ScanPorts([&dir](int n) { return ComDevicePath(dir, n); });
}

void ModemSession::Close() {
  if (closing_) return;
  closing_ = true;
  StopWaitingForPort();
  if (serialPort_.IsOpen()) serialPort_.ClosePort();
  env_.Link->Stop();
  dialogue_.CommandQueue.clear();
  env_.Timer1->Stop();
  ScheduleDispatcher();
  SpoolQueuedCallEvents();
}

void ModemSession::SpoolQueuedCallEvents() {
  // The link thread may still write one of these at this moment: the server
  // then gets it twice, which beats losing it.
  for (const auto& payload : env_.Link->QueuedCallEvents()) {
    if (payload.size() != modem::kCallEventSize) continue;
    modem::CallEventBytes event{};
    std::copy(payload.begin(), payload.end(), event.begin());
    const auto result = modem::WriteSpoolFile(settings_.PathForSoob, env_.Clock->Now(), event);
    if (!result.Ok) logs_.WriteSystemLog(ToCp1251("Не удалось записать событие в файл ") + result.Path);
  }
}

void ModemSession::Timer3Timer() {
  dialogue_.Timer3Timer();
  PublishSnapshot();
  ScheduleDispatcher();
}

void ModemSession::Timer1Timer() {
  dialogue_.Timer1Timer();
  JudgeHealth();  // the silence rule needs a clock, not an answer
  ScheduleDispatcher();
}

void ModemSession::SerialPort1ReceivePacket(const uint8_t* Packet, uint32_t DataSize) {
  dialogue_.SerialPort1ReceivePacket(Packet, DataSize);
  PublishSnapshot();
  ScheduleDispatcher();
}

// Timer3 ticks only while the dialogue has something to do, since a tick
// without work changes nothing. Work that comes while it rests (the re-arm,
// a call's answer, a recovery, a start) gets its first tick at once, once
// the handler in progress has returned, so a command goes out no later than
// it would under a tick that never stops.
void ModemSession::ScheduleDispatcher() {
  if (closing_ || !dialogue_.NeedsTicks()) {
    if (timer3Running_) env_.Timer3->Stop();
    timer3Running_ = false;
    return;
  }
  if (timer3Running_) return;
  timer3Running_ = true;
  env_.Timer3->Start(kTimer3PeriodMs);
  if (tickPosted_) return;
  tickPosted_ = true;
  env_.Post([this] {
    tickPosted_ = false;
    if (!closing_) Timer3Timer();
  });
}

// The device went away (unplugged, reset): the dialogue stops, and the same
// device path is tried again every few seconds until it is back.
void ModemSession::PortLost() {
  if (!serialPort_.IsOpen()) return;  // stopped or closed meanwhile
  AppendLogView(ToCp1251("Связь с портом ") + settings_.ComName + ToCp1251(" потеряна."));
  if (dialogue_.ModemActive) dialogue_.StopDialogue();
  serialPort_.ClosePort();
  env_.Timer1->Stop();
  ScheduleDispatcher();
  DrawModemIndicator();
  env_.View->ShowHealth("", false);
  PublishSnapshot();
  SendModemStatus();
  waitingForPort_ = true;
  env_.RetryTimer->Start(env_.PortRetryMs);
}

void ModemSession::RetryPort() {
  if (!waitingForPort_) return;
  bool opened = false;
  try {
    opened = OpenConfiguredPort();
  } catch (...) {
    opened = false;
  }
  if (!opened) return;
  StopWaitingForPort();
  AppendLogView(ToCp1251("Порт ") + settings_.ComName + ToCp1251(" снова доступен."));
  StartDialogue();
  PublishSnapshot();
  SendModemStatus();
}

void ModemSession::StopWaitingForPort() {
  waitingForPort_ = false;
  env_.RetryTimer->Stop();
}

void ModemSession::PublishSnapshot() {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  snapshot_.ComName = settings_.ComName;
  snapshot_.ModemActive = dialogue_.ModemActive;
}

serverlink::ModemSnapshot ModemSession::Snapshot() const {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return snapshot_;
}

// ---- DialogueHost ------------------------------------------------------------

bool ModemSession::SendText(std::string_view bytes) { return serialPort_.SendText(bytes); }

bool ModemSession::WriteOperatorLog(std::string_view text) { return logs_.WriteOperatorLog(text); }

bool ModemSession::WriteSystemLog(std::string_view text) { return logs_.WriteSystemLog(text); }

void ModemSession::AppendLogView(std::string_view text) { env_.View->AppendLogView(text); }

void ModemSession::TrimLogView() { env_.View->TrimLogView(); }

void ModemSession::DrawModemIndicator() {
  env_.View->DrawModemIndicator(dialogue_.ModemActive, dialogue_.PacketCounter, verdict_.CanReceiveCalls);
}

void ModemSession::HealthUpdated() { JudgeHealth(); }

// Shows the health and writes a line when the station stops or starts
// being able to receive calls; a state that stays writes nothing. The SIM
// that keeps the modem from its start-up is said once, whether or not the
// health is asked for.
void ModemSession::JudgeHealth() {
  if (!dialogue_.ModemActive) return;
  if (dialogue_.SimLocked() && !simLockShown_) {
    const std::string reason = modem::Judge(dialogue_.Health, false).Reason;
    WriteChangeLine(reason + ToCp1251(": модем не перезапускается, запуск повторяется раз в минуту"));
  }
  simLockShown_ = dialogue_.SimLocked();
  if (!settings_.Health) return;

  const modem::ModemHealth& health = dialogue_.Health;
  const uint32_t since = health.Answered ? health.LastAnswerTick : startedAt_;
  const bool silent = env_.Ticks->Ticks() - since > kHealthSilenceMs;
  const modem::HealthVerdict verdict = modem::Judge(health, silent);
  if (verdict.CanReceiveCalls != verdict_.CanReceiveCalls) {
    WriteChangeLine(verdict.CanReceiveCalls ? ToCp1251("Станция снова может принимать звонки")
                                            : ToCp1251("Станция не может принимать звонки: ") + verdict.Reason);
  }
  verdict_ = verdict;
  env_.View->ShowHealth(modem::HealthLine(health), !verdict.CanReceiveCalls);
  DrawModemIndicator();
}

// In the log view and the system log with its time; the operator log puts
// its own in front.
void ModemSession::WriteChangeLine(const std::string& text) {
  const std::string stamped = DateTimeText(env_.Clock->Now()) + " " + text;
  AppendLogView(stamped);
  logs_.WriteOperatorLog(text);
  logs_.WriteSystemLog(stamped);
}

void ModemSession::SetTimer1Enabled(bool enabled) {
  if (enabled) {
    env_.Timer1->Start(kTimer1PeriodMs);
  } else {
    env_.Timer1->Stop();
  }
}

bool ModemSession::LinkConnected() { return env_.Link->Connected(); }

bool ModemSession::SendCallEvent(const modem::CallEventBytes& event) {
  return env_.Link->SendFrame(serverlink::ftCallEvent, serverlink::Bytes(event.begin(), event.end()));
}

modem::CallSettings ModemSession::CurrentCallSettings() {
  return modem::CallSettings{settings_.Code, settings_.NumberS, settings_.PathForSoob};
}

}  // namespace app
