// Random arrival patterns fed to the packet assembler with the packet
// settings of the main window (256 bytes or 200 ms, pass partial packets
// on, a 5 ms poll), stepped on a hand-moved tick the way the driver steps
// it: what waits at one moment is read and stepped once, and only a full
// buffer is stepped mid-way. What must hold for every pattern:
// - every byte fed is delivered exactly once, in order, in packets of 1 to
//   256 bytes;
// - a partial packet comes out exactly at the tick NextDue named, not one
//   tick before: the driver may rest until then;
// - the start estimate never runs more than one packet's line time ahead;
// - once the line is quiet, nothing is left undelivered.
//
// Input: a setup byte (line rate, where the clock starts), then steps of
// (bytes arriving, milliseconds passing), at most kMaxSteps of them.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "serial/packet_assembler.h"
#include "tests/support/pty_pair.h"

namespace {

constexpr size_t kMaxSteps = 64;
constexpr uint16_t kMaxArrival = 3000;  // more than the 2048-byte buffer takes at once
constexpr uint32_t kCapacity = 2048;
constexpr uint32_t kMaxPacket = 256;
constexpr int32_t kTimeoutMs = 200;
constexpr uint32_t kPollMs = 5;
constexpr std::array<uint32_t, 4> kRates{9600, 115200, 19200, 2400};
constexpr std::array<uint32_t, 4> kClockStarts{0, 1000, 0xFFFFFFFFu - 150, 0x7FFFFFFFu - 50};

void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Line time of `count` bytes at `rate`, ten bits a byte.
uint32_t LineTime(uint32_t rate, uint32_t count) {
  return static_cast<uint32_t>(static_cast<double>(count) * 10000.0 / rate + 0.5);
}

class Run {
 public:
  explicit Run(uint32_t rate) {
    rules_.Size = kMaxPacket;
    rules_.Timeout = kTimeoutMs;
    rules_.Mode = serial::pmPass;
    rules_.LineTimeMs = LineTime(rate, kMaxPacket);
    rules_.SightingMs = kPollMs;
  }

  // `count` more bytes of the stream arrive at `now`.
  void Arrive(uint32_t now, size_t count) {
    const std::string bytes = testsupport::PositionBytes(sent_.size(), count);
    sent_ += bytes;
    std::string_view left = bytes;
    do {
      const auto* data = reinterpret_cast<const uint8_t*>(left.data());
      left.remove_prefix(assembler_.Feed({data, left.size()}));
      Step(now);
    } while (!left.empty());
  }

  // A step at `now` with nothing new, as the driver's poll tick makes it.
  void Step(uint32_t now) {
    const std::optional<uint32_t> due = assembler_.NextDue(now, rules_);
    const bool partialDue = due && static_cast<int32_t>(now - *due) >= 0;
    if (due && !partialDue && assembler_.Held() < kMaxPacket) CheckRestUntil(*due);
    assembler_.Step(now, rules_);
    while (const auto packet = assembler_.Take()) {
      if (packet->Size == 0 || packet->Size > kMaxPacket) Fail("a packet holds 1 to 256 bytes");
      if (packet->Size < kMaxPacket && !partialDue) Fail("a partial packet before its time-out");
      delivered_.append(reinterpret_cast<const char*>(packet->Data), packet->Size);
    }
    if (sent_.compare(0, delivered_.size(), delivered_) != 0) Fail("bytes delivered once and in order");
    const int64_t start = assembler_.PacketStart();
    if (start >= 0 && static_cast<int32_t>(static_cast<uint32_t>(start) - now) > static_cast<int32_t>(rules_.LineTimeMs)) {
      Fail("the start runs at most one packet's line time ahead");
    }
    if (assembler_.Held() > 0 && !assembler_.NextDue(now, rules_)) Fail("held bytes always have a due tick");
  }

  // The tick before `due` releases nothing; `due` itself releases the
  // partial packet. Tried on a copy, so the run goes on undisturbed.
  void CheckRestUntil(uint32_t due) const {
    serial::PacketAssembler early = assembler_;
    early.Step(due - 1, rules_);
    if (early.Take()) Fail("nothing comes out before the due tick");
    serial::PacketAssembler onTime = assembler_;
    onTime.Step(due, rules_);
    if (!onTime.Take()) Fail("the partial packet comes out at the due tick");
  }

  // The driver rests until NextDue: stepping only there must empty it.
  void Quiet(uint32_t& now) {
    for (int i = 0; i < 4 && assembler_.Held() > 0; ++i) {
      const std::optional<uint32_t> due = assembler_.NextDue(now, rules_);
      if (!due) Fail("held bytes always have a due tick");
      now = *due;
      Step(now);
    }
    if (assembler_.Held() != 0 || delivered_ != sent_) Fail("every byte delivered once, in order");
  }

 private:
  serial::PacketRules rules_;
  serial::PacketAssembler assembler_{kCapacity};
  std::string sent_;
  std::string delivered_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t setup = in.ConsumeIntegral<uint8_t>();
  Run run(kRates[setup % kRates.size()]);
  uint32_t now = kClockStarts[(setup >> 2) % kClockStarts.size()];

  for (size_t step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
    const uint16_t arriving = in.ConsumeIntegralInRange<uint16_t>(0, kMaxArrival);
    if (arriving > 0) run.Arrive(now, arriving);
    now += in.ConsumeIntegralInRange<uint32_t>(0, 400);
    run.Step(now);
  }
  run.Quiet(now);
  return 0;
}
