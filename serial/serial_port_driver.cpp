#include "serial/serial_port_driver.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>

#include "serial/exclusive_device.h"
#include "serial/line_termios.h"

namespace serial {
namespace {

constexpr uint32_t kMinBufSize = 128;
constexpr uint32_t kMaxBufSize = 8192;
constexpr uint32_t kMinPollingDelay = 5;
constexpr int kWriteWaitMs = 10;
// With no room in the output queue there is nothing to wait on but time;
// a short nap keeps SendBytesWithin from spinning until its time-out.
constexpr int kNoRoomNapMs = 1;

constexpr std::array<uint32_t, 16> kBaudRates{0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                              14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

uint32_t ClampBufSize(uint32_t value) { return std::clamp(value, kMinBufSize, kMaxBufSize); }

LineParity ToLineParity(TParity parity) {
  switch (parity) {
    case ptODD: return LineParity::Odd;
    case ptEVEN: return LineParity::Even;
    case ptMARK: return LineParity::Mark;
    case ptSPACE: return LineParity::Space;
    case ptNONE: break;
  }
  return LineParity::None;
}

}  // namespace

LineConfig LineConfigOf(const TSerialPortDriver& driver) {
  LineConfig config;
  config.baud = driver.BaudRateValue();
  config.dataBits = 5 + std::clamp(static_cast<int>(driver.DataBits()), 0, 3);
  config.twoStopBits = driver.StopBits() != sb1BITS;
  config.parity = ToLineParity(driver.Parity());
  config.rtsCts = driver.HwFlow() == hfRTSCTS;
  config.xonXoff = driver.SwFlow() == sfXONXOFF;
  return config;
}

TSerialPortDriver::TSerialPortDriver(PollTimer& timer, InputWatcher& watcher, const common::TickSource& ticks)
    : timer_(timer), watcher_(watcher), ticks_(ticks) {}

TSerialPortDriver::~TSerialPortDriver() { ClosePort(); }

// ---- properties ------------------------------------------------------------

void TSerialPortDriver::SetPort(TPortNumber value) {
  if (IsOpen() || value < pnCustom || value > pnCOM16) return;
  port_ = value;
  if (value != pnCustom) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(value));
    portName_ = name;
  }
}

void TSerialPortDriver::SetPortName(const std::string& value) {
  if (IsOpen()) return;
  portName_ = value;
  port_ = pnCustom;
}

void TSerialPortDriver::SetBaudRate(TBaudRate value) {
  if (value < brCustom || value > br256000) return;
  baudRate_ = value;
  if (value != brCustom) baudRateValue_ = kBaudRates[value];
  applyIfOpen();
}

void TSerialPortDriver::SetBaudRateValue(uint32_t value) {
  baudRateValue_ = value;
  baudRate_ = brCustom;
  applyIfOpen();
}

void TSerialPortDriver::SetDataBits(TDataBits value) {
  dataBits_ = value;
  applyIfOpen();
}

void TSerialPortDriver::SetStopBits(TStopBits value) {
  stopBits_ = value;
  applyIfOpen();
}

void TSerialPortDriver::SetParity(TParity value) {
  parity_ = value;
  applyIfOpen();
}

void TSerialPortDriver::SetHwFlow(THwFlowControl value) {
  hwFlow_ = value;
  applyIfOpen();
}

void TSerialPortDriver::SetSwFlow(TSwFlowControl value) {
  swFlow_ = value;
  applyIfOpen();
}

void TSerialPortDriver::SetInBufSize(uint32_t value) {
  if (IsOpen()) return;
  inBufSize_ = ClampBufSize(value);
  assembler_.SetCapacity(inBufSize_);
  SetPacketSize(packetSize_);  // a larger packet size raises the buffer again
}

void TSerialPortDriver::SetOutBufSize(uint32_t value) {
  if (IsOpen()) return;
  outBufSize_ = ClampBufSize(value);
}

