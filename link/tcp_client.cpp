#include "link/tcp_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace serverlink {
namespace {

// Short enough that a stop is noticed well inside the program's 3 s close.
constexpr uint32_t kSliceMs = 50;

}  // namespace

uint32_t MsLeft(const common::TickSource& ticks, TimeLimit limit) {
  const uint32_t passed = ticks.Ticks() - limit.Start;
  return passed < limit.Ms ? limit.Ms - passed : 0;
}

TcpClient::TcpClient(std::string host, int port, Options options)
    : host_(std::move(host)), port_(port), options_(std::move(options)) {
  if (options_.Ticks == nullptr) options_.Ticks = &defaultTicks_;
  if (options_.Lookup == nullptr) options_.Lookup = &ownLookup_.emplace();
}

TcpClient::~TcpClient() { closeQuietly(); }

bool TcpClient::Connect() {
  closeQuietly();
  exchange_.reset();
  const TimeLimit limit{options_.Ticks->Ticks(), options_.ConnectLimitMs};
  const auto answer = options_.Lookup->Find(host_);
  if (!waitForAnswer(*answer, limit)) return false;
  for (const in_addr& found : answer->Addresses()) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr = found;
    if (connectTo(address, limit)) {
      if (options_.OnConnected) options_.OnConnected();
      return true;
    }
  }
  return false;
}

// A late answer stays with the lookup, which drops it.
bool TcpClient::waitForAnswer(LookupAnswer& answer, TimeLimit limit) {
  for (;;) {
    if (stopped()) return false;
    const uint32_t left = msLeft(limit);
    if (answer.WaitFor(std::chrono::milliseconds(std::min(kSliceMs, left)))) return true;
    if (left == 0) return false;
  }
}

bool TcpClient::connectTo(const sockaddr_in& address, TimeLimit limit) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int rc = connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (rc != 0 && errno == EINPROGRESS && waitFor(POLLOUT, limit)) {
    int error = 0;
    socklen_t length = sizeof error;
    rc = (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) ? 0 : -1;
  }
  if (rc == 0) return true;
  closeQuietly();
  return false;
}

uint32_t TcpClient::msLeft(TimeLimit limit) const {
  const uint32_t left = MsLeft(*options_.Ticks, limit);
  return exchange_ ? std::min(left, MsLeft(*options_.Ticks, *exchange_)) : left;
}

bool TcpClient::ExchangeLimitPassed() const { return exchange_ && MsLeft(*options_.Ticks, *exchange_) == 0; }

bool TcpClient::waitFor(short events, TimeLimit limit) {
  for (;;) {
    if (stopped()) return false;
    pollfd p{fd_, events, 0};
    const int rc = poll(&p, 1, static_cast<int>(std::min(kSliceMs, msLeft(limit))));
    if (rc > 0) return (p.revents & events) != 0 || (p.revents & (POLLHUP | POLLERR)) != 0;
    if (rc < 0 && errno != EINTR) return false;
    if (msLeft(limit) == 0) return false;
  }
}

// After the server has closed, a write still succeeds locally and its bytes
// vanish; only this look ahead keeps such a frame from counting as delivered.
bool TcpClient::peerHasClosed() {
  pollfd p{fd_, POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool TcpClient::Write(const Bytes& block) {
  if (!IsOpen()) return false;
  if (peerHasClosed()) {
    closeQuietly();
    return false;
  }
  size_t done = 0;
  while (done < block.size()) {
    const ssize_t n = send(fd_, block.data() + done, block.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!waitFor(POLLOUT, {options_.Ticks->Ticks(), options_.DataWaitMs})) return false;
    } else {
      return false;
    }
  }
  return true;
}

size_t TcpClient::ReadSome(uint8_t* out, size_t maxBytes) {
  while (IsOpen()) {
    if (!waitFor(POLLIN, {options_.Ticks->Ticks(), options_.DataWaitMs})) return 0;
    const ssize_t n = recv(fd_, out, maxBytes, 0);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    // The server closed or reset: from here on the connection is simply not
    // open, and that is not a disconnect the link asked for.
    closeQuietly();
  }
  return 0;
}

void TcpClient::Close() {
  if (!IsOpen()) return;
  closeQuietly();
  if (options_.OnDisconnected) options_.OnDisconnected();
}

void TcpClient::closeQuietly() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace serverlink
