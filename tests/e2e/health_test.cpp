// The modem's health on the built program: what the station writes when
// its SIM, network or signal fails and comes back, a modem that answers
// the health queries with ERROR, a SIM that waits for its PIN, and the
// health queries switched off.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/cp1251.h"
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

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Health : public ::testing::Test {
 protected:
  void Start(const std::string& health = "1") {
    program_.WriteSettings("[Main]\r\nCom=COM3\r\nCode=1120\r\nSyslog=1\r\nHealth=" + health +
                           "\r\n[Log]\r\nOn=1\r\n[ServerHost]\r\nAddress=127.0.0.1\r\nPort=" +
                           std::to_string(server_.Port()) + "\r\n[Ports]\r\nCOM3=" + line_.LinkPath().string() +
                           "\r\n");
    ASSERT_TRUE(program_.Start());
    ASSERT_TRUE(line_.WaitForCount("AT+CLIP=1\r", 1, 30s)) << "no start-up";
  }

  size_t ChangeLines(const std::string& text) { return Occurrences(program_.SystemLogs(), common::ToCp1251(text)); }

  const std::string kCannot = "Станция не может принимать звонки";
  const std::string kCanAgain = "Станция снова может принимать звонки";

  ScriptedServer server_;
  Program program_{MCALLD_BINARY};
  ScriptedModem line_{program_.Dir() / "modem"};
};

// Healthy, then the registration is lost and comes back: one line for
// each change, none while it stays; the queries go out with every re-arm.
TEST_F(Health, RegistrationLostAndBackGivesTwoLines) {
  FamilyModem modem(line_, modemsim::DefaultProfile());
  Start();
  ASSERT_TRUE(line_.WaitForCount("AT+CSQ\r", 1, 20s));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(ChangeLines(kCannot), 0u) << "a healthy station writes nothing";
  const std::string log = testsupport::ReadFile((program_.Dir() / "mcall.log").string());
  EXPECT_NE(log.find("+CPIN: READY"), std::string::npos);
  EXPECT_NE(log.find("+CREG: 0,1"), std::string::npos);
  EXPECT_NE(log.find("+CSQ: 19,99"), std::string::npos);

  ASSERT_TRUE(modem.Set("creg 2"));
  ASSERT_TRUE(WaitFor([&] { return ChangeLines(kCannot) > 0; }, 45s)) << "the lost registration was not told";
  EXPECT_NE(program_.SystemLogs().find(common::ToCp1251("модем ищет сеть")), std::string::npos);
  ASSERT_TRUE(modem.Set("creg 1"));
  ASSERT_TRUE(WaitFor([&] { return ChangeLines(kCanAgain) > 0; }, 45s)) << "the return was not told";
  EXPECT_EQ(ChangeLines(kCannot), 1u);
  EXPECT_EQ(ChangeLines(kCanAgain), 1u);
  EXPECT_GE(line_.Count("AT+CREG?\r"), 3u);
  EXPECT_EQ(program_.Terminate(), 0);
}

// A modem that does not know the queries is not restarted for them.
TEST_F(Health, QueriesAnsweredErrorRestartNothing) {
  FamilyModem modem(line_, modemsim::DefaultProfile(), {.queriesErr = true});
  Start();
  ASSERT_TRUE(line_.WaitForCount("AT+CSQ\r", 2, 45s)) << "the re-arm asks again";
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(line_.Count("AT+CFUN=1,1\r\n"), 0u);
  EXPECT_EQ(ChangeLines(kCannot), 0u);
  EXPECT_EQ(program_.Terminate(), 0);
}

// A SIM that waits for its PIN: no restart loop, a start-up a minute, and
// the operator told once; the PIN is never sent.
TEST_F(Health, LockedSimIsToldOnceAndNotRestarted) {
  FamilyModem modem(line_, *modemsim::FindProfile("simcom"));
  ASSERT_TRUE(modem.Set("sim pin"));
  Start();
  std::this_thread::sleep_for(150s);
  EXPECT_LE(line_.Count("AT+CFUN=1,1\r\n"), 1u);
  const size_t startups = line_.Count("AT+CGMI\r");
  EXPECT_GE(startups, 3u);
  EXPECT_LE(startups, 4u);
  EXPECT_EQ(ChangeLines("SIM-карта требует PIN-код: модем не перезапускается"), 1u);
  EXPECT_EQ(ChangeLines(kCannot), 1u);
  for (const auto& command : line_.Commands()) EXPECT_EQ(command.find("AT+CPIN="), std::string::npos) << command;
  EXPECT_EQ(program_.Terminate(), 0);
}

// Health=0: none of the three queries, and still no restart loop.
TEST_F(Health, SwitchedOffAsksNothingAndStillNoLoop) {
  FamilyModem modem(line_, *modemsim::FindProfile("simcom"));
  ASSERT_TRUE(modem.Set("sim pin"));
  Start("0");
  std::this_thread::sleep_for(75s);
  EXPECT_EQ(line_.Count("AT+CPIN?\r"), 0u);
  EXPECT_EQ(line_.Count("AT+CREG?\r"), 0u);
  EXPECT_EQ(line_.Count("AT+CSQ\r"), 0u);
  EXPECT_LE(line_.Count("AT+CFUN=1,1\r\n"), 1u);
  EXPECT_EQ(line_.Count("AT+CGMI\r"), 2u) << "the start-up and one retry a minute later";
  EXPECT_EQ(ChangeLines("SIM-карта требует PIN-код: модем не перезапускается"), 1u);
  EXPECT_EQ(ChangeLines(kCannot), 0u) << "no health lines when it is not asked";
  EXPECT_EQ(program_.Terminate(), 0);
}

// A call that comes while a health query waits for its answer is answered
// and delivered at once.
TEST_F(Health, CallDuringAPendingQueryIsAnswered) {
  line_.SetAnswer([](const std::string& command) {
    return command == "AT+CREG?" ? std::string() : ScriptedModem::StandardAnswer(command);
  });
  Start();
  ASSERT_TRUE(WaitFor([&] { return !server_.FramesOfType(serverlink::ftClientVersion).empty(); }, 20s));
  ASSERT_TRUE(line_.WaitForCount("AT+CREG?\r", 1, 20s));
  line_.Send("\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n");
  ASSERT_TRUE(line_.WaitForCount("ATH\r\n", 1, 5s)) << "the call waited for the query";
  ASSERT_TRUE(WaitFor([&] { return !server_.FramesOfType(serverlink::ftCallEvent).empty(); }, 10s));
  const auto event = testsupport::DecodeCallEvent(server_.FramesOfType(serverlink::ftCallEvent)[0].payload);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->PhoneNumber, 9161234567);
  EXPECT_EQ(program_.Terminate(), 0);
}

}  // namespace
