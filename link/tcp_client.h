#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/ticks.h"
#include "link/frame.h"
#include "link/name_lookup.h"
#include "link/receive.h"

namespace serverlink {

// A limit of Ms milliseconds from the tick Start. Differences are taken as
// unsigned 32-bit values, so it holds across the counter's wrap.
struct TimeLimit {
  uint32_t Start = 0;
  uint32_t Ms = 0;
};
uint32_t MsLeft(const common::TickSource& ticks, TimeLimit limit);

// One TCP connection to the message server. Every wait is cut into short
// slices that look at Stop, so a closing program never waits out a connect
// limit or a data wait. The limits are measured on Ticks, which a slice
// reads anew, so a clock moved by a test ends a wait within one slice.
// Runs on the link thread only.
class TcpClient : public ByteSource {
 public:
  struct Options {
    // The whole attempt, name lookup included.
    uint32_t ConnectLimitMs = 2500;
    uint32_t DataWaitMs = 1000;
    const common::TickSource* Ticks = nullptr;  // default: the monotonic clock
    NameLookup* Lookup = nullptr;               // default: a lookup of its own
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

  // Writes and reads from now on end by this limit as well as by their own
  // waits: one block written and its reply read. A server that sends its
  // reply a byte at a time, each within the data wait, is stopped by it.
  void LimitExchange(TimeLimit limit) { exchange_ = limit; }
  bool ExchangeLimitPassed() const;

 private:
  bool connectTo(const sockaddr_in& address, TimeLimit limit);
  bool waitForAnswer(LookupAnswer& answer, TimeLimit limit);
  // Waits for events on the socket; false on time-out, stop or error.
  bool waitFor(short events, TimeLimit limit);
  uint32_t msLeft(TimeLimit limit) const;
  bool stopped() const { return options_.Stop && options_.Stop(); }
  bool peerHasClosed();
  void closeQuietly();

  std::string host_;
  int port_;
  Options options_;
  common::MonotonicTicks defaultTicks_;
  std::optional<NameLookup> ownLookup_;
  std::optional<TimeLimit> exchange_;
  int fd_ = -1;
};

}  // namespace serverlink
