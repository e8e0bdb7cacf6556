// The built program against each family of GSM modems that stations use,
// as the modem simulator's profiles describe them: a call with a number, a
// withheld call, a call that rings three times before it is answered, and
// the family's own reports between calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "link/frame.h"
#include "tests/support/call_events.h"
#include "tests/support/family_modem.h"
#include "tests/support/program_under_test.h"
#include "tests/support/scripted_modem.h"
#include "tests/support/scripted_server.h"
#include "tests/support/wait.h"
#include "tools/modem-sim/profile.h"

namespace {

using namespace std::chrono_literals;
using testsupport::FamilyModem;
using testsupport::Program;
using testsupport::ScriptedModem;
using testsupport::ScriptedServer;
using testsupport::WaitFor;

// The families' own ring periods are 5 to 6 s; the three rings before the
// answer must fit in the 10 s a command waits for its reply.
constexpr int kShortRingMs = 3000;

}  // namespace

namespace modemsim {
void PrintTo(const Profile& profile, std::ostream* os) { *os << profile.name; }
}  // namespace modemsim

namespace {

class Family : public ::testing::TestWithParam<modemsim::Profile> {
 protected:
  void Start(const modemsim::Profile& profile, modemsim::Quirks quirks = {}) {
    family_ = std::make_unique<FamilyModem>(line_, profile, quirks);
    program_.WriteSettings("[Main]\r\nCom=COM3\r\nCode=1120\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
                           std::to_string(server_.Port()) + "\r\n[Ports]\r\nCOM3=" + line_.LinkPath().string() + "\r\n");
    ASSERT_TRUE(program_.Start());
    ASSERT_TRUE(line_.WaitForCount("AT+CSQ\r", 1, 30s)) << "no start-up";
    ASSERT_TRUE(WaitFor([&] { return !server_.FramesOfType(serverlink::ftClientVersion).empty(); }, 20s));
  }

  std::vector<int64_t> EventNumbers() {
    std::vector<int64_t> numbers;
    for (const auto& frame : server_.FramesOfType(serverlink::ftCallEvent)) {
      if (const auto event = testsupport::DecodeCallEvent(frame.payload)) numbers.push_back(event->PhoneNumber);
    }
    return numbers;
  }

  // A call from number, then its end: a voice call is hung up by the
  // program, a call the stick cannot answer by ATH; either way its event
  // reaches the server.
  void CallAndWait(const std::string& number, size_t eventsBefore) {
    const size_t hangUps = line_.Count("ATH\r\n");
    family_->Call(number);
    ASSERT_TRUE(line_.WaitForCount("ATH\r\n", hangUps + 1, 30s)) << "never hung up";
    ASSERT_TRUE(WaitFor([&] { return EventNumbers().size() > eventsBefore; }, 10s)) << "no event";
    EXPECT_TRUE(WaitFor([&] { return !family_->CallUp() && !family_->Ringing(); }, 5s)) << "the call is still up";
  }

  ScriptedServer server_;
  Program program_{MCALLD_BINARY};
  ScriptedModem line_{program_.Dir() / "modem"};
  std::unique_ptr<FamilyModem> family_;
};

TEST_P(Family, EveryCallOnceAndTheNextOneStillWorks) {
  modemsim::Profile profile = GetParam();
  profile.ringEveryMs = kShortRingMs;
  Start(profile, {.ringsBeforeAnswer = 3});

  CallAndWait("+79161234567", 0);  // rings three times before the answer comes
  for (const auto& report : profile.reports) line_.Send("\r\n" + report.line + "\r\n");
  for (const auto& line : profile.greeting) line_.Send("\r\n" + line + "\r\n");
  CallAndWait("", 1);
  CallAndWait("84951234567", 2);

  EXPECT_EQ(EventNumbers(), (std::vector<int64_t>{9161234567, 0, 4951234567}));
  // One answer, one tone at most, one hang-up per call; no modem restart.
  EXPECT_EQ(line_.Count("ATA\r\n"), 3u);
  EXPECT_EQ(line_.Count("AT+VTS=1\r\n"), profile.voice ? 3u : 0u);
  EXPECT_EQ(line_.Count("ATH\r\n"), 3u);
  EXPECT_EQ(line_.Count("AT+CFUN=1,1\r\n"), 0u);
  EXPECT_EQ(line_.Count("AT+CVHU=0\r"), 1u);
  EXPECT_EQ(program_.Terminate(), 0);
}

INSTANTIATE_TEST_SUITE_P(Profiles, Family, ::testing::ValuesIn(modemsim::NamedProfiles()),
                         [](const auto& row) { return row.param.name; });

}  // namespace
