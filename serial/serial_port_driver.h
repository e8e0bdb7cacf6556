#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/ticks.h"
#include "common/timer.h"
#include "serial/exclusive_device.h"
#include "serial/input_watcher.h"
#include "serial/packet_assembler.h"

namespace serial {

enum TPortNumber : int {
  pnCustom = 0,
  pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8,
  pnCOM9, pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};
enum TBaudRate : int {
  brCustom = 0, br110, br300, br600, br1200, br2400, br4800, br9600,
  br14400, br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum TDataBits : int { db5BITS = 0, db6BITS, db7BITS, db8BITS };
enum TStopBits : int { sb1BITS = 0, sb1HALFBITS, sb2BITS };
enum TParity : int { ptNONE = 0, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl : int { hfNONE = 0, hfNONERTSON, hfRTSCTS, hfRTSTOG };
enum TSwFlowControl : int { sfNONE = 0, sfXONXOFF };

struct ModemLineSet {
  bool CtsOn = false;
  bool DsrOn = false;
  bool RingOn = false;
  bool RlsdOn = false;
  bool Empty() const { return !CtsOn && !DsrOn && !RingOn && !RlsdOn; }
};

// The periodic timer that drives PollTick while a partial packet waits for
// its time-out. It must tick on the thread that owns the driver (the UI
// thread in the program); tests tick by hand.
using PollTimer = common::PeriodicTimer;

class TSerialPortDriver;
// The bytes are valid only during the call: they live in ReceiveBuffer.
using TReceivePacketEvent = std::function<void(TSerialPortDriver* Sender, const uint8_t* Packet, uint32_t DataSize)>;
using TReceiveDataEvent = std::function<void(TSerialPortDriver* Sender, const uint8_t* DataPtr, uint32_t DataSize)>;

// One thread: everything, handlers included, runs on the thread that ticks
// the PollTimer and runs the InputWatcher's handler. The device is read as
// its bytes come (DeviceReadable); the timer runs only while a partial
// packet waits for its time-out. The timer, the watcher and the tick source
// must outlive the driver.
class TSerialPortDriver {
 public:
  TSerialPortDriver(PollTimer& timer, InputWatcher& watcher, const common::TickSource& ticks);
  ~TSerialPortDriver();
  TSerialPortDriver(const TSerialPortDriver&) = delete;
  TSerialPortDriver& operator=(const TSerialPortDriver&) = delete;

  // Persisted properties, each assignment following its rule.
  TPortNumber Port() const { return port_; }
  void SetPort(TPortNumber value);
  const std::string& PortName() const { return portName_; }
  void SetPortName(const std::string& value);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  uint32_t BaudRateValue() const { return baudRateValue_; }
  void SetBaudRateValue(uint32_t value);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  THwFlowControl HwFlow() const { return hwFlow_; }
  void SetHwFlow(THwFlowControl value);
  TSwFlowControl SwFlow() const { return swFlow_; }
  void SetSwFlow(TSwFlowControl value);
  uint32_t InBufSize() const { return inBufSize_; }
  void SetInBufSize(uint32_t value);
  uint32_t OutBufSize() const { return outBufSize_; }
  void SetOutBufSize(uint32_t value);
  int16_t PacketSize() const { return packetSize_; }
  void SetPacketSize(int32_t value);
  int32_t PacketTimeout() const { return packetTimeout_; }
  void SetPacketTimeout(int32_t value);
  TPacketMode PacketMode() const { return packetMode_; }
  void SetPacketMode(TPacketMode value) { packetMode_ = value; }
  uint16_t PollingDelay() const { return pollingDelay_; }
  void SetPollingDelay(uint32_t value);
  bool EnableDTROnOpen() const { return enableDtrOnOpen_; }
  void SetEnableDTROnOpen(bool value) { enableDtrOnOpen_ = value; }
  uint16_t OutputTimeout() const { return outputTimeout_; }
  void SetOutputTimeout(uint16_t value) { outputTimeout_ = value; }
  bool CheckLineStatus() const { return checkLineStatus_; }
  void SetCheckLineStatus(bool value) { checkLineStatus_ = value; }

  TReceiveDataEvent OnReceiveData;
  TReceivePacketEvent OnReceivePacket;
  // Called once when an open device goes away (unplugged, peer closed).
  // The driver then reads and writes nothing but stays open until its
  // owner calls ClosePort; calling ClosePort from the handler is fine.
  std::function<void()> OnPortLost;

  bool OpenPort();
  // Why the last OpenPort failed (kNone after a success).
  OpenError LastOpenError() const { return lastOpenError_; }
  void ClosePort();
  bool IsOpen() const { return fd_ >= 0; }
  bool ApplyLineSettings();
  bool PurgeQueues(bool input, bool output);
  uint16_t OutputRoom();
  ModemLineSet ModemLines();
  uint32_t SendBytesWithin(const uint8_t* data, uint32_t count, uint32_t timeoutMs);
  uint32_t SendBytes(const uint8_t* data, uint32_t count);
  bool SendText(std::string_view text);
  uint32_t TransmitTime(TBaudRate rate, uint32_t count) const;
  // The poll timer's tick: reads whatever waits and runs the packet rule.
  void PollTick();
  // The watcher's handler: the device has input, hung up or failed.
  void DeviceReadable();

  // Internal state visible to tests.
  int64_t PacketStart() const { return assembler_.PacketStart(); }
  // Bytes read from the device that no packet has carried yet.
  uint32_t InputHeld() const { return assembler_.Held(); }
  int Handle() const { return fd_; }
  bool PortLost() const { return lost_; }

 private:
  std::optional<uint32_t> waitingInput();
  uint32_t readIntoAssembler(uint32_t count);
  uint32_t writeWithin10ms(const uint8_t* data, uint32_t count);
  void napWatchingForLoss();
  bool setModemControl(int bits, bool on);
  bool reportIfGone(int error);
  void reportLost();
  bool deliveryStopped() const { return !IsOpen() || lost_; }
  PacketRules packetRules() const;
  void serviceInput();
  void deliverReleased();
  void updatePolling();
  void startPolling();
  void stopPolling();
  void applyIfOpen();

  PollTimer& timer_;
  InputWatcher& watcher_;
  const common::TickSource& ticks_;
  TPortNumber port_ = pnCOM2;
  std::string portName_ = "\\\\.\\COM1";
  TBaudRate baudRate_ = br9600;
  uint32_t baudRateValue_ = 9600;
  TDataBits dataBits_ = db8BITS;
  TStopBits stopBits_ = sb1BITS;
  TParity parity_ = ptNONE;
  THwFlowControl hwFlow_ = hfNONERTSON;
  TSwFlowControl swFlow_ = sfNONE;
  uint32_t inBufSize_ = 2048;
  uint32_t outBufSize_ = 2048;
  int16_t packetSize_ = -1;
  int32_t packetTimeout_ = -1;
  TPacketMode packetMode_ = pmDiscard;
  uint16_t pollingDelay_ = 50;
  bool enableDtrOnOpen_ = true;
  uint16_t outputTimeout_ = 500;
  bool checkLineStatus_ = false;
  // ReceiveBuffer: what has been read and not yet delivered.
  PacketAssembler assembler_{inBufSize_};
  bool polling_ = false;  // the poll timer runs
  int fd_ = -1;
  std::string lockFile_;
  bool lost_ = false;
  OpenError lastOpenError_ = OpenError::kNone;
};

}  // namespace serial
