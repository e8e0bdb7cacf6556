#pragma once

#include <cstdint>
#include <optional>

namespace serial {

enum class LineParity { None, Odd, Even, Mark, Space };

struct LineConfig {
  uint32_t baud = 9600;
  int dataBits = 8;          // 5 ... 8
  bool twoStopBits = false;  // also 1.5: the UART makes CSTOPB 1.5 bits at 5 data bits
  LineParity parity = LineParity::None;
  bool rtsCts = false;
  bool xonXoff = false;
};

class TSerialPortDriver;
// The line a driver's properties ask for.
LineConfig LineConfigOf(const TSerialPortDriver& driver);

// termios c_cflag bits for the line, without the rate. Pseudo-terminals
// force CS8 and drop PARENB whatever is asked, so this is the place where
// those two can be seen.
uint32_t LineControlFlags(const LineConfig& config);

// Raw line: no input or output processing, no echo, reads that never wait.
// Any integer rate is written as it is; false when the device refuses.
bool WriteLineConfig(int fd, const LineConfig& config);

// The output rate the device reports, whatever way it is encoded.
std::optional<uint32_t> ReadLineSpeed(int fd);

}  // namespace serial