// A packet must fit ReceiveBuffer. Above 8192 the size is clamped to 8192;
// while open the buffer cannot grow, so the size is clamped to InBufSize.
void TSerialPortDriver::SetPacketSize(int32_t value) {
  if (value <= 0) {
    packetSize_ = -1;
    updatePolling();
    return;
  }
  const auto size = std::min(static_cast<uint32_t>(value), kMaxBufSize);
  if (size > inBufSize_) {
    if (IsOpen()) {
      packetSize_ = static_cast<int16_t>(inBufSize_);
      return;
    }
    packetSize_ = static_cast<int16_t>(size);
    SetInBufSize(size);
    return;
  }
  packetSize_ = static_cast<int16_t>(size);
  updatePolling();
}

void TSerialPortDriver::SetPacketTimeout(int32_t value) {
  packetTimeout_ = value <= 0 ? -1 : value;
  updatePolling();
}

void TSerialPortDriver::SetPollingDelay(uint32_t value) {
  const auto delay = static_cast<uint16_t>(
      std::clamp<uint32_t>(value, kMinPollingDelay, std::numeric_limits<uint16_t>::max()));
  if (delay == pollingDelay_) return;
  pollingDelay_ = delay;
  if (polling_) timer_.Start(pollingDelay_);
}

void TSerialPortDriver::applyIfOpen() {
  if (IsOpen()) ApplyLineSettings();
}

// ---- open, close, line -------------------------------------------------------

bool TSerialPortDriver::OpenPort() {
  if (IsOpen()) return true;
  auto device = OpenExclusive(portName_, &lastOpenError_);
  if (!device) return false;
  fd_ = device->fd;
  lockFile_ = device->lockFile;
  lost_ = false;
  if (!ApplyLineSettings()) {
    ClosePort();
    lastOpenError_ = OpenError::kFailed;
    return false;
  }
  // Reads never wait by construction (O_NONBLOCK, VMIN 0, counted reads)
  // and each write polls at most 10 ms: there are no time-outs to set.
  // Nothing is polled while the line is quiet: the watcher wakes the driver
  // when bytes come or the device goes away.
  watcher_.Watch(fd_);
  return true;
}

// What was read and not yet delivered goes with the device, as the system's
// input queue would.
void TSerialPortDriver::ClosePort() {
  if (!IsOpen()) return;
  watcher_.Stop();
  stopPolling();
  assembler_.Purge();
  ExclusiveDevice device{fd_, lockFile_};
  CloseExclusive(device);
  fd_ = -1;
  lockFile_.clear();
  lost_ = false;
}

// Pseudo-terminals have no modem lines and answer ENOTTY; that is not a
// failure of the line, the lines are simply not there.
bool TSerialPortDriver::setModemControl(int bits, bool on) {
  if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
  return errno == ENOTTY;
}

bool TSerialPortDriver::ApplyLineSettings() {
  if (!IsOpen()) return false;
  // Rate 0 means "hang up" to termios, not a speed: refuse it like a device
  // refuses a rate it cannot make.
  if (baudRateValue_ == 0) return false;
  if (!WriteLineConfig(fd_, LineConfigOf(*this))) return false;
  if (!setModemControl(TIOCM_DTR, enableDtrOnOpen_)) return false;
  // Linux has no RTS toggle outside RS-485 mode; keeping RTS raised lets a
  // modem that watches it hear us. With CRTSCTS the kernel drives it.
  if (!setModemControl(TIOCM_RTS, hwFlow_ != hfNONE)) return false;
  // The kernel sizes its own queues; InBufSize and OutBufSize bound the
  // driver's reads and writes instead.
  return PurgeQueues(true, true);
}

bool TSerialPortDriver::PurgeQueues(bool input, bool output) {
  if (!IsOpen()) return false;
  if (input || output) {
    const int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    if (::tcflush(fd_, which) != 0) return false;
  }
  // The bytes read but not yet delivered belong to the input queue.
  if (input) {
    assembler_.Purge();
  } else {
    assembler_.ForgetStart();
  }
  updatePolling();
  return true;
}

