#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "link/frame.h"

namespace serverlink::testing {

struct ReceivedFrame {
  int Connection = 0;  // 1 for the first accepted connection, and so on
  int32_t Type = 0;
  uint64_t Sequence = 0;
  Bytes Payload;
};

struct Reply {
  Bytes Data;          // raw bytes sent back, possibly none (a silent server)
  bool Close = false;  // close the connection once they are sent
};
using Responder = std::function<Reply(const ReceivedFrame&)>;

// A block carrying one frame of the given type, as the message server sends it.
Bytes ServerBlock(int32_t frameType);

// A message server on 127.0.0.1 and a port of its own choosing. It serves one
// connection at a time (a new one replaces the old), records every frame it
// receives and answers each through the responder. By default every frame
// gets a bare keep-alive frame back, which counts as a valid reply.
class FakeServer {
 public:
  FakeServer();
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  int Port() const { return port_; }
  void SetResponder(Responder responder);
  std::vector<ReceivedFrame> Frames() const;
  std::vector<ReceivedFrame> FramesOf(int connection) const;
  int Connections() const { return connections_.load(); }
  bool ClientOpen() const { return clientOpen_.load(); }
  // Closes the current connection and returns once the client's side of it
  // has seen the close, so a test knows the next write meets a closed peer.
  void Drop();

 private:
  void run();
  void acceptClient();
  void readClient();
  void handleBlocks();
  void closeClient();
  void waitForPeerToSeeClose(uint16_t peerPort) const;

  int listenFd_ = -1;
  int clientFd_ = -1;  // server thread only
  uint16_t clientPort_ = 0;
  int port_ = 0;
  Bytes buffer_;
  std::atomic<int> connections_{0};
  std::atomic<bool> clientOpen_{false};
  std::atomic<bool> dropRequested_{false};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  Responder responder_;
  std::vector<ReceivedFrame> frames_;
  std::thread thread_;
};

}  // namespace serverlink::testing
