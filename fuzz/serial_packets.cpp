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
#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/ticks.h"
#include "serial/exclusive_device.h"
#include "serial/serial_port_driver.h"
#include "tests/support/idle_poll_timer.h"

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

// Lock files go to a directory of the fuzzer's own, never /var/lock. The
// name is never destroyed, so the clean-up at exit still has it.
void UseOwnLockDirectory() {
  static const std::string* const dir = [] {
    char pattern[] = "/tmp/mcalld-fuzz-locks-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    auto* d = new std::string(pattern);
    serial::SetLockDirectory(*d);
    std::atexit([] { std::filesystem::remove_all(*dir); });
    return d;
  }();
}

// The far end of the line. Its own slave descriptor stays open so the
// driver's close never hangs the pair up mid-input.
class FarEnd {
 public:
  FarEnd() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) Fail("openpty");
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    path_ = name;
  }
  ~FarEnd() {
    ::close(slave_);
    ::close(master_);
  }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  const std::string& Path() const { return path_; }

  // Bytes that show their own position, so a lost, doubled or reordered
  // byte shows in the delivered text.
  void Send(size_t count) {
    std::string bytes;
    for (size_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>((sent_.size() + i) % 251));
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR) Fail("write to the pty master");
      else sched_yield();
    }
    sent_ += bytes;
  }
  const std::string& Sent() const { return sent_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string sent_;
};

int Pending(int fd) {
  int waiting = 0;
  return ::ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : -1;
}

// The pty hands bytes over through a kernel work queue; waiting for them
// keeps each input's run the same every time. Bounded: a pty that never
// delivers is a broken machine, not a finding.
void AwaitInput(int fd, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Pending(fd) >= 0 && static_cast<size_t>(Pending(fd)) < count) {
    if (std::chrono::steady_clock::now() > deadline) Fail("the pty did not pass the bytes on");
    sched_yield();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UseOwnLockDirectory();
  FuzzedDataProvider in(data, size);
  const uint8_t setup = in.ConsumeIntegral<uint8_t>();

  FarEnd far;
  testsupport::IdlePollTimer timer;
  common::ManualTicks ticks;
  ticks.Set(kClockStarts[(setup >> 2) % kClockStarts.size()]);
  serial::TSerialPortDriver driver(timer, ticks);
  driver.SetPortName(far.Path());
  driver.SetBaudRateValue(kRates[setup % kRates.size()]);
  driver.SetPacketSize(256);
  driver.SetPacketTimeout(200);
  driver.SetPacketMode(serial::pmPass);
  driver.SetPollingDelay(5);
  std::string delivered;
  driver.OnReceivePacket = [&](serial::TSerialPortDriver*, const uint8_t* packet, uint32_t count) {
    if (count == 0 || count > kMaxPacket) Fail("a packet holds 1 to 256 bytes");
    delivered.append(reinterpret_cast<const char*>(packet), count);
  };
  if (!driver.OpenPort()) Fail("open the pty");

  for (size_t step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    const uint16_t arriving = in.ConsumeIntegralInRange<uint16_t>(0, kMaxArrival);
    if (arriving > 0) {
      far.Send(arriving);
      AwaitInput(driver.Handle(), far.Sent().size() - delivered.size());
    }
    ticks.Advance(in.ConsumeIntegralInRange<uint32_t>(0, 400));
    driver.PollTick();
    if (far.Sent().compare(0, delivered.size(), delivered) != 0) Fail("bytes delivered once and in order");
  }

  // A quiet line: whatever is still waiting must come out as packets. Each
  // full packet moves the partial packet's start on by its line time, so a
  // burst faster than the line rate (a pty, a USB modem) has its remainder
  // held until the line time of everything before it has passed.
  const uint32_t lineTime = driver.TransmitTime(serial::brCustom, static_cast<uint32_t>(far.Sent().size()));
  const uint32_t quietSteps = lineTime / kQuietStepMs + kMinQuietSteps;
  for (uint32_t i = 0; i < quietSteps && delivered.size() < far.Sent().size(); ++i) {
    ticks.Advance(kQuietStepMs);
    driver.PollTick();
  }
  if (delivered != far.Sent()) Fail("every byte delivered once, in order");
  if (driver.PortLost()) Fail("the port stays usable");
  return 0;
}