uint16_t TSerialPortDriver::OutputRoom() {
  if (!IsOpen()) return 0;
  int queued = 0;
  if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) {
    reportIfGone(errno);
    return 0;
  }
  if (queued < 0) return 0;
  // More queued than OutBufSize (a USB adapter's own buffer) counts as full.
  if (static_cast<uint32_t>(queued) >= outBufSize_) return 0;
  return static_cast<uint16_t>(outBufSize_ - static_cast<uint32_t>(queued));
}

ModemLineSet TSerialPortDriver::ModemLines() {
  ModemLineSet lines;
  int status = 0;
  if (!IsOpen() || ::ioctl(fd_, TIOCMGET, &status) != 0) return lines;
  lines.CtsOn = (status & TIOCM_CTS) != 0;
  lines.DsrOn = (status & TIOCM_DSR) != 0;
  lines.RingOn = (status & TIOCM_RI) != 0;
  lines.RlsdOn = (status & TIOCM_CD) != 0;
  return lines;
}

// ---- device loss ---------------------------------------------------------------

// EIO is what a pseudo-terminal whose other side closed gives; a removed
// USB adapter gives EIO, ENXIO or ENODEV.
bool TSerialPortDriver::reportIfGone(int error) {
  if (error != EIO && error != ENXIO && error != ENODEV) return false;
  reportLost();
  return true;
}

// A device that hung up stays readable for ever: watching it on would wake
// the thread without end.
void TSerialPortDriver::reportLost() {
  if (lost_) return;
  lost_ = true;
  watcher_.Stop();
  stopPolling();
  if (OnPortLost) OnPortLost();
}

// ---- writing ---------------------------------------------------------------------

uint32_t TSerialPortDriver::writeWithin10ms(const uint8_t* data, uint32_t count) {
  pollfd pfd{fd_, POLLOUT, 0};
  if (::poll(&pfd, 1, kWriteWaitMs) <= 0) return 0;
  if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
    reportLost();
    return 0;
  }
  const ssize_t n = ::write(fd_, data, count);
  if (n > 0) return static_cast<uint32_t>(n);
  if (n < 0) reportIfGone(errno);
  return 0;
}

// A hang-up is reported even with no events asked for, so the nap also
// notices a device that went away.
void TSerialPortDriver::napWatchingForLoss() {
  pollfd pfd{fd_, 0, 0};
  if (::poll(&pfd, 1, kNoRoomNapMs) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) reportLost();
}

// The time-out measures time without progress, not the whole send: a long
// text on a slow line goes on as long as each write moves some bytes.
uint32_t TSerialPortDriver::SendBytesWithin(const uint8_t* data, uint32_t count, uint32_t timeoutMs) {
  uint32_t written = 0;
  if (!IsOpen()) return 0;
  uint32_t lastProgress = ticks_.Ticks();
  while (count > 0 && !deliveryStopped()) {
    const uint32_t room = OutputRoom();
    if (room > 0) {
      if (checkLineStatus_ && ModemLines().Empty()) break;
      const uint32_t n = writeWithin10ms(data, std::min(count, room));
      if (n > 0) {
        written += n;
        data += n;
        count -= n;
        lastProgress = ticks_.Ticks();
        continue;
      }
    } else {
      napWatchingForLoss();
    }
    if (ticks_.Ticks() - lastProgress > timeoutMs) break;
  }
  return written;
}

uint32_t TSerialPortDriver::SendBytes(const uint8_t* data, uint32_t count) {
  return SendBytesWithin(data, count, outputTimeout_);
}

bool TSerialPortDriver::SendText(std::string_view text) {
  if (text.empty()) return true;
  const auto count = static_cast<uint32_t>(text.size());
  return SendBytes(reinterpret_cast<const uint8_t*>(text.data()), count) == count;
}

