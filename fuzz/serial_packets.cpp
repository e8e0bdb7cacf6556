// Random arrival patterns on a pseudo-terminal into the driver with the
// packet settings of the main window (256 bytes or 200 ms, pass partial
// packets on), ticked on a hand-moved clock. What must hold for every
// pattern: every byte written by the far end is delivered exactly once, in
// order, in packets of 1 to 256 bytes, and nothing is left undelivered once
// the line has been quiet for long enough.
//
// Input: a setup byte (line rate, where the clock starts), then steps of
// (bytes arriving, milliseconds passing), at most kMaxSteps of them, so
// that one input stays a few milliseconds of real pty traffic.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/ticks.h"
#include "serial/exclusive_device.h"
#include "serial/serial_port_driver.h"
#include "tests/support/fake_timer.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_port.h"

namespace {

constexpr size_t kMaxSteps = 48;
constexpr uint16_t kMaxArrival = 600;  // with the 255 a partial packet may hold, well inside the 4 KiB tty buffer
constexpr uint32_t kMaxPacket = 256;
constexpr uint32_t kQuietStepMs = 250;
constexpr uint32_t kMinQuietSteps = 8;  // past the 200 ms packet time-out
constexpr std::array<uint32_t, 4> kRates{9600, 115200, 19200, 2400};
constexpr std::array<uint32_t, 4> kClockStarts{0, 1000, 0xFFFFFFFFu - 150, 0x7FFFFFFFu - 50};

void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Lock files go to a directory of the fuzzer's own, never /var/lock.
void UseOwnLockDirectory() {
  static const testsupport::TempDir locks("mcalld-fuzz-locks");
  serial::SetLockDirectory(locks.Path());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UseOwnLockDirectory();
  FuzzedDataProvider in(data, size);
  const uint8_t setup = in.ConsumeIntegral<uint8_t>();

  // The pair keeps its own slave open, so the driver's close never hangs
  // the line up mid-input.
  testsupport::PtyPair far;
  std::string sent;
  testsupport::FakeTimer timer;
  common::ManualTicks ticks;
  ticks.Set(kClockStarts[(setup >> 2) % kClockStarts.size()]);
  serial::TSerialPortDriver driver(timer, ticks);
  driver.SetPortName(far.SlavePath());
  driver.SetBaudRateValue(kRates[setup % kRates.size()]);
  testsupport::UseWindowPacketSettings(driver);
  std::string delivered;
  driver.OnReceivePacket = [&](serial::TSerialPortDriver*, const uint8_t* packet, uint32_t count) {
    if (count == 0 || count > kMaxPacket) Fail("a packet holds 1 to 256 bytes");
    delivered.append(reinterpret_cast<const char*>(packet), count);
  };
  if (!driver.OpenPort()) Fail("open the pty");

  for (size_t step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    const uint16_t arriving = in.ConsumeIntegralInRange<uint16_t>(0, kMaxArrival);
    if (arriving > 0) {
      const std::string bytes = testsupport::PositionBytes(sent.size(), arriving);
      if (!far.WriteMaster(bytes, 2000)) Fail("write to the pty master");
      sent += bytes;
      // Bounded: a pty that never delivers is a broken machine, not a finding.
      if (!testsupport::WaitForInput(driver.Handle(), sent.size() - delivered.size(), 2000)) {
        Fail("the pty did not pass the bytes on");
      }
    }
    ticks.Advance(in.ConsumeIntegralInRange<uint32_t>(0, 400));
    driver.PollTick();
    if (sent.compare(0, delivered.size(), delivered) != 0) Fail("bytes delivered once and in order");
  }

  // A quiet line: whatever is still waiting must come out as packets. Each
  // full packet moves the partial packet's start on by its line time, so a
  // burst faster than the line rate (a pty, a USB modem) has its remainder
  // held until the line time of everything before it has passed.
  const uint32_t lineTime = driver.TransmitTime(serial::brCustom, static_cast<uint32_t>(sent.size()));
  const uint32_t quietSteps = lineTime / kQuietStepMs + kMinQuietSteps;
  for (uint32_t i = 0; i < quietSteps && delivered.size() < sent.size(); ++i) {
    ticks.Advance(kQuietStepMs);
    driver.PollTick();
  }
  if (delivered != sent) Fail("every byte delivered once, in order");
  if (driver.PortLost()) Fail("the port stays usable");
  return 0;
}
