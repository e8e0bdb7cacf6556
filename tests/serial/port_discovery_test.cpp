#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <stdexcept>

#include "serial/exclusive_device.h"
#include "serial/port_discovery.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace {

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { serial::SetLockDirectory(locks_.Path()); }

  // COM names mapped to devices; every other name maps to nothing there.
  std::vector<std::string> Scan() {
    return serial::ScanPorts([this](int n) {
      probed_.push_back(n);
      const auto it = devices_.find(n);
      return it != devices_.end() ? it->second : locks_.File("no-device-" + std::to_string(n));
    });
  }

  testsupport::TempDir locks_;
  testsupport::PtyPair com3_;
  testsupport::PtyPair com7_;
  std::map<int, std::string> devices_{{3, com3_.SlavePath()}, {7, com7_.SlavePath()}};
  std::vector<int> probed_;
};

TEST_F(ScanTest, ListsFreeDevicesInNumberOrderAndLeavesThemFree) {
  EXPECT_EQ(Scan(), (std::vector<std::string>{"COM3", "COM7"}));
  // Probing released everything it took.
  for (const auto& [n, path] : devices_) {
    EXPECT_FALSE(std::ifstream(locks_.File(serial::LockFileName(path))).good()) << n;
    EXPECT_TRUE(serial::ProbeDevice(path)) << n;
  }
}

TEST_F(ScanTest, HeldDeviceIsNotListed) {
  const int holder = ::open(com7_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Scan(), (std::vector<std::string>{"COM3"}));
  ::close(holder);
}

TEST_F(ScanTest, PathThatIsNoTerminalIsNotListed) {
  const std::string plain = locks_.File("plain-file");
  std::ofstream(plain) << "x";
  devices_[3] = plain;
  EXPECT_EQ(Scan(), (std::vector<std::string>{"COM7"}));
  EXPECT_FALSE(std::ifstream(locks_.File(serial::LockFileName(plain))).good()) << "lock left behind";
}

TEST_F(ScanTest, NoDeviceAtAllGivesAnEmptyList) {
  devices_.clear();
  EXPECT_TRUE(Scan().empty());
}

TEST_F(ScanTest, ProbesCom1ToCom32OnlyInOrder) {
  devices_[33] = com3_.SlavePath();
  Scan();
  std::vector<int> expected;
  for (int n = 1; n <= 32; ++n) expected.push_back(n);
  EXPECT_EQ(probed_, expected);
}

TEST_F(ScanTest, NameThatCannotBeMappedIsSkipped) {
  const auto names = serial::ScanPorts([this](int n) -> std::string {
    if (n == 3) throw std::runtime_error("no mapping");
    return n == 7 ? com7_.SlavePath() : std::string();
  });
  EXPECT_EQ(names, (std::vector<std::string>{"COM7"}));
  EXPECT_TRUE(serial::ScanPorts(nullptr).empty());
}

}  // namespace
