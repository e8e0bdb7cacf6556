#include "link/tcp_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace serverlink {
namespace {

// Short enough that a stop is noticed well inside the program's 3 s close.
constexpr uint32_t kSliceMs = 50;

}  // namespace

TcpClient::TcpClient(std::string host, int port, Options options)
    : host_(std::move(host)), port_(port), options_(std::move(options)) {
  if (options_.Ticks == nullptr) options_.Ticks = &defaultTicks_;
}

TcpClient::~TcpClient() { closeQuietly(); }

bool TcpClient::Connect() {
  closeQuietly();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port_);
  if (getaddrinfo(host_.c_str(), service.c_str(), &hints, &found) != 0) return false;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (connectTo(a->ai_addr, a->ai_addrlen)) {
      if (options_.OnConnected) options_.OnConnected();
      return true;
    }
  }
  return false;
}

bool TcpClient::connectTo(const void* address, unsigned addressLength) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int rc = connect(fd_, static_cast<const sockaddr*>(address), addressLength);
  if (rc != 0 && errno == EINPROGRESS && waitFor(POLLOUT, options_.ConnectLimitMs)) {
    int error = 0;
    socklen_t length = sizeof error;
    rc = (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) ? 0 : -1;
  }
  if (rc == 0) return true;
  closeQuietly();
  return false;
}

bool TcpClient::waitFor(short events, uint32_t limitMs) {
  const uint32_t start = options_.Ticks->Ticks();
  const auto msLeft = [&] {
    const uint32_t waited = options_.Ticks->Ticks() - start;  // unsigned: right across the wrap
    return waited < limitMs ? limitMs - waited : 0;
  };
  for (;;) {
    if (options_.Stop && options_.Stop()) return false;
    pollfd p{fd_, events, 0};
    const int rc = poll(&p, 1, static_cast<int>(std::min(kSliceMs, msLeft())));
    if (rc > 0) return (p.revents & events) != 0 || (p.revents & (POLLHUP | POLLERR)) != 0;
    if (rc < 0 && errno != EINTR) return false;
    if (msLeft() == 0) return false;
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
      if (!waitFor(POLLOUT, options_.DataWaitMs)) return false;
    } else {
      return false;
    }
  }
  return true;
}

size_t TcpClient::ReadSome(uint8_t* out, size_t maxBytes) {
  while (IsOpen()) {
    if (!waitFor(POLLIN, options_.DataWaitMs)) return 0;
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
