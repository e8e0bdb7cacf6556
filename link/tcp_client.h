#pragma once

#include <functional>
#include <string>

#include "common/ticks.h"
#include "link/frame.h"
#include "link/receive.h"

namespace serverlink {

// One TCP connection to the message server. Every wait is cut into short
// slices that look at Stop, so a closing program never waits out a connect
// limit or a data wait. The limits are measured on Ticks, which a slice
// reads anew, so a clock moved by a test ends a wait within one slice.
// Runs on the link thread only.
class TcpClient : public ByteSource {
 public:
  struct Options {
    uint32_t ConnectLimitMs = 2500;
    uint32_t DataWaitMs = 1000;
    const common::TickSource* Ticks = nullptr;  // default: the monotonic clock
    std::function<bool()> Stop;                 // true: give up any wait now
    std::function<void()> OnConnected;     // inside a successful Connect
    std::function<void()> OnDisconnected;  // Close of an open connection
  };

  TcpClient(std::string host, int port, Options options);
  ~TcpClient() override;  // closes without OnDisconnected
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Connect();
  // The whole block, or false (a socket error). A server that has already
  // closed its end fails the write before any byte is sent.
  bool Write(const Bytes& block);
  size_t ReadSome(uint8_t* out, size_t maxBytes) override;
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  bool connectTo(const void* address, unsigned addressLength);
  // Waits for events on the socket; false on time-out, stop or error.
  bool waitFor(short events, uint32_t limitMs);
  bool peerHasClosed();
  void closeQuietly();

  std::string host_;
  int port_;
  Options options_;
  common::MonotonicTicks defaultTicks_;
  int fd_ = -1;
};

}  // namespace serverlink
