#include <termios.h>

#include <functional>
#include <ostream>

#include "serial/line_termios.h"
#include "tests/serial/driver_fixture.h"

namespace serialtest {
namespace {

using namespace serial;

TEST_F(DriverTest, ConstructionDefaults) {
  FakeTimer timer;
  FakeWatcher watcher;
  TSerialPortDriver fresh(timer, watcher, ticks_);
  EXPECT_EQ(fresh.Port(), pnCOM2);
  EXPECT_EQ(fresh.PortName(), "\\\\.\\COM1");
  EXPECT_EQ(fresh.BaudRate(), br9600);
  EXPECT_EQ(fresh.BaudRateValue(), 9600u);
  EXPECT_EQ(fresh.DataBits(), db8BITS);
  EXPECT_EQ(fresh.StopBits(), sb1BITS);
  EXPECT_EQ(fresh.Parity(), ptNONE);
  EXPECT_EQ(fresh.HwFlow(), hfNONERTSON);
  EXPECT_EQ(fresh.SwFlow(), sfNONE);
  EXPECT_EQ(fresh.InBufSize(), 2048u);
  EXPECT_EQ(fresh.OutBufSize(), 2048u);
  EXPECT_EQ(fresh.PacketSize(), -1);
  EXPECT_EQ(fresh.PacketTimeout(), -1);
  EXPECT_EQ(fresh.PacketMode(), pmDiscard);
  EXPECT_EQ(fresh.PollingDelay(), 50);
  EXPECT_TRUE(fresh.EnableDTROnOpen());
  EXPECT_EQ(fresh.OutputTimeout(), 500);
  EXPECT_FALSE(fresh.CheckLineStatus());
  EXPECT_EQ(fresh.PacketStart(), -1);
  EXPECT_FALSE(fresh.IsOpen());
}

struct RuleCase {
  const char* name;
  std::function<void(TSerialPortDriver&)> assign;
  std::function<void(const TSerialPortDriver&)> expect;
};

// Failures name the row instead of dumping its bytes.
void PrintTo(const RuleCase& row, std::ostream* os) { *os << row.name; }

const RuleCase kClosedRules[] = {
    {"PollingDelayBelowFiveBecomesFive", [](auto& d) { d.SetPollingDelay(3); },
     [](const auto& d) { EXPECT_EQ(d.PollingDelay(), 5); }},
    {"InBufSizeAboveRangeClamps", [](auto& d) { d.SetInBufSize(10000); },
     [](const auto& d) { EXPECT_EQ(d.InBufSize(), 8192u); }},
    {"InBufSizeBelowRangeClamps", [](auto& d) { d.SetInBufSize(100); },
     [](const auto& d) { EXPECT_EQ(d.InBufSize(), 128u); }},
    {"PacketSizeRaisesSmallInBufSizeAgain",
     [](auto& d) {
       d.SetPacketSize(256);
       d.SetInBufSize(100);
     },
     [](const auto& d) {
       EXPECT_EQ(d.InBufSize(), 256u);
       EXPECT_EQ(d.PacketSize(), 256);
     }},
    {"PacketSizeZeroIsNoPackets", [](auto& d) { d.SetPacketSize(0); },
     [](const auto& d) { EXPECT_EQ(d.PacketSize(), -1); }},
    {"PacketSizeAboveInBufSizeGrowsTheBuffer", [](auto& d) { d.SetPacketSize(4096); },
     [](const auto& d) {
       EXPECT_EQ(d.PacketSize(), 4096);
       EXPECT_EQ(d.InBufSize(), 4096u);
     }},
    {"PacketSizeAbove8192Clamps", [](auto& d) { d.SetPacketSize(30000); },
     [](const auto& d) {
       EXPECT_EQ(d.PacketSize(), 8192);
       EXPECT_EQ(d.InBufSize(), 8192u);
     }},
    {"PacketTimeoutZeroIsNever", [](auto& d) { d.SetPacketTimeout(0); },
     [](const auto& d) { EXPECT_EQ(d.PacketTimeout(), -1); }},
    {"OutBufSizeClamps", [](auto& d) { d.SetOutBufSize(1); },
     [](const auto& d) { EXPECT_EQ(d.OutBufSize(), 128u); }},
    {"PortNumberNamesTheDevice", [](auto& d) { d.SetPort(pnCOM12); },
     [](const auto& d) {
       EXPECT_EQ(d.Port(), pnCOM12);
       EXPECT_EQ(d.PortName(), "\\\\.\\COM12");
     }},
    {"PortCustomKeepsTheName",
     [](auto& d) {
       d.SetPortName("/dev/ttyUSB0");
       d.SetPort(pnCustom);
     },
     [](const auto& d) { EXPECT_EQ(d.PortName(), "/dev/ttyUSB0"); }},
    {"PortNameMakesPortCustom",
     [](auto& d) {
       d.SetPort(pnCOM3);
       d.SetPortName("/dev/ttyACM0");
     },
     [](const auto& d) {
       EXPECT_EQ(d.Port(), pnCustom);
       EXPECT_EQ(d.PortName(), "/dev/ttyACM0");
     }},
    {"BaudRateMemberSetsTheValue", [](auto& d) { d.SetBaudRate(br128000); },
     [](const auto& d) {
       EXPECT_EQ(d.BaudRate(), br128000);
       EXPECT_EQ(d.BaudRateValue(), 128000u);
     }},
    {"BaudRateValueMakesRateCustom", [](auto& d) { d.SetBaudRateValue(230400); },
     [](const auto& d) {
       EXPECT_EQ(d.BaudRate(), brCustom);
       EXPECT_EQ(d.BaudRateValue(), 230400u);
     }},
    {"BrCustomKeepsTheValue",
     [](auto& d) {
       d.SetBaudRateValue(250000);
       d.SetBaudRate(brCustom);
     },
     [](const auto& d) { EXPECT_EQ(d.BaudRateValue(), 250000u); }},
};

class ClosedRuleTest : public DriverTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(ClosedRuleTest, Assignment) {
  GetParam().assign(driver_);
  GetParam().expect(driver_);
}

INSTANTIATE_TEST_SUITE_P(Rules, ClosedRuleTest, ::testing::ValuesIn(kClosedRules),
                         [](const auto& row) { return std::string(row.param.name); });

// While open, a line property is stored and written at once, and the purge
// that comes with it drops pending input and the partial packet; the packet
// properties are stored by the same rules as while closed and touch nothing.
struct OpenRuleCase {
  const char* name;
  std::function<void(TSerialPortDriver&)> assign;
  bool reapplies;
  std::function<void(const TSerialPortDriver&, const termios&)> expect;
};

void PrintTo(const OpenRuleCase& row, std::ostream* os) { *os << row.name; }

const OpenRuleCase kOpenRules[] = {
    {"BaudRateMember", [](auto& d) { d.SetBaudRate(br19200); }, true,
     [](const auto& d, const termios&) {
       EXPECT_EQ(d.BaudRateValue(), 19200u);
       EXPECT_EQ(serial::ReadLineSpeed(d.Handle()), 19200u);
     }},
    {"StopBits", [](auto& d) { d.SetStopBits(sb2BITS); }, true,
     [](const auto&, const termios& t) { EXPECT_TRUE(t.c_cflag & CSTOPB); }},
    {"Parity", [](auto& d) { d.SetParity(ptODD); }, true,
     [](const auto&, const termios& t) { EXPECT_TRUE(t.c_cflag & PARODD); }},
    {"HwFlow", [](auto& d) { d.SetHwFlow(hfRTSCTS); }, true,
     [](const auto&, const termios& t) { EXPECT_TRUE(t.c_cflag & CRTSCTS); }},
    {"SwFlow", [](auto& d) { d.SetSwFlow(sfXONXOFF); }, true,
     [](const auto&, const termios& t) { EXPECT_TRUE(t.c_iflag & IXON); }},
    {"DataBits", [](auto& d) { d.SetDataBits(db7BITS); }, true,
     [](const auto& d, const termios&) { EXPECT_EQ(d.DataBits(), db7BITS); }},
    {"PacketSizeZero", [](auto& d) { d.SetPacketSize(0); }, false,
     [](const auto& d, const termios&) { EXPECT_EQ(d.PacketSize(), -1); }},
    {"PacketTimeoutZero", [](auto& d) { d.SetPacketTimeout(0); }, false,
     [](const auto& d, const termios&) { EXPECT_EQ(d.PacketTimeout(), -1); }},
    {"PacketMode", [](auto& d) { d.SetPacketMode(pmDiscard); }, false,
     [](const auto& d, const termios&) { EXPECT_EQ(d.PacketMode(), pmDiscard); }},
    {"EnableDTROnOpenWaitsForTheNextApply", [](auto& d) { d.SetEnableDTROnOpen(false); }, false,
     [](const auto& d, const termios&) { EXPECT_FALSE(d.EnableDTROnOpen()); }},
};

class OpenRuleTest : public DriverTest, public ::testing::WithParamInterface<OpenRuleCase> {};

TEST_P(OpenRuleTest, AssignmentWhileOpen) {
  const OpenRuleCase& c = GetParam();
  UseWindowPacketSettings();
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(10);
  TickAt(0);
  ASSERT_EQ(driver_.PacketStart(), 0);

  c.assign(driver_);

  termios t{};
  ASSERT_EQ(::tcgetattr(pty_.SlaveFd(), &t), 0);
  c.expect(driver_, t);
  EXPECT_EQ(driver_.PacketStart(), c.reapplies ? -1 : 0);
  EXPECT_EQ(driver_.InputHeld(), c.reapplies ? 0u : 10u);
  EXPECT_TRUE(driver_.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Rules, OpenRuleTest, ::testing::ValuesIn(kOpenRules),
                         [](const auto& row) { return std::string(row.param.name); });

// A grown receive buffer really holds a whole large packet.
TEST_F(DriverTest, GrownBufferTakesALargePacket) {
  CapturePackets();
  driver_.SetPacketSize(4000);
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(4000);
  TickAt(0);
  EXPECT_EQ(sizes_, (std::vector<uint32_t>{4000}));
  EXPECT_EQ(bytes_, PositionBytes(0, 4000));
}

TEST_F(DriverTest, WhileOpenTheDeviceAndBuffersStay) {
  ASSERT_TRUE(driver_.OpenPort());
  const std::string device = pty_.SlavePath();
  driver_.SetPortName("/dev/ttyS0");
  driver_.SetPort(pnCOM5);
  driver_.SetInBufSize(4096);
  driver_.SetOutBufSize(4096);
  driver_.SetPacketSize(4096);  // the buffer cannot grow now: clamped to it
  EXPECT_EQ(driver_.PortName(), device);
  EXPECT_EQ(driver_.Port(), pnCustom);
  EXPECT_EQ(driver_.InBufSize(), 2048u);
  EXPECT_EQ(driver_.OutBufSize(), 2048u);
  EXPECT_EQ(driver_.PacketSize(), 2048);

  driver_.ClosePort();
  driver_.SetPortName("/dev/ttyS0");
  EXPECT_EQ(driver_.PortName(), "/dev/ttyS0");
}

TEST_F(DriverTest, NewPollingDelayRestartsTheRunningTimer) {
  UseWindowPacketSettings();
  ASSERT_TRUE(driver_.OpenPort());
  driver_.SetPollingDelay(20);
  EXPECT_FALSE(timer_.running) << "nothing pending, nothing polled";
  Arrive(10);
  ReadableAt(0);
  EXPECT_EQ(timer_.period, 20u);
  driver_.SetPollingDelay(20);
  EXPECT_EQ(timer_.starts, 1) << "an unchanged value does nothing";
  driver_.SetPollingDelay(5);
  EXPECT_EQ(timer_.starts, 2);
  EXPECT_TRUE(timer_.running);
  EXPECT_EQ(timer_.period, 5u);
}

// A line change while open is written at once and, like the purge it
// includes, discards pending input and forgets the partial packet.
TEST_F(DriverTest, LineChangeWhileOpenReappliesAndPurges) {
  UseWindowPacketSettings();
  CapturePackets();
  ASSERT_TRUE(driver_.OpenPort());
  Arrive(10);
  TickAt(0);
  ASSERT_EQ(driver_.PacketStart(), 0);

  driver_.SetBaudRateValue(115200);
  EXPECT_EQ(serial::ReadLineSpeed(driver_.Handle()), 115200u);
  EXPECT_EQ(driver_.PacketStart(), -1);
  EXPECT_EQ(driver_.InputHeld(), 0u);
  EXPECT_FALSE(timer_.running);
  TickAt(1000);
  EXPECT_TRUE(sizes_.empty());
}

}  // namespace
}  // namespace serialtest
