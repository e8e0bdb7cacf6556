#pragma once

#include "serial/serial_port_driver.h"

namespace testsupport {

// The settings the main window gives SerialPort1: a packet is 256 bytes, or
// what has come once 200 ms have passed since its first byte, and a partial
// one is passed on; the line is polled every 5 ms; a write waits at most
// 200 ms.
inline void UseWindowPacketSettings(serial::TSerialPortDriver& port) {
  port.SetPacketSize(256);
  port.SetPacketTimeout(200);
  port.SetPacketMode(serial::pmPass);
  port.SetPollingDelay(5);
  port.SetOutputTimeout(200);
}

}  // namespace testsupport
