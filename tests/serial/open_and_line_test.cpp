#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>

#include "serial/line_termios.h"
#include "tests/serial/driver_fixture.h"

namespace serialtest {
namespace {

using namespace serial;

termios SlaveTermios(const testsupport::PtyPair& pty) {
  termios t{};
  EXPECT_EQ(::tcgetattr(pty.SlaveFd(), &t), 0);
  return t;
}

struct LineCase {
  const char* name;
  TDataBits dataBits;
  TParity parity;
  TStopBits stopBits;
  THwFlowControl hwFlow;
  TSwFlowControl swFlow;
  tcflag_t size;
  tcflag_t parityBits;  // among PARENB | PARODD | CMSPAR
  bool cstopb;
  bool crtscts;
  bool xonxoff;
};

// Failures name the row instead of dumping its bytes.
void PrintTo(const LineCase& row, std::ostream* os) { *os << row.name; }

const LineCase kLineCases[] = {
    {"WindowDefaults", db8BITS, ptNONE, sb1BITS, hfNONERTSON, sfNONE, CS8, 0, false, false, false},
    {"SevenEvenTwoStops", db7BITS, ptEVEN, sb2BITS, hfNONE, sfNONE, CS7, PARENB, true, false, false},
    {"SixOdd", db6BITS, ptODD, sb1BITS, hfNONERTSON, sfNONE, CS6, PARENB | PARODD, false, false, false},
    {"FiveMarkOneAndAHalf", db5BITS, ptMARK, sb1HALFBITS, hfNONE, sfNONE, CS5, PARENB | PARODD | CMSPAR, true,
     false, false},
    {"Space", db8BITS, ptSPACE, sb1BITS, hfNONE, sfNONE, CS8, PARENB | CMSPAR, false, false, false},
    {"RtsCts", db8BITS, ptNONE, sb1BITS, hfRTSCTS, sfNONE, CS8, 0, false, true, false},
    {"XonXoff", db8BITS, ptNONE, sb1BITS, hfNONERTSON, sfXONXOFF, CS8, 0, false, false, true},
};

class LineTest : public DriverTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineTest, WritesRawLineFromProperties) {
  const LineCase& c = GetParam();
  driver_.SetDataBits(c.dataBits);
  driver_.SetParity(c.parity);
  driver_.SetStopBits(c.stopBits);
  driver_.SetHwFlow(c.hwFlow);
  driver_.SetSwFlow(c.swFlow);
  ASSERT_TRUE(driver_.OpenPort());

  // A pseudo-terminal forces CS8 and drops PARENB; those two are checked
  // on the flags the driver asks for, everything else on the device.
  const auto asked = serial::LineControlFlags(serial::LineConfigOf(driver_));
  EXPECT_EQ(asked & CSIZE, c.size);
  EXPECT_EQ(asked & (PARENB | PARODD | CMSPAR), c.parityBits);
  const termios t = SlaveTermios(pty_);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.parityBits & ~PARENB);
  EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
  EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.crtscts);
  EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) != 0, c.xonxoff);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  // Raw: nothing the modem sends is translated, echoed or taken as a signal.
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | BRKINT), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
  // A pseudo-terminal has no modem lines: skipped, not a failure.
  EXPECT_TRUE(driver_.ModemLines().Empty());
}

INSTANTIATE_TEST_SUITE_P(Lines, LineTest, ::testing::ValuesIn(kLineCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(DriverTest, AnyIntegerRateIsWrittenAsItIs) {
  for (const uint32_t rate : {1200u, 115200u, 230400u, 250000u, 123457u}) {
    driver_.SetBaudRateValue(rate);
    ASSERT_TRUE(driver_.OpenPort()) << rate;
    EXPECT_EQ(serial::ReadLineSpeed(driver_.Handle()), rate);
    driver_.ClosePort();
  }
}

// Rate 0 would mean "hang up" to the terminal, not a speed.
TEST_F(DriverTest, RateZeroIsRefusedAndLeavesNothingHeld) {
  driver_.SetBaudRateValue(0);
  EXPECT_FALSE(driver_.OpenPort());
  EXPECT_FALSE(driver_.IsOpen());
  EXPECT_FALSE(watcher_.watching);
  EXPECT_FALSE(std::ifstream(locks_.File(serial::LockFileName(pty_.SlavePath()))).good());
  driver_.SetBaudRateValue(9600);
  EXPECT_TRUE(driver_.OpenPort());
}

TEST_F(DriverTest, OpenOnOpenPortTouchesNothing) {
  ASSERT_TRUE(driver_.OpenPort());
  termios t = SlaveTermios(pty_);
  ::cfsetospeed(&t, B1200);
  ASSERT_EQ(::tcsetattr(pty_.SlaveFd(), TCSANOW, &t), 0);
  const int fd = driver_.Handle();
  EXPECT_TRUE(driver_.OpenPort());
  EXPECT_EQ(driver_.Handle(), fd);
  const termios after = SlaveTermios(pty_);
  EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B1200));
  EXPECT_EQ(watcher_.fd, fd);
}

