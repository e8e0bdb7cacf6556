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

TSerialPortDriver::TSerialPortDriver(PollTimer& timer, const common::TickSource& ticks)
    : timer_(timer), ticks_(ticks), receiveBuffer_(inBufSize_, 0) {}

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
  receiveBuffer_.assign(inBufSize_, 0);
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
}

void TSerialPortDriver::SetPacketTimeout(int32_t value) { packetTimeout_ = value <= 0 ? -1 : value; }

void TSerialPortDriver::SetPollingDelay(uint32_t value) {
  const auto delay = static_cast<uint16_t>(
      std::clamp<uint32_t>(value, kMinPollingDelay, std::numeric_limits<uint16_t>::max()));
  if (delay == pollingDelay_) return;
  pollingDelay_ = delay;
  if (IsOpen()) {
    timer_.Stop();
    timer_.Start(pollingDelay_);
  }
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
  timer_.Start(pollingDelay_);
  return true;
}

void TSerialPortDriver::ClosePort() {
  if (!IsOpen()) return;
  timer_.Stop();
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
  packetStart_ = -1;
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

void TSerialPortDriver::reportLost() {
  if (lost_) return;
  lost_ = true;
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

// ---- polling ---------------------------------------------------------------------

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

ssize_t TSerialPortDriver::readInto(uint32_t count) {
  count = std::min(count, static_cast<uint32_t>(receiveBuffer_.size()));
  const ssize_t n = ::read(fd_, receiveBuffer_.data(), count);
  if (n < 0) reportIfGone(errno);
  return n;
}

void TSerialPortDriver::PollTick() {
  if (deliveryStopped()) return;
  const auto waiting = waitingInput();
  if (!waiting) return;
  if (packetSize_ < 0) {
    deliverRaw(*waiting);
    return;
  }
  const auto size = static_cast<uint32_t>(packetSize_);
  if (*waiting >= size) {
    deliverFullPackets(*waiting, size);
  } else if (flushDue()) {
    flushPartial(*waiting);
  } else if (*waiting > 0 && packetStart_ < 0) {
    packetStart_ = ticks_.Ticks();
  }
}

// Reads at most InBufSize per tick; the rest waits for the next tick.
void TSerialPortDriver::deliverRaw(uint32_t waiting) {
  if (waiting == 0) return;
  const ssize_t n = readInto(waiting);
  if (n > 0 && OnReceiveData) OnReceiveData(this, receiveBuffer_.data(), static_cast<uint32_t>(n));
}

// A running PacketStart moves on by each packet's line time: the estimated
// arrival of the next packet's first byte. A burst whose first tick already
// holds a full packet has no start to move; its remainder is timed from
// this tick instead of being flushed as long overdue at the next one.
void TSerialPortDriver::deliverFullPackets(uint32_t waiting, uint32_t size) {
  const bool timed = packetStart_ >= 0;
  if (!timed) packetStart_ = ticks_.Ticks();
  while (waiting >= size) {
    const ssize_t n = readInto(size);
    if (n > 0 && OnReceivePacket) OnReceivePacket(this, receiveBuffer_.data(), static_cast<uint32_t>(n));
    if (deliveryStopped()) return;  // the handler closed the port, or it went away
    if (timed && packetStart_ >= 0) advancePacketStart(size);
    waiting -= size;
    if (waiting == 0) packetStart_ = -1;
  }
}

// Bytes on a real line cannot come faster than its rate, so the estimate
// never runs more than one packet's line time ahead of now. A device faster
// than its nominal rate (a USB modem's rate setting is only nominal) would
// otherwise push the start ever further ahead with every packet and hold
// back the rest of the burst, and the call notification after it, for
// seconds or minutes.
void TSerialPortDriver::advancePacketStart(uint32_t size) {
  const uint32_t lineTime = TransmitTime(baudRate_, size);
  const uint32_t now = ticks_.Ticks();
  const uint32_t advanced = static_cast<uint32_t>(packetStart_) + lineTime;
  const auto ahead = static_cast<int32_t>(advanced - now);
  packetStart_ = ahead > static_cast<int32_t>(lineTime) ? now + lineTime : advanced;
}

// PacketStart can lie ahead of now after moving by line time; that is not
// yet elapsed, so the difference is read as signed rather than wrapping to
// "long overdue".
bool TSerialPortDriver::flushDue() const {
  if (packetTimeout_ <= 0 || packetStart_ < 0) return false;
  const auto elapsed = static_cast<int32_t>(ticks_.Ticks() - static_cast<uint32_t>(packetStart_));
  return elapsed > packetTimeout_;
}

void TSerialPortDriver::flushPartial(uint32_t waiting) {
  packetStart_ = -1;
  if (waiting == 0) return;
  const ssize_t n = readInto(waiting);
  if (n > 0 && packetMode_ == pmPass && OnReceivePacket) {
    OnReceivePacket(this, receiveBuffer_.data(), static_cast<uint32_t>(n));
  }
}

}  // namespace serial
