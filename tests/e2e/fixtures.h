#pragma once

// Scripted peers for running the built program end to end: a modem on a
// pseudo-terminal that answers every command, and a message server on
// loopback that grants access and answers every block.
#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "link/frame.h"

namespace e2e {

using namespace std::chrono_literals;
template <typename Predicate>
inline bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return predicate();
}

// Answers every command line like a modem with its echo off, and places a
// call when asked.
class ScriptedModem {
 public:
  ScriptedModem() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    slavePath_ = name;
    ::close(slave);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedModem() {
    stop_ = true;
    thread_.join();
    ::close(master_);
  }
  const std::string& SlavePath() const { return slavePath_; }

  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  bool Received(const std::string& command) {
    const auto all = Commands();
    return std::find(all.begin(), all.end(), command) != all.end();
  }
  void Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += bytes;
  }

 private:
  void Run() {
    std::string input;
    while (!stop_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pending_.empty()) {
          Write(pending_);
          pending_.clear();
        }
      }
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      if (p.revents & POLLHUP) {  // nobody has the slave open (yet, or any more)
        std::this_thread::sleep_for(20ms);
        continue;
      }
      char buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      input.append(buffer, static_cast<size_t>(n));
      // The driver writes each command whole: "...\r" or "...\r\n".
      size_t end;
      while ((end = input.find('\r')) != std::string::npos) {
        if (end + 1 < input.size() && input[end + 1] == '\n') ++end;
        Record(input.substr(0, end + 1));
        input.erase(0, end + 1);
      }
    }
  }
  void Record(const std::string& command) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back(command);
    }
    if (command.rfind("AT+CGMI", 0) == 0) {
      Write("\r\nACME\r\n\r\nOK\r\n");
    } else if (command.rfind("AT+CGMM", 0) == 0) {
      Write("\r\nGSM-1\r\n\r\nOK\r\n");
    } else {
      Write("\r\nOK\r\n");
    }
  }
  void Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  int master_ = -1;
  std::string slavePath_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> commands_;
  std::string pending_;
};

struct ReceivedFrame {
  int32_t type = 0;
  serverlink::Bytes payload;
};

// Accepts the driver, grants access, answers each block, records frames.
// A silent server accepts and then never reads nor answers.
class ScriptedServer {
 public:
  explicit ScriptedServer(bool silent = false) : silent_(silent) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }
  std::vector<ReceivedFrame> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }
  std::vector<ReceivedFrame> FramesOfType(int32_t type) {
    std::vector<ReceivedFrame> matching;
    for (auto& f : Frames())
      if (f.type == type) matching.push_back(f);
    return matching;
  }
  bool Accepted() const { return accepted_; }

 private:
  bool ReadExactly(int fd, uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count && !stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd, data + done, count - done, 0);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return done == count;
  }
  void Run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      accepted_ = true;
      Serve(fd);
      ::close(fd);
    }
  }
  void Serve(int fd) {
    bool granted = false;
    while (!stop_) {
      if (silent_) {
        std::this_thread::sleep_for(20ms);
        continue;
      }
      uint8_t header[serverlink::kTransportHeaderSize];
      if (!ReadExactly(fd, header, sizeof header)) return;
      const auto info = serverlink::DecodeBlockHeader(header);
      if (!info.Accepted || info.BodyLength < 18 || info.BodyLength > 4096) return;
      serverlink::Bytes body(static_cast<size_t>(info.BodyLength));
      if (!ReadExactly(fd, body.data(), body.size())) return;
      ReceivedFrame frame;
      std::memcpy(&frame.type, body.data() + 1, 4);
      frame.payload.assign(body.begin() + 18, body.end());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
      }
      const int32_t reply = granted ? serverlink::ftKeepAlive : serverlink::ftAccessGranted;
      granted = true;
      const auto block = serverlink::EncodeBlock(serverlink::EncodeFrame(reply, {}, 0));
      ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
    }
  }

  bool silent_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> accepted_{false};
  std::mutex mutex_;
  std::vector<ReceivedFrame> frames_;
};

inline int UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace e2e
