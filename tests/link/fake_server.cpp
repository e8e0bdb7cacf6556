#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace serverlink::testing {
namespace {

int32_t le32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// True when /proc/net/tcp lists the socket 127.0.0.1:localPort in CLOSE_WAIT,
// the state a socket enters once the peer's close has reached it.
bool inCloseWait(uint16_t localPort) {
  std::ifstream table("/proc/net/tcp");
  if (!table) return true;  // nothing to look at: do not wait
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", localPort);
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted) return state == "08";
  }
  return true;  // already gone
}

}  // namespace

Bytes ServerBlock(int32_t frameType) { return EncodeBlock(EncodeFrame(frameType, {}, 0)); }

FakeServer::FakeServer() : responder_([](const ReceivedFrame&) { return Reply{ServerBlock(ftKeepAlive)}; }) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listenFd_, 8);
  socklen_t length = sizeof address;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

FakeServer::~FakeServer() {
  stop_ = true;
  thread_.join();
  closeClient();
  ::close(listenFd_);
}

void FakeServer::SetResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

std::vector<ReceivedFrame> FakeServer::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::vector<ReceivedFrame> FakeServer::FramesOf(int connection) const {
  std::vector<ReceivedFrame> result;
  for (ReceivedFrame& f : Frames()) {
    if (f.Connection == connection) result.push_back(std::move(f));
  }
  return result;
}

void FakeServer::Drop() {
  dropRequested_ = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (dropRequested_ && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void FakeServer::run() {
  while (!stop_) {
    if (dropRequested_) {
      const uint16_t peer = clientPort_;
      closeClient();
      waitForPeerToSeeClose(peer);
      dropRequested_ = false;
    }
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {clientFd_, POLLIN, 0}};
    if (poll(fds, clientFd_ >= 0 ? 2 : 1, 10) <= 0) continue;
    if (fds[0].revents & POLLIN) acceptClient();
    if (clientFd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) readClient();
  }
}

void FakeServer::acceptClient() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  if (fd < 0) return;
  closeClient();
  clientFd_ = fd;
  clientPort_ = ntohs(peer.sin_port);
  buffer_.clear();
  ++connections_;
  clientOpen_ = true;
}

void FakeServer::readClient() {
  uint8_t chunk[4096];
  const ssize_t n = recv(clientFd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    closeClient();
    return;
  }
  buffer_.insert(buffer_.end(), chunk, chunk + n);
  handleBlocks();
}

void FakeServer::handleBlocks() {
  while (clientFd_ >= 0 && buffer_.size() >= kTransportHeaderSize) {
    const int32_t bodyLength = le32(&buffer_[5]);
    if (buffer_.size() < kTransportHeaderSize + static_cast<size_t>(bodyLength)) return;
    const Bytes body(buffer_.begin() + kTransportHeaderSize, buffer_.begin() + kTransportHeaderSize + bodyLength);
    buffer_.erase(buffer_.begin(), buffer_.begin() + kTransportHeaderSize + bodyLength);
    const auto header = ParseFrameHeader(body);
    if (!header) continue;
    ReceivedFrame frame{connections_.load(), header->FrameType, header->Sequence,
                        Bytes(body.begin() + kFrameHeaderSize, body.end())};
    Responder responder;
    {
      std::lock_guard lock(mutex_);
      frames_.push_back(frame);
      responder = responder_;
    }
    const Reply reply = responder(frame);
    if (!reply.Data.empty()) send(clientFd_, reply.Data.data(), reply.Data.size(), MSG_NOSIGNAL);
    if (reply.Close) closeClient();
  }
}

void FakeServer::closeClient() {
  if (clientFd_ < 0) return;
  ::close(clientFd_);
  clientFd_ = -1;
  clientOpen_ = false;
}

void FakeServer::waitForPeerToSeeClose(uint16_t peerPort) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!inCloseWait(peerPort) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace serverlink::testing
