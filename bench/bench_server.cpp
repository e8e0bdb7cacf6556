#include "bench/bench_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "link/frame.h"
#include "tools/link-monitor/block_reader.h"

namespace bench {

namespace {

using serverlink::Bytes;

void writeAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The caller's numbers of the call events in one block body (a body may in
// principle carry several frames back to back).
std::vector<int64_t> CallNumbers(const Bytes& body) {
  std::vector<int64_t> numbers;
  size_t at = 0;
  while (body.size() - at >= serverlink::kFrameHeaderSize) {
    const Bytes frame(body.begin() + static_cast<std::ptrdiff_t>(at), body.end());
    const auto header = serverlink::ParseFrameHeader(frame);
    if (!header || header->PayloadLength < 0) break;
    const size_t payload = static_cast<size_t>(header->PayloadLength);
    if (frame.size() - serverlink::kFrameHeaderSize < payload) break;
    if (header->FrameType == serverlink::ftCallEvent && payload >= 8) {
      int64_t number = 0;
      std::memcpy(&number, frame.data() + serverlink::kFrameHeaderSize, sizeof number);  // little-endian host
      numbers.push_back(number);
    }
    at += serverlink::kFrameHeaderSize + payload;
  }
  return numbers;
}

}  // namespace

BenchServer::BenchServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no loopback listener");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

BenchServer::~BenchServer() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
}

void BenchServer::run() {
  while (!stop_) {
    pollfd fd{listener_, POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) continue;
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    serve(client);
    ::close(client);
    std::lock_guard lock(mutex_);
    connected_ = false;
  }
}

void BenchServer::serve(int client) {
  linkmonitor::BlockReader reader;
  uint64_t sequence = 0;
  bool granted = false;
  uint8_t buffer[4096];
  while (!stop_) {
    pollfd fd{client, POLLIN, 0};
    if (::poll(&fd, 1, 100) <= 0) continue;
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    const Clock::time_point readAt = Clock::now();
    reader.Feed(buffer, static_cast<size_t>(n));
    Bytes body;
    linkmonitor::BlockReader::Status status;
    while ((status = reader.Next(&body)) == linkmonitor::BlockReader::Status::kBlock) {
      const auto reply = granted ? serverlink::ftKeepAlive : serverlink::ftAccessGranted;
      writeAll(client, serverlink::EncodeBlock(serverlink::EncodeFrame(reply, {}, sequence++)));
      granted = true;
      std::lock_guard lock(mutex_);
      connected_ = true;
      for (const int64_t number : CallNumbers(body)) {
        events_[number] = readAt;
        ++eventCount_;
      }
      changed_.notify_all();
    }
    if (status == linkmonitor::BlockReader::Status::kFailed) return;
  }
}

bool BenchServer::waitConnected(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return connected_; });
}

std::optional<Clock::time_point> BenchServer::waitEvent(int64_t number, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, limit, [&] { return events_.count(number) != 0; })) return std::nullopt;
  const auto at = events_[number];
  events_.erase(number);
  return at;
}

int64_t BenchServer::eventCount() const {
  std::lock_guard lock(mutex_);
  return eventCount_;
}

bool BenchServer::waitEventCount(int64_t atLeast, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return eventCount_ >= atLeast; });
}

}  // namespace bench