TEST_F(DriverTest, DeviceThatIsNotThereOrNotATerminalDoesNotOpen) {
  for (const std::string& path : {locks_.File("absent"), locks_.File("plain-file"), std::string()}) {
    if (path == locks_.File("plain-file")) std::ofstream(path) << "x";
    driver_.SetPortName(path);
    EXPECT_FALSE(driver_.OpenPort()) << path;
    EXPECT_FALSE(driver_.IsOpen());
    EXPECT_FALSE(std::ifstream(locks_.File(serial::LockFileName(path))).good()) << "lock left behind for " << path;
  }
}

// ---- exclusive holding ------------------------------------------------------

void WriteLock(const std::string& path, const std::string& content) { std::ofstream(path) << content; }

std::string HdbPid(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

pid_t DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct HolderCase {
  const char* name;
  // Sets up the other holder; returns a descriptor to close afterwards, or -1.
  std::function<int(const std::string& device, const std::string& lockFile)> hold;
  bool opens;
};

// Failures name the row instead of dumping its bytes.
void PrintTo(const HolderCase& row, std::ostream* os) { *os << row.name; }

const HolderCase kHolderCases[] = {
    {"FlockOfAnotherDescriptor",
     [](const std::string& device, const std::string&) {
       const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
       EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
       return fd;
     },
     false},
    {"LiveLockFile",
     [](const std::string&, const std::string& lock) {
       WriteLock(lock, HdbPid(::getppid()));
       return -1;
     },
     false},
    {"StaleLockFileOfDeadProcess",
     [](const std::string&, const std::string& lock) {
       WriteLock(lock, HdbPid(DeadPid()));
       return -1;
     },
     true},
    {"UnreadableLockFile",
     [](const std::string&, const std::string& lock) {
       WriteLock(lock, "garbage");
       return -1;
     },
     true},
    {"PlainOpenWithoutLocks",
     [](const std::string& device, const std::string&) {
       return ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
     },
     true},
};

class HolderTest : public DriverTest, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(HolderTest, OpensOnlyWhenNobodyHoldsTheDevice) {
  const HolderCase& c = GetParam();
  const std::string lock = locks_.File(serial::LockFileName(pty_.SlavePath()));
  const int other = c.hold(pty_.SlavePath(), lock);
  EXPECT_EQ(driver_.OpenPort(), c.opens);
  EXPECT_EQ(driver_.IsOpen(), c.opens);
  if (c.opens) {
    EXPECT_EQ(ReadAll(lock), HdbPid(::getpid()));
  }
  if (other >= 0) ::close(other);
}

INSTANTIATE_TEST_SUITE_P(Holders, HolderTest, ::testing::ValuesIn(kHolderCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(DriverTest, SecondDriverIsRefusedUntilTheFirstCloses) {
  ASSERT_TRUE(driver_.OpenPort());
  FakeTimer otherTimer;
  FakeWatcher otherWatcher;
  serial::TSerialPortDriver other(otherTimer, otherWatcher, ticks_);
  other.SetPortName(pty_.SlavePath());
  EXPECT_FALSE(other.OpenPort());
  EXPECT_FALSE(other.IsOpen());

  // Without lock files only the flock stands between them.
  serial::SetLockDirectory(locks_.File("missing"));
  EXPECT_FALSE(other.OpenPort());

  serial::SetLockDirectory(locks_.Path());
  driver_.ClosePort();
  EXPECT_FALSE(std::ifstream(locks_.File(serial::LockFileName(pty_.SlavePath()))).good());
  EXPECT_TRUE(other.OpenPort());
}

TEST_F(DriverTest, UnusableLockDirectoryIsSkippedSilently) {
  serial::SetLockDirectory(locks_.File("missing"));
  EXPECT_TRUE(driver_.OpenPort());
}

TEST(LockFileName, NamesTheDeviceNotTheAlias) {
  EXPECT_EQ(serial::LockFileName("/dev/pts/3"), "LCK..pts_3");
  EXPECT_EQ(serial::LockFileName("/no/such/ttyUSB9"), "LCK..ttyUSB9");
  testsupport::PtyPair pty;
  testsupport::TempDir dir;
  const std::string alias = dir.File("modem");
  ASSERT_EQ(::symlink(pty.SlavePath().c_str(), alias.c_str()), 0);
  EXPECT_EQ(serial::LockFileName(alias), serial::LockFileName(pty.SlavePath()));
}

}  // namespace
}  // namespace serialtest
