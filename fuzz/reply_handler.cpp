// Blocks of 1..256 arbitrary bytes into the reply handler, each under a
// ReplyState the input picks, with dispatcher ticks on a fake clock in
// between. What must hold for every block:
//   - the "<" operator log line carries at most 255 bytes of the block;
//   - an event, handed to the link or spooled, comes only from a block or
//     a held caller-identification line that holds "+CLIP:", one at most
//     per block or dispatcher tick (a repeat of the ringing call gives none);
//   - the queue never outgrows what start-up, one recovery, one re-arm and
//     three entries per call can account for;
//   - a dispatcher tick while the dialogue says it needs none changes
//     nothing, so the window may stop the tick meanwhile.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "modem/dialogue.h"
#include "tests/support/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace {

class FuzzHost : public modem::DialogueHost {
 public:
  std::vector<std::string> operatorLines;  // cleared by the driver loop
  size_t events = 0;
  size_t sends = 0;
  bool connected = false;
  bool linkRefuses = false;
  bool logsThrow = false;
  modem::CallSettings settings;

  bool SendText(std::string_view) override {
    ++sends;
    return true;
  }
  bool WriteOperatorLog(std::string_view text) override {
    operatorLines.emplace_back(text);
    if (logsThrow) throw std::runtime_error("disk full");
    return true;
  }
  bool WriteSystemLog(std::string_view) override {
    if (logsThrow) throw std::runtime_error("disk full");
    return true;
  }
  void AppendLogView(std::string_view) override {}
  void TrimLogView() override {}
  void DrawModemIndicator() override {}
  void SetTimer1Enabled(bool) override {}
  bool LinkConnected() override { return connected; }
  bool SendCallEvent(const modem::CallEventBytes&) override {
    if (linkRefuses) return false;
    ++events;
    return true;
  }
  modem::CallSettings CurrentCallSettings() override { return settings; }
};

// Spool files go to tmpfs when there is one: every spooled event is synced.
const testsupport::TempDir& Spool() {
  static const testsupport::TempDir dir("mcalld-fuzz-spool", std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp");
  return dir;
}

size_t SpooledFiles() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Spool().Path())) {
    if (entry.path().extension() == ".dd8") ++n;
  }
  return n;
}

void EmptySpoolDir() {
  for (const auto& entry : std::filesystem::directory_iterator(Spool().Path())) std::filesystem::remove(entry.path());
}

// Every state the dispatcher can set, the stored-message states an
// implementer might wire, and room for any other value.
constexpr std::array<int32_t, 21> kStates{0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 17, 18, 70, 71, 74, 75, 77, 80, 81, 82, -1};

constexpr size_t kMaxReplyText = 255;
constexpr size_t kStartupEntries = 8 + 3;  // with the health queries
constexpr size_t kRecoveryEntries = 10;
constexpr size_t kRearmEntries = 1 + 3;
constexpr size_t kEntriesPerCall = 3;

void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void CheckLogLine(const FuzzHost& host, std::string_view block) {
  const auto lines = std::count_if(host.operatorLines.begin(), host.operatorLines.end(),
                                   [](const std::string& l) { return !l.empty() && l[0] == '<'; });
  if (lines != 1) Fail("one \"<\" line per block");
  const std::string& line = *std::find_if(host.operatorLines.begin(), host.operatorLines.end(),
                                          [](const std::string& l) { return !l.empty() && l[0] == '<'; });
  if (line.size() - 1 > kMaxReplyText) Fail("ReplyText at most 255 bytes");
  if (line.substr(1) != block.substr(0, kMaxReplyText)) Fail("ReplyText is the block's first bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  FuzzHost host;
  host.settings.Code = "1120";
  host.settings.PathForSoob = Spool().Dir();
  testsupport::ManualClock clock;
  modem::Dialogue dialogue(host, clock, clock);
  std::string unread;  // what of the stream may still be held as a cut caller-identification line
  dialogue.StartDialogue();
  size_t callsSinceClear = 0;
  size_t spooledBefore = 0;

  while (in.remaining_bytes() > 0) {
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    host.connected = flags & 1;
    host.linkRefuses = flags & 2;
    host.logsThrow = (flags & 0x1C) == 0x1C;  // rare: a failing log must not lose a call
    // Any prefix, including ones whose digits overflow the 64-bit number.
    host.settings.NumberS = (flags & 0x20) ? in.ConsumeIntegral<int32_t>() : 0;
    if ((flags & 0xC0) == 0xC0) {
      dialogue.StopDialogue();
      dialogue.StartDialogue();
      callsSinceClear = 0;
    }
    const uint8_t state = in.ConsumeIntegral<uint8_t>();
    dialogue.ReplyState = state < kStates.size() ? kStates[state] : static_cast<int32_t>(state) << 8;

    const size_t length = in.ConsumeIntegralInRange<size_t>(1, 256);
    const std::string block = in.ConsumeBytesAsString(length);
    if (block.empty()) break;

    host.operatorLines.clear();
    const size_t eventsBefore = host.events;
    dialogue.SerialPort1ReceivePacket(reinterpret_cast<const uint8_t*>(block.data()), static_cast<uint32_t>(block.size()));
    // A held line is at most what came in the last blocks; 512 bytes of
    // the stream cover any line the handler can still be holding.
    unread += block.substr(0, kMaxReplyText);
    if (unread.size() > 512) unread.erase(0, unread.size() - 512);
    const bool mayHoldCall = unread.find("+CL") != std::string::npos || unread.back() == '+';
    if (unread.find("+CLIP:") != std::string::npos) ++callsSinceClear;

    CheckLogLine(host, block);
    size_t spooled = SpooledFiles();
    size_t produced = (host.events - eventsBefore) + (spooled - spooledBefore);
    spooledBefore = spooled;
    if (produced > 1) Fail("one event at most per block");
    if (produced == 1 && !mayHoldCall) Fail("an event only from a caller-identification line");

    const size_t ticks = in.ConsumeIntegralInRange<size_t>(0, 3);
    for (size_t i = 0; i < ticks; ++i) {
      const size_t before = host.events;
      clock.AdvanceMs(in.ConsumeIntegralInRange<uint32_t>(0, 12000));
      const bool resting = !dialogue.NeedsTicks();
      const auto queueBefore = dialogue.CommandQueue;
      const size_t sendsBefore = host.sends;
      dialogue.Timer3Timer();
      if (resting && (dialogue.NeedsTicks() || host.sends != sendsBefore || host.events != before ||
                      dialogue.CommandQueue != queueBefore)) {
        Fail("a tick without work changes nothing");
      }
      spooled = SpooledFiles();
      produced = (host.events - before) + (spooled - spooledBefore);
      spooledBefore = spooled;
      if (produced > 1) Fail("one event at most per tick");
      if (produced == 1 && !mayHoldCall) Fail("an event only from a held caller-identification line");
    }
    if (in.ConsumeBool()) dialogue.Timer1Timer();

    const size_t bound = kStartupEntries + kRecoveryEntries + kRearmEntries + kEntriesPerCall * callsSinceClear;
    if (dialogue.CommandQueue.size() > bound) Fail("queue bounded");
  }
  if (spooledBefore > 0) EmptySpoolDir();
  return 0;
}
