#pragma once

// A name server that never answers: a UDP socket on port 53 of a loopback
// address of its own, bound so that no port-unreachable error ends a query
// early, and never replying. A resolver pointed at it waits out its own
// time-outs on every lookup. Binding port 53 needs root (CAP_NET_BIND_SERVICE).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace testsupport {

class SilentNameServer {
 public:
  SilentNameServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // An address of this process's own in 127/8, so two runs side by side
    // and a local caching resolver on 127.0.0.1 do not meet.
    const unsigned pid = static_cast<unsigned>(::getpid());
    address_ = "127.53." + std::to_string(pid / 250 % 250 + 1) + "." + std::to_string(pid % 250 + 1);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    ::inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~SilentNameServer() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentNameServer(const SilentNameServer&) = delete;
  SilentNameServer& operator=(const SilentNameServer&) = delete;

  bool Bound() const { return bound_; }
  const std::string& Address() const { return address_; }

  // Queries received so far (they are read and dropped).
  int Queries() {
    char packet[512];
    while (::recv(fd_, packet, sizeof packet, 0) >= 0) ++queries_;
    return queries_;
  }

  // A resolver configuration that asks only this server, and waits long.
  std::string ResolvConf() const { return "nameserver " + address_ + "\noptions timeout:30 attempts:5\n"; }

 private:
  int fd_ = -1;
  bool bound_ = false;
  std::string address_;
  int queries_ = 0;
};

}  // namespace testsupport
