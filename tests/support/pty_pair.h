#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace testsupport {

// A pseudo-terminal pair standing in for a serial line: the code under test
// opens SlavePath() like a device, the test plays the far end on the master.
// The slave starts in raw mode, so nothing is echoed or translated before
// the code under test sets the line up. The pair keeps its own slave
// descriptor open until CloseSlave(), so bytes written to the master before
// the device is opened are kept, not lost.
class PtyPair {
 public:
  PtyPair();  // throws std::runtime_error when no pair can be made
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int MasterFd() const { return master_; }
  int SlaveFd() const { return slave_; }
  const std::string& SlavePath() const { return slavePath_; }

  // The far end goes away: the slave sees a hang-up.
  void CloseMaster();
  void CloseSlave();

  // Writes every byte to the master, waiting at most timeoutMs in all.
  bool WriteMaster(std::string_view bytes, int timeoutMs = 1000);
  // What reaches the master: returns once `count` bytes have arrived or
  // timeoutMs has passed, with whatever arrived.
  std::string ReadMaster(std::size_t count, int timeoutMs = 1000);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Bytes written to a pseudo-terminal reach the other side through a kernel
// work queue, not at once. Waits until fd has at least `count` bytes to
// read, at most timeoutMs; false on time-out.
bool WaitForInput(int fd, std::size_t count, int timeoutMs = 1000);

// Bytes waiting to be read on fd (FIONREAD), or -1.
int PendingInput(int fd);

// Bytes from..from+count of a stream in which each byte shows its own
// position, so a lost, doubled or reordered byte shows in what arrives.
std::string PositionBytes(std::size_t from, std::size_t count);

}  // namespace testsupport
