#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "modem/call_event.h"
#include "tests/support/frame_bytes.h"

namespace testsupport {
namespace {

using serverlink::Bytes;

// How late the server thread sees a stop, a drop or a release.
constexpr int kSliceMs = 10;
// Only a call event makes a body of this size.
constexpr int32_t kCallEventBody = static_cast<int32_t>(serverlink::kFrameHeaderSize + modem::kCallEventSize);
// A larger body is no frame of the program's: the stream is out of step.
constexpr int32_t kLargestBody = 4096;

void SendAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void Reset(int fd) {
  const linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd);
}

// True when /proc/net/tcp lists the socket 127.0.0.1:localPort in CLOSE_WAIT,
// the state a socket enters once the peer's close has reached it.
bool InCloseWait(uint16_t localPort) {
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

uint16_t PeerPort(int fd) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
  return ntohs(peer.sin_port);
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<ConnectionScript> scripts, int port) : scripts_(std::move(scripts)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("no loopback listener");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

void ScriptedServer::SetResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

void ScriptedServer::HoldReplyTo(int32_t frameType) {
  std::lock_guard lock(mutex_);
  heldType_ = frameType;
}

void ScriptedServer::Release() {
  std::lock_guard lock(mutex_);
  heldType_.reset();
}

void ScriptedServer::Drop() {
  dropRequested_ = true;
  const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
  while (dropRequested_ && SteadyClock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<ReceivedFrame> ScriptedServer::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::vector<ReceivedFrame> ScriptedServer::FramesOf(int connection) const {
  std::vector<ReceivedFrame> matching;
  for (auto& f : Frames())
    if (f.connection == connection) matching.push_back(std::move(f));
  return matching;
}

std::vector<ReceivedFrame> ScriptedServer::FramesOfType(int32_t type) const {
  std::vector<ReceivedFrame> matching;
  for (auto& f : Frames())
    if (f.type == type) matching.push_back(std::move(f));
  return matching;
}

std::optional<ReceivedFrame> ScriptedServer::WaitForFrame(const std::function<bool(const ReceivedFrame&)>& wanted,
                                                          std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  std::optional<ReceivedFrame> found;
  changed_.wait_for(lock, limit, [&] {
    for (const auto& f : frames_) {
      if (wanted(f)) {
        found = f;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool ScriptedServer::WaitForCount(int32_t type, size_t atLeast, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    size_t n = 0;
    for (const auto& f : frames_) n += f.type == type;
    return n >= atLeast;
  });
}

void ScriptedServer::Run() {
  while (!stop_) {
    dropRequested_ = false;  // with no connection there is nothing to drop
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int connection = ++connections_;
    const size_t index = static_cast<size_t>(connection - 1);
    const ConnectionScript script = index < scripts_.size() ? scripts_[index] : ConnectionScript{};
    if (Serve(fd, connection, script)) ::close(fd);
    ++ended_;
  }
}

ScriptedServer::Read ScriptedServer::ReadExactly(int fd, uint8_t* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (stop_ || dropRequested_) return Read::kStopped;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) <= 0) continue;
    const ssize_t n = ::recv(fd, data + done, count - done, 0);
    if (n <= 0) return Read::kClosed;
    done += static_cast<size_t>(n);
  }
  return Read::kDone;
}

void ScriptedServer::Record(const ReceivedFrame& frame) {
  {
    std::lock_guard lock(mutex_);
    frames_.push_back(frame);
  }
  changed_.notify_all();
}

void ScriptedServer::WaitWhileHeld(int32_t frameType) {
  std::unique_lock lock(mutex_);
  if (heldType_ != frameType) return;
  while (heldType_ == frameType && !stop_ && !dropRequested_) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
    lock.lock();
  }
}

// Holds the connection open without reading, then closes it; whatever the
// program wrote meanwhile is never read.
void ScriptedServer::Hold(std::chrono::milliseconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  while (!stop_ && SteadyClock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
}

void ScriptedServer::DropNow(int fd) {
  const uint16_t peer = PeerPort(fd);
  ::close(fd);
  const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
  while (!InCloseWait(peer) && SteadyClock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  dropRequested_ = false;
}

std::optional<Reply> ScriptedServer::ResponderReply(const ReceivedFrame& frame) {
  Responder responder;
  {
    std::lock_guard lock(mutex_);
    responder = responder_;
  }
  if (!responder) return std::nullopt;
  return responder(frame);
}

bool ScriptedServer::Trickle(int fd, const Bytes& reply, std::chrono::milliseconds pause) {
  for (const uint8_t byte : reply) {
    Hold(pause);
    pollfd p{fd, POLLRDHUP, 0};
    if (stop_ || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)) return false;
    if (::send(fd, &byte, 1, MSG_NOSIGNAL) != 1) return false;
  }
  return true;
}

bool ScriptedServer::Serve(int fd, int connection, const ConnectionScript& script) {
  if (script.fault == Fault::kCloseAtOnce) return true;
  bool granted = false;
  bool answering = true;
  int calls = 0;
  for (int block = 0; !stop_; ++block) {
    uint8_t header[serverlink::kTransportHeaderSize];
    const Read headerRead = ReadExactly(fd, header, sizeof header);
    if (headerRead == Read::kStopped && dropRequested_) {
      DropNow(fd);
      return false;
    }
    if (headerRead != Read::kDone) return true;
    const auto info = serverlink::DecodeBlockHeader(header);
    const bool isCall = info.BodyLength == kCallEventBody;
    if (isCall) ++calls;
    const bool faultNow = script.fault != Fault::kNone &&
                          (script.afterCalls < 0 ? block == 0 : isCall && calls == script.afterCalls + 1);
    if (faultNow && script.fault == Fault::kCloseUnread) return true;
    if (faultNow && script.fault == Fault::kResetInBlock) {
      Reset(fd);
      return false;
    }
    if (!info.Accepted || info.BodyLength < static_cast<int32_t>(serverlink::kFrameHeaderSize) ||
        info.BodyLength > kLargestBody) {
      return true;
    }
    Bytes body(static_cast<size_t>(info.BodyLength));
    const Read bodyRead = ReadExactly(fd, body.data(), body.size());
    if (bodyRead == Read::kStopped && dropRequested_) {
      DropNow(fd);
      return false;
    }
    if (bodyRead != Read::kDone) return true;
    const auto frameHeader = serverlink::ParseFrameHeader(body);
    if (!frameHeader) return true;
    ReceivedFrame received;
    received.readAt = SteadyClock::now();
    received.connection = connection;
    received.type = frameHeader->FrameType;
    received.sequence = frameHeader->Sequence;
    received.payload.assign(body.begin() + serverlink::kFrameHeaderSize, body.end());
    Record(received);
    WaitWhileHeld(received.type);
    if (dropRequested_) {
      DropNow(fd);
      return false;
    }
    if (faultNow) {
      switch (script.fault) {
        case Fault::kClose:
          return true;
        case Fault::kResetInReply: {
          const Bytes reply = ServerBlock(serverlink::ftKeepAlive);
          SendAll(fd, Bytes(reply.begin(), reply.begin() + 10));
          Reset(fd);
          return false;
        }
        case Fault::kStopAnswering:
          answering = false;
          continue;
        case Fault::kHang:
          Hold(script.holdFor);
          return true;
        case Fault::kGarbage: {
          Bytes noise(64);
          uint32_t x = 0x9E3779B9u;
          for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
          SendAll(fd, noise);
          continue;
        }
        case Fault::kWrongMark: {
          Bytes reply = ServerBlock(serverlink::ftKeepAlive);
          reply[serverlink::kBlockMarkOffset] = 0x00;
          SendAll(fd, reply);
          continue;
        }
        case Fault::kZeroLength:
          SendAll(fd, BlockHeader(0));
          continue;
        case Fault::kHugeLength:
          SendAll(fd, BlockHeader(0x7FFFFFFF));
          continue;
        case Fault::kCutBody: {
          const Bytes reply = ServerBlock(serverlink::ftKeepAlive);
          SendAll(fd, Bytes(reply.begin(), reply.begin() + serverlink::kTransportHeaderSize + 10));
          answering = false;
          continue;
        }
        case Fault::kDeny:
          SendAll(fd, ServerBlock(serverlink::ftAccessDenied));
          continue;
        case Fault::kTrickle:
          if (!Trickle(fd, ServerBlock(serverlink::ftKeepAlive), script.holdFor)) return true;
          continue;
        default:
          break;
      }
    }
    if (!answering) continue;
    if (const auto reply = ResponderReply(received)) {
      SendAll(fd, reply->data);
      if (reply->close) return true;
      continue;
    }
    SendAll(fd, ServerBlock(granted ? serverlink::ftKeepAlive : serverlink::ftAccessGranted));
    granted = true;
  }
  return true;
}

}  // namespace testsupport
