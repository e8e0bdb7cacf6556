// termios2 lives in the kernel's headers, which clash with glibc's
// <termios.h>; this file therefore includes only the kernel's.
#include "serial/line_termios.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <array>
#include <utility>

namespace serial {
namespace {

// Rates that have their own constant keep it, so tcgetattr users (stty,
// other programs) still read them; the rest go out as BOTHER.
constexpr std::array<std::pair<uint32_t, tcflag_t>, 30> kStandardRates{{
    {50, B50},         {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

tcflag_t RateBits(uint32_t baud) {
  for (const auto& [rate, bits] : kStandardRates) {
    if (rate == baud) return bits;
  }
  return BOTHER;
}

tcflag_t SizeBits(int dataBits) {
  switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

tcflag_t ParityBits(LineParity parity) {
  switch (parity) {
    case LineParity::Odd: return PARENB | PARODD;
    case LineParity::Even: return PARENB;
    case LineParity::Mark: return PARENB | CMSPAR | PARODD;
    case LineParity::Space: return PARENB | CMSPAR;
    case LineParity::None: break;
  }
  return 0;
}

}  // namespace

uint32_t LineControlFlags(const LineConfig& config) {
  // HUPCL drops DTR at the last close, so the modem hears the driver leave.
  tcflag_t flags = CREAD | CLOCAL | HUPCL | SizeBits(config.dataBits) | ParityBits(config.parity);
  if (config.twoStopBits) flags |= CSTOPB;
  if (config.rtsCts) flags |= CRTSCTS;
  return flags;
}

bool WriteLineConfig(int fd, const LineConfig& config) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  // Parity is generated but never checked on input (no INPCK), and line
  // errors arrive as plain bytes: the reply parser copes with noise.
  t.c_iflag = config.xonXoff ? (IXON | IXOFF) : 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  // Input rate bits (CIBAUD) 0: the input rate is the output rate.
  t.c_cflag = LineControlFlags(config) | RateBits(config.baud);
  t.c_ispeed = config.baud;
  t.c_ospeed = config.baud;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

std::optional<uint32_t> ReadLineSpeed(int fd) {
  termios2 t{};
  if (::ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
  return t.c_ospeed;
}

}  // namespace serial