// Ten bit times per byte, rounded to nearest with halves to even (the
// default floating-point rounding). A rate of 0 has no line time.
uint32_t TSerialPortDriver::TransmitTime(TBaudRate rate, uint32_t count) const {
  const bool tableRate = rate > brCustom && rate <= br256000;
  const uint32_t bitsPerSecond = tableRate ? kBaudRates[rate] : baudRateValue_;
  if (bitsPerSecond == 0) return 0;
  const double ms = std::nearbyint(count / (bitsPerSecond / 10.0) * 1000.0);
  if (ms >= static_cast<double>(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(ms);
}

// ---- reading and the packet rule -----------------------------------------------

// Nothing is read on counts the query did not deliver; a device that went
// away is reported once and then left alone.
std::optional<uint32_t> TSerialPortDriver::waitingInput() {
  pollfd pfd{fd_, POLLIN, 0};
  if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
    reportLost();
    return std::nullopt;
  }
  int waiting = 0;
  if (::ioctl(fd_, FIONREAD, &waiting) != 0) {
    reportIfGone(errno);
    return std::nullopt;
  }
  if (waiting < 0) return std::nullopt;
  return static_cast<uint32_t>(waiting);
}

uint32_t TSerialPortDriver::readIntoAssembler(uint32_t count) {
  const std::span<uint8_t> room = assembler_.Room();
  count = std::min(count, static_cast<uint32_t>(room.size()));
  if (count == 0) return 0;
  const ssize_t n = ::read(fd_, room.data(), count);
  if (n < 0) {
    reportIfGone(errno);
    return 0;
  }
  assembler_.Commit(static_cast<uint32_t>(n));
  return static_cast<uint32_t>(n);
}

PacketRules TSerialPortDriver::packetRules() const {
  PacketRules rules;
  rules.Size = packetSize_;
  rules.Timeout = packetTimeout_;
  rules.Mode = packetMode_;
  rules.LineTimeMs = packetSize_ > 0 ? TransmitTime(baudRate_, static_cast<uint32_t>(packetSize_)) : 0;
  rules.SightingMs = pollingDelay_;
  return rules;
}

void TSerialPortDriver::PollTick() { serviceInput(); }

void TSerialPortDriver::DeviceReadable() { serviceInput(); }

// Everything waiting now is read now and stepped through the rule once, as
// one poll of the line would have found it. Only when it does not fit
// ReceiveBuffer is the rule run on the part read, so that the full packets
// in it make room for the rest.
void TSerialPortDriver::serviceInput() {
  if (deliveryStopped()) return;
  const std::optional<uint32_t> waiting = waitingInput();
  if (!waiting) return;
  const uint32_t now = ticks_.Ticks();
  const PacketRules rules = packetRules();
  uint32_t left = *waiting;
  for (;;) {
    const uint32_t asked = std::min(left, static_cast<uint32_t>(assembler_.Room().size()));
    const uint32_t got = readIntoAssembler(asked);
    left = asked == 0 || got < asked ? 0 : left - got;
    if (deliveryStopped()) return;
    assembler_.Step(now, rules);
    deliverReleased();
    if (deliveryStopped()) return;  // the handler closed the port, or it went away
    if (left == 0) break;
  }
  updatePolling();
}

void TSerialPortDriver::deliverReleased() {
  while (const std::optional<Packet> packet = assembler_.Take()) {
    if (packetSize_ < 0) {
      if (OnReceiveData) OnReceiveData(this, packet->Data, packet->Size);
    } else if (OnReceivePacket) {
      OnReceivePacket(this, packet->Data, packet->Size);
    }
    if (deliveryStopped()) return;
  }
}

// The poll timer runs while time alone can release a packet, and only then.
void TSerialPortDriver::updatePolling() {
  if (!deliveryStopped() && assembler_.NextDue(ticks_.Ticks(), packetRules())) {
    startPolling();
  } else {
    stopPolling();
  }
}

// A running timer keeps its period: restarting it with every read would
// hold its tick off for as long as bytes trickle in.
void TSerialPortDriver::startPolling() {
  if (polling_) return;
  polling_ = true;
  timer_.Start(pollingDelay_);
}

void TSerialPortDriver::stopPolling() {
  if (!polling_) return;
  polling_ = false;
  timer_.Stop();
}

}  // namespace serial
