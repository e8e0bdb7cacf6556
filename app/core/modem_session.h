#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/logs.h"
#include "app/core/settings.h"
#include "common/datetime.h"
#include "common/ticks.h"
#include "common/timer.h"
#include "link/frame.h"
#include "link/link_thread.h"
#include "modem/dialogue.h"
#include "modem/health.h"
#include "serial/serial_port_driver.h"

namespace app {

// What the session shows through the window. Texts are Windows-1251 bytes.
class SessionView {
 public:
  virtual ~SessionView() = default;
  // One new last line in the log view.
  virtual void AppendLogView(std::string_view text) = 0;
  // Keep at most 35 displayed lines.
  virtual void TrimLogView() = 0;
  // The port list holds only this name, selected.
  virtual void ShowConfiguredPort(const std::string& comName) = 0;
  // stopOffered: the start/stop control offers the stop, and the port list
  // and the scan are closed to the operator; otherwise the start is offered.
  virtual void ShowRunningLayout(bool stopOffered) = 0;
  // healthy false: the modem answers, but the station cannot receive calls.
  virtual void DrawModemIndicator(bool active, int32_t phase, bool healthy) = 0;
  // The modem's health in one line; empty when it is not asked for.
  // warning: the station cannot receive calls.
  virtual void ShowHealth(const std::string& line, bool warning) = 0;
};

// What the session needs of the link thread. The thread starts after the
// session, so every call must also work while there is none.
class SessionLink {
 public:
  virtual ~SessionLink() = default;
  virtual bool Connected() const = 0;
  // False when the frame was refused (queue full, or no link).
  virtual bool SendFrame(int32_t frameType, const serverlink::Bytes& payload) = 0;
  // Call events not yet known to have reached the server.
  virtual std::vector<serverlink::Bytes> QueuedCallEvents() const = 0;
  // No more connection attempts, then the thread leaves its loop.
  virtual void Stop() = 0;
};

// SessionLink over the program's link thread, once there is one.
class ThreadLink : public SessionLink {
 public:
  void Attach(serverlink::cl* link) { link_ = link; }
  bool Connected() const override;
  bool SendFrame(int32_t frameType, const serverlink::Bytes& payload) override;
  std::vector<serverlink::Bytes> QueuedCallEvents() const override;
  void Stop() override;

 private:
  serverlink::cl* link_ = nullptr;
};

struct SessionEnvironment {
  SessionView* View = nullptr;
  SessionLink* Link = nullptr;
  const common::Clock* Clock = nullptr;        // wall time: events, logs, spool names
  const common::TickSource* Ticks = nullptr;   // the serial driver's packet rule
  serial::PollTimer* PollTimer = nullptr;      // drives SerialPort1's PollTick
  serial::InputWatcher* PortWatcher = nullptr; // wakes SerialPort1's DeviceReadable
  common::PeriodicTimer* Timer3 = nullptr;     // the dispatcher's 50 ms tick
  common::PeriodicTimer* Timer1 = nullptr;     // the 30-second re-arm tick
  common::PeriodicTimer* RetryTimer = nullptr; // looks for a lost port again
  // Runs work once the handler in progress has returned (the driver reports
  // a lost port from inside its own poll tick or write; the dispatcher's
  // first tick after a rest).
  std::function<void(std::function<void()> work)> Post;
  std::string ProgramDir;  // ends in '/'
  unsigned PortRetryMs = 5000;
};

enum class StartResult {
  kNoSettings,  // the settings file is missing: the program must end
  kNotStarted,  // no port named, or it could not be opened
  kStarted,
};

// The life of the modem: settings, logs, the serial port and the dialogue,
// from a start to a stop, a lost port and its return, to the close. Runs on
// the UI thread; only Snapshot may be called from the link thread.
class ModemSession : private modem::DialogueHost {
 public:
  explicit ModemSession(SessionEnvironment env);
  ModemSession(const ModemSession&) = delete;
  ModemSession& operator=(const ModemSession&) = delete;

  // Reads the settings and, when a port is named, opens it and starts the
  // dialogue.
  StartResult StartModem();
  // The operator's start on the chosen port: Com is written back first.
  // Throws SettingsWriteError when it cannot be; kNotStarted (nothing
  // tried) when the name is empty or the file missing.
  StartResult StartOn(const std::string& comName);
  // The operator's confirmed stop.
  void Stop();
  // The ftModemStatus frame of the port name and the running flag as they are.
  void SendModemStatus();
  // Port closed, the link told to stop, call events still queued for the
  // server spooled. Nothing runs after it.
  void Close();

  // The port names that can be opened now.
  std::vector<std::string> ScanPorts() const;

  // The handlers of the window's timers and of the port.
  void Timer3Timer();
  void Timer1Timer();
  void SerialPort1ReceivePacket(const uint8_t* Packet, uint32_t DataSize);
  void RetryPort();

  // True while the start/stop control offers the stop: after startup,
  // whether or not the start succeeded, and after a start by the operator.
  bool StopOffered() const { return stopOffered_; }
  bool WaitingForPort() const { return waitingForPort_; }
  bool Closing() const { return closing_; }
  const Settings& CurrentSettings() const { return settings_; }
  modem::Dialogue& Dialogue() { return dialogue_; }
  serial::TSerialPortDriver& SerialPort1() { return serialPort_; }
  Logs& SessionLogs() { return logs_; }

  // The modem indicator as the dialogue and the health have it now.
  void DrawModemIndicator() override;

  // ComName and ModemActive as the link thread may read them.
  serverlink::ModemSnapshot Snapshot() const;

 private:
  // DialogueHost
  bool SendText(std::string_view bytes) override;
  bool WriteOperatorLog(std::string_view text) override;
  bool WriteSystemLog(std::string_view text) override;
  void AppendLogView(std::string_view text) override;
  void TrimLogView() override;
  void SetTimer1Enabled(bool enabled) override;
  void HealthUpdated() override;
  bool LinkConnected() override;
  bool SendCallEvent(const modem::CallEventBytes& event) override;
  modem::CallSettings CurrentCallSettings() override;

  bool OpenConfiguredPort();
  void ReportRefusedOpen();
  void StartDialogue();
  void JudgeHealth();
  void WriteChangeLine(const std::string& text);
  void Disconnect();
  void PortLost();
  void StopWaitingForPort();
  void SpoolQueuedCallEvents();
  void PublishSnapshot();
  void ScheduleDispatcher();

  SessionEnvironment env_;
  Logs logs_;
  Settings settings_;
  serial::TSerialPortDriver serialPort_;
  modem::Dialogue dialogue_;
  uint32_t startedAt_ = 0;  // tick of the last start of the dialogue
  modem::HealthVerdict verdict_;
  bool simLockShown_ = false;
  bool stopOffered_ = true;
  bool waitingForPort_ = false;
  bool closing_ = false;
  bool timer3Running_ = false;
  bool tickPosted_ = false;

  mutable std::mutex snapshotMutex_;
  serverlink::ModemSnapshot snapshot_;  // guarded by snapshotMutex_
};

}  // namespace app
