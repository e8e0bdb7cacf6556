#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/datetime.h"
#include "common/ticks.h"
#include "modem/call_event.h"
#include "modem/health.h"

namespace modem {

// What the window gives the modem dialogue. All texts are Windows-1251 bytes.
class DialogueHost {
 public:
  virtual ~DialogueHost() = default;
  // SendText of the serial driver.
  virtual bool SendText(std::string_view bytes) = 0;
  // The log writers; false when the line could not be written. The dialogue
  // carries on either way.
  virtual bool WriteOperatorLog(std::string_view text) = 0;
  virtual bool WriteSystemLog(std::string_view text) = 0;
  // One new last line in the log view.
  virtual void AppendLogView(std::string_view text) = 0;
  // First step of Timer1Timer: keep at most 35 displayed lines.
  virtual void TrimLogView() = 0;
  virtual void DrawModemIndicator() = 0;
  virtual void SetTimer1Enabled(bool enabled) = 0;
  // The link: Connected, and SendFrame(ftCallEvent, ...) with its verdict.
  virtual bool LinkConnected() = 0;
  virtual bool SendCallEvent(const CallEventBytes& event) = 0;
  virtual CallSettings CurrentCallSettings() = 0;
  // Health or SimLocked changed.
  virtual void HealthUpdated() {}
};

// What the packet in hand answers: set from the tag of the command sent
// last, so a late reply is read under the command sent after it.
enum ReplyStateCode : int32_t {
  rsCommand = 0,       // AT, ATZ, AT+CFUN=1,1
  rsEcho = 1,          // ATE0
  rsErrorFormat = 4,   // AT+CMEE=1
  rsManufacturer = 2,  // AT+CGMI
  rsModel = 3,         // AT+CGMM
  rsStorage = 5,       // AT+CPMS?
  rsAnswer = 70,       // ATA
  rsTone = 71,         // AT+VTS=1
  rsHangUp = 74,       // ATH
  rsVoiceHangUp = 75,  // AT+CVHU=0
  rsCallerId = 77,     // AT+CLIP=1
  rsSim = 80,          // AT+CPIN?
  rsNetwork = 81,      // AT+CREG?
  rsSignal = 82,       // AT+CSQ
};

// The modem dialogue of the main window: the command queue and its
// dispatcher, reply handling and incoming calls. Runs on the UI thread only.
class Dialogue {
 public:
  // The clock gives the wall time of events and log lines; every wait of
  // the dialogue is measured on the ticks, so a step of the wall clock
  // neither stretches nor cuts one.
  Dialogue(DialogueHost& host, const common::Clock& clock, const common::TickSource& ticks);

  std::deque<std::string> CommandQueue;
  bool AwaitingReply = false;
  uint32_t CommandSentAt = 0;  // tick of the last command written
  int32_t ReplyState = rsCommand;  // a ReplyStateCode
  bool ModemActive = false;
  int32_t PacketCounter = 0;
  std::string ModemManufacturer;
  std::string ModemModel;
  // Ask the SIM, the network and the signal after the start-up and with
  // every re-arm. Set before StartDialogue.
  bool HealthQueries = true;
  ModemHealth Health;
  // The SIM cannot work (PIN, PUK, missing): no restart, the start-up is
  // tried again each minute.
  bool SimLocked() const { return simLocked_; }

  void Timer3Timer();
  // Whether Timer3Timer has anything to do: a command to send, a reply to
  // wait for, a held caller-identification line, a SIM retry. A tick while
  // this is false changes nothing, so the tick may rest until it is true.
  bool NeedsTicks() const;
  void Timer1Timer();
  void StartDialogue();
  void StopDialogue();
  void SerialPort1ReceivePacket(const uint8_t* Packet, uint32_t DataSize);

 private:
  // The call that rings now: the +CLIP: lines a modem repeats while a call
  // rings unanswered belong to it, not to new calls.
  struct RingingCall {
    std::string number;      // as read from the line
    uint32_t lastSeen = 0;   // tick of its last caller-identification line
    bool answered = false;   // "OK" to ATA
    bool recovered = false;  // an error reply to its commands restarted the modem
  };

  void expireWait();
  void releaseHeldLine();
  void dispatchFront();
  void receive(const uint8_t* packet, uint32_t size, std::string& replyText);
  std::string completeCallerIdLine(std::string replyText);
  void handleBlock(const std::string& block);
  bool interpret(const std::string& text);
  void interpretByState(const std::string& replyText);
  void showManufacturer(const std::string& replyText);
  void showModel(const std::string& replyText);
  void noteAnswer(const std::string& replyText);
  void noteHealth(const std::string& text);
  void handleError();
  void lockForSim();
  void simWorks();
  void retryStartForSim();
  bool errorStartsRecovery();
  void queueRecovery();
  // True for a new call, false for a repeat of the ringing one.
  bool handleCall(const std::string& replyText);
  bool isRepeatOfRingingCall(const std::string& number, uint32_t now) const;
  void deliver(const CallEventBytes& event, const std::string& pathForSoob);
  void insertAtFront(std::initializer_list<std::string_view> entries);
  uint32_t now() const { return ticks_.Ticks(); }

  DialogueHost& host_;
  const common::Clock& clock_;
  const common::TickSource& ticks_;
  std::string heldLine_;     // the unfinished caller-identification line
  std::string openLine_;     // the last line of the last block, still without its end
  uint32_t heldSince_ = 0;   // tick at which it was first held
  std::optional<RingingCall> call_;
  bool simLocked_ = false;
  uint32_t simLockedSince_ = 0;
};

}  // namespace modem
