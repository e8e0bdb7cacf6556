#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/ticks.h"
#include "fakes.h"
#include "modem/spool.h"
#include "serial/exclusive_device.h"
#include "serial/serial_port_driver.h"
#include "tests/support/call_events.h"
#include "tests/support/fake_timer.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_port.h"

namespace modem {
namespace {

using common::ToCp1251;

// The dialogue's writes go to the real driver, as they do in the window.
class PortHost : public testing::FakeHost {
 public:
  explicit PortHost(serial::TSerialPortDriver& port) : port_(port) {}
  bool SendText(std::string_view bytes) override {
    FakeHost::SendText(bytes);
    return port_.SendText(bytes);
  }

 private:
  serial::TSerialPortDriver& port_;
};

struct Exchange {
  std::string command;
  std::string reply;
};

class StartupOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    serial::SetLockDirectory(locks_.Path());
    port_.SetPortName(pty_.SlavePath());
    testsupport::UseWindowPacketSettings(port_);
    port_.OnReceivePacket = [this](serial::TSerialPortDriver*, const uint8_t* packet, uint32_t size) {
      dialogue_.SerialPort1ReceivePacket(packet, size);
    };
    ASSERT_TRUE(port_.OpenPort());
    host_.settings = {"0042", 8, spool_.Path() + "/"};
  }

  // The far end's bytes reach the reply handler as one packet once more
  // than 200 ms of driver time have passed since they were first seen.
  void Arrive(const std::string& bytes) {
    ASSERT_TRUE(pty_.WriteMaster(bytes));
    ASSERT_TRUE(testsupport::WaitForInput(port_.Handle(), bytes.size()));
    ticks_.Advance(5);
    port_.PollTick();
    ticks_.Advance(201);
    port_.PollTick();
  }

  void Converse(const std::vector<Exchange>& script) {
    for (const Exchange& e : script) {
      SCOPED_TRACE(e.command);
      clock_.AdvanceMs(50);
      dialogue_.Timer3Timer();
      ASSERT_EQ(pty_.ReadMaster(e.command.size()), e.command);
      Arrive(e.reply);
      ASSERT_FALSE(dialogue_.AwaitingReply);
    }
  }

  testsupport::TempDir locks_;
  testsupport::TempDir spool_;
  testsupport::PtyPair pty_;
  testsupport::FakeTimer timer_;
  testsupport::FakeWatcher watcher_;
  common::ManualTicks ticks_;
  serial::TSerialPortDriver port_{timer_, watcher_, ticks_};
  PortHost host_{port_};
  testsupport::ManualClock clock_;
  Dialogue dialogue_{host_, clock_, clock_};
};

TEST_F(StartupOverPty, InitialisesTheModemAndSpoolsOneCall) {
  dialogue_.StartDialogue();
  Converse({
      {"AT\r", "AT\r\r\nOK\r\n"},  // the echo is still on
      {"ATE0\r", "ATE0\r\r\nOK\r\n"},
      {"AT+CMEE=1\r", "\r\nOK\r\n"},
      {"AT+CGMI\r", "\r\nACME\r\n\r\nOK\r\n"},
      {"AT+CGMM\r", "\r\nM55\r\n\r\nOK\r\n"},
      {"AT+CPMS?\r", "\r\n+CPMS: \"SM\",0,20,\"SM\",0,20,\"SM\",0,20\r\n\r\nOK\r\n"},
      {"AT+CVHU=0\r", "\r\nOK\r\n"},
      {"AT+CLIP=1\r", "\r\nOK\r\n"},
      {"AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
      {"AT+CREG?\r", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
      {"AT+CSQ\r", "\r\n+CSQ: 19,99\r\n\r\nOK\r\n"},
  });
  EXPECT_EQ(host_.view, (std::vector<std::string>{"OK", ToCp1251("режим эхо выключен"), ToCp1251("Производитель: ACME"),
                                                  ToCp1251("Модель: M55")}));
  EXPECT_EQ(dialogue_.ModemManufacturer, "ACME");
  EXPECT_EQ(dialogue_.Health.Sim, SimState::kReady);
  EXPECT_EQ(dialogue_.Health.Network, Registration::kHome);
  EXPECT_EQ(dialogue_.Health.Signal, 19);

  const common::DateTime callTime = clock_.now;
  Arrive("\r\nRING\r\n\r\n+CLIP: \"+79161234567\",145,,,,0\r\n");
  Converse({{"ATA\r\n", "\r\nOK\r\n"}, {"AT+VTS=1\r\n", "\r\nOK\r\n"}, {"ATH\r\n", "\r\nOK\r\n"}});

  EXPECT_EQ(host_.view.back(), ToCp1251("Входящий звонок - ") + "9161234567");
  EXPECT_TRUE(dialogue_.CommandQueue.empty());
  EXPECT_TRUE(host_.events.empty());
  const std::vector<std::string> files = spool_.Files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], SpoolFileName(common::SplitDateTime(callTime)) + ".dd8");
  const auto event = testsupport::ReadSpoolFile(spool_.File(files[0]));
  ASSERT_TRUE(event) << "not a 25-byte spool file";
  EXPECT_EQ(event->PhoneNumber, 89161234567);
}

}  // namespace
}  // namespace modem
