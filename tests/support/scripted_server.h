#pragma once

// The message server on loopback, for the link tests, the end-to-end and
// fault tests and the benchmark alike. It serves one connection at a time;
// the next waits in the listen queue until the current one is over.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "link/frame.h"

namespace testsupport {

using SteadyClock = std::chrono::steady_clock;

struct ReceivedFrame {
  int connection = 0;  // 1 for the first connection the server accepted, and so on
  int32_t type = 0;
  uint64_t sequence = 0;
  serverlink::Bytes payload;
  SteadyClock::time_point readAt;  // when the last byte of its block had been read
};

// What a test has the server send back for one frame.
struct Reply {
  serverlink::Bytes data;  // raw bytes, possibly none (a silent server)
  bool close = false;      // close the connection once they are sent
};
using Responder = std::function<Reply(const ReceivedFrame&)>;

// What the server does on one connection: it answers properly until the
// block that carries call event number afterCalls + 1 of the connection, and
// the fault comes with that block; with afterCalls -1 it comes with the
// first block, the greeting.
enum class Fault {
  kNone,
  kClose,           // reads the block, then closes without a reply
  kCloseUnread,     // reads only the block's header, then closes: the body is never read
  kResetInBlock,    // reads only the block's header, then resets the connection
  kResetInReply,    // reads the block, sends half a reply header, then resets
  kStopAnswering,   // reads everything from then on, answers nothing
  kHang,            // reads and answers nothing from then on (its buffers fill)
  kGarbage,         // replies 64 bytes of noise, then goes on normally
  kWrongMark,       // replies a whole block whose first byte is 0x00, then goes on normally
  kZeroLength,      // replies a header with BodyLength 0, then goes on normally
  kHugeLength,      // replies a header with BodyLength 0x7FFFFFFF, then goes on normally
  kCutBody,         // replies a header and 10 of its 18 body bytes, then answers nothing
  kDeny,            // replies ftAccessDenied, then goes on normally
  kTrickle,         // sends its reply a byte at a time, then goes on normally
  kCloseAtOnce,     // closes as soon as it has accepted, reading nothing (afterCalls unused)
};

struct ConnectionScript {
  Fault fault = Fault::kNone;
  int afterCalls = 0;
  // kHang: how long the server holds the connection before it closes it;
  // kTrickle: the pause before each byte.
  std::chrono::milliseconds holdFor{0};
};

class ScriptedServer {
 public:
  // Connection n follows scripts[n - 1]; later ones are served properly.
  // Port 0: one of the system's choosing.
  explicit ScriptedServer(std::vector<ConnectionScript> scripts = {}, int port = 0);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int Port() const { return port_; }

  // Served properly, the first block of a connection is answered with
  // ftAccessGranted and every later one with a bare ftKeepAlive. A responder
  // chooses the answers instead (outside a scripted fault).
  void SetResponder(Responder responder);

  // The reply to the next frame of this type waits until Release: the
  // server has read the frame, and the program has had no answer to it.
  void HoldReplyTo(int32_t frameType);
  void Release();

  // Closes the current connection and returns once the program's side has
  // seen the close, so the next write there meets a closed peer.
  void Drop();

  int Connections() const { return connections_; }
  int Ended() const { return ended_; }  // connections over, whichever side ended them
  bool ConnectionOpen() const { return ended_ < connections_; }

  std::vector<ReceivedFrame> Frames() const;
  std::vector<ReceivedFrame> FramesOf(int connection) const;
  std::vector<ReceivedFrame> FramesOfType(int32_t type) const;
  // The first frame received, from the start, for which wanted holds, or
  // nullopt after limit. Woken by each frame, so no polling delay is added.
  std::optional<ReceivedFrame> WaitForFrame(const std::function<bool(const ReceivedFrame&)>& wanted,
                                            std::chrono::milliseconds limit) const;
  bool WaitForCount(int32_t type, size_t atLeast, std::chrono::milliseconds limit) const;

 private:
  enum class Read { kDone, kClosed, kStopped };

  void Run();
  // Returns whether fd is still to be closed.
  bool Serve(int fd, int connection, const ConnectionScript& script);
  Read ReadExactly(int fd, uint8_t* data, size_t count);
  void Record(const ReceivedFrame& frame);
  void WaitWhileHeld(int32_t frameType);
  void Hold(std::chrono::milliseconds limit);
  // False once the program has closed its end.
  bool Trickle(int fd, const serverlink::Bytes& reply, std::chrono::milliseconds pause);
  void DropNow(int fd);
  std::optional<Reply> ResponderReply(const ReceivedFrame& frame);

  std::vector<ConnectionScript> scripts_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> dropRequested_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> ended_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ReceivedFrame> frames_;      // guarded by mutex_
  Responder responder_;                    // guarded by mutex_
  std::optional<int32_t> heldType_;        // guarded by mutex_
  std::thread thread_;                     // last: it starts once the rest is there
};

}  // namespace testsupport
