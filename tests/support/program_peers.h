#pragma once

// The peers of the built program in end-to-end runs: a modem on a
// pseudo-terminal that answers like a real one and can answer ERROR to
// everything, flood noise or vanish and come back behind a stable symlink,
// and a message server on loopback that grants access and answers every
// block, or follows a script of faults, one per connection.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "tests/support/loopback.h"

namespace testsupport {

using namespace std::chrono_literals;

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return predicate();
}

inline bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A modem with its echo off. The program is given LinkPath(), a symlink that
// always points at the current pseudo-terminal, as a serial device path.
class ScriptedModem {
 public:
  explicit ScriptedModem(std::filesystem::path linkPath) : linkPath_(std::move(linkPath)) {
    Open();
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedModem() {
    stop_ = true;
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0) ::close(master_);
  }
  const std::filesystem::path& LinkPath() const { return linkPath_; }

  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  size_t Count(const std::string& command) {
    size_t n = 0;
    for (const auto& c : Commands()) n += c == command;
    return n;
  }
  // Queued bytes go out from the modem's own thread, in order.
  void Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += bytes;
  }
  // True once every byte handed to Send has been written to the line.
  bool Drained() {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.empty();
  }
  void AnswerError(bool on) { error_ = on; }

  // The far end of the line goes away; the device under the symlink is gone.
  void Vanish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (master_ >= 0) ::close(master_);
    master_ = -1;
    pending_.clear();
  }
  // A new pseudo-terminal behind the same symlink, as a re-plugged adapter.
  void Return() {
    std::lock_guard<std::mutex> lock(mutex_);
    Open();
  }

 private:
  // Called with mutex_ held, or before the thread exists.
  void Open() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    ::close(slave);
    // The program is forked from this process: a master it inherited would
    // keep the line up after Vanish.
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    // Never blocked by a program that stops reading: the modem thread holds
    // the lock while it writes.
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    // Replace the link in one step, so the program never finds it missing.
    const auto temporary = linkPath_.string() + ".new";
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    std::filesystem::create_symlink(name, temporary, ignored);
    std::filesystem::rename(temporary, linkPath_, ignored);
  }

  void Run() {
    std::string input;
    while (!stop_) {
      if (!FlushPending()) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      int fd;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = master_;
      }
      if (fd < 0) {
        std::this_thread::sleep_for(20ms);
        continue;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      if (p.revents & POLLHUP) {  // nobody has the slave open (yet, or any more)
        std::this_thread::sleep_for(10ms);
        continue;
      }
      char buffer[512];
      ssize_t n;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (master_ != fd) continue;
        n = ::read(fd, buffer, sizeof buffer);
      }
      if (n <= 0) continue;
      input.append(buffer, static_cast<size_t>(n));
      size_t end;
      while ((end = input.find('\r')) != std::string::npos) {
        if (end + 1 < input.size() && input[end + 1] == '\n') ++end;
        Record(input.substr(0, end + 1));
        input.erase(0, end + 1);
      }
    }
  }

  // Writes what is pending in pieces, letting go of the lock while the line
  // is full or nobody has it open, so a flood never blocks the test's
  // questions; false while there is no line at all.
  bool FlushPending() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (master_ >= 0 && !pending_.empty() && !stop_) {
      const ssize_t n = ::write(master_, pending_.data(), std::min<size_t>(pending_.size(), 1024));
      if (n > 0) {
        pending_.erase(0, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EIO) break;
      lock.unlock();
      std::this_thread::sleep_for(2ms);
      lock.lock();
    }
    return master_ >= 0;
  }

  void Record(const std::string& command) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(command);
    if (error_) {
      pending_ += "\r\nERROR\r\n";
    } else if (command.rfind("AT+CGMI", 0) == 0) {
      pending_ += "\r\nACME\r\n\r\nOK\r\n";
    } else if (command.rfind("AT+CGMM", 0) == 0) {
      pending_ += "\r\nGSM-1\r\n\r\nOK\r\n";
    } else {
      pending_ += "\r\nOK\r\n";
    }
  }

  std::filesystem::path linkPath_;
  int master_ = -1;  // guarded by mutex_ once the thread runs
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> error_{false};
  std::mutex mutex_;
  std::vector<std::string> commands_;
  std::string pending_;
};

// What the server does on one connection: it answers properly (access
// granted, then keep-alives) until the block that carries call event number
// afterCalls + 1 of the connection, and the fault comes with that block; with
// afterCalls -1 it comes with the first block, the greeting.
enum class Fault {
  kNone,
  kClose,            // reads the block, then closes without a reply
  kCloseUnread,      // reads only the block's header, then closes: the body is never read
  kResetInBlock,     // reads only the block's header, then resets the connection
  kResetInReply,     // reads the block, sends half a reply header, then resets
  kStopAnswering,    // reads everything from then on, answers nothing
  kHang,             // reads and answers nothing from then on (its buffers fill)
  kGarbage,          // replies 64 bytes of noise, then goes on normally
  kWrongMark,        // replies a whole block whose first byte is 0x00, then goes on normally
  kZeroLength,       // replies a header with BodyLength 0, then goes on normally
  kHugeLength,       // replies a header with BodyLength 0x7FFFFFFF, then goes on normally
  kCutBody,          // replies a header and 10 of its 18 body bytes, then answers nothing
  kDeny,             // replies ftAccessDenied, then goes on normally
};

struct ConnectionScript {
  Fault fault = Fault::kNone;
  int afterCalls = 0;
  // kHang: how long the server holds the connection before it closes it.
  std::chrono::milliseconds holdFor = 0ms;
};

struct ReceivedFrame {
  int connection = 0;
  int32_t type = 0;
  serverlink::Bytes payload;
};

class ScriptedServer {
 public:
  // Connection n (0-based) follows scripts[n]; later ones are served properly.
  explicit ScriptedServer(std::vector<ConnectionScript> scripts = {}, int port = 0) : scripts_(std::move(scripts)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
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
  int Connections() const { return connections_; }
  // Connections that are over, whichever side ended them.
  int Ended() const { return ended_; }
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

 private:
  enum class Read { kDone, kClosed, kStopped };

  Read ReadExactly(int fd, uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
      if (stop_) return Read::kStopped;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd, data + done, count - done, 0);
      if (n <= 0) return Read::kClosed;
      done += static_cast<size_t>(n);
    }
    return Read::kDone;
  }

  void Run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const int index = connections_++;
      const ConnectionScript script =
          static_cast<size_t>(index) < scripts_.size() ? scripts_[static_cast<size_t>(index)] : ConnectionScript{};
      if (Serve(fd, index, script)) ::close(fd);
      ++ended_;
    }
  }

  static void Reset(int fd) {
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
  }

  // Holds the connection open without reading, then closes it; whatever the
  // program wrote meanwhile is never read.
  void Hold(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  }

  void Reply(int fd, int32_t type) {
    const auto block = serverlink::EncodeBlock(serverlink::EncodeFrame(type, {}, 0));
    ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
  }

  static serverlink::Bytes Header(uint8_t mark, int32_t bodyLength) {
    serverlink::Bytes header(serverlink::kTransportHeaderSize, 0);
    header[0] = mark;
    std::memcpy(header.data() + 5, &bodyLength, 4);
    std::memcpy(header.data() + 17, &bodyLength, 4);
    return header;
  }

  void Send(int fd, const serverlink::Bytes& bytes) { ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // Returns whether the caller still has to close fd.
  bool Serve(int fd, int index, const ConnectionScript& script) {
    bool granted = false;
    bool answering = true;
    int calls = 0;
    for (int frame = 0; !stop_; ++frame) {
      uint8_t header[serverlink::kTransportHeaderSize];
      if (ReadExactly(fd, header, sizeof header) != Read::kDone) return true;
      // Only a call event makes a body of 18 + 21 bytes.
      const bool isCall = serverlink::DecodeBlockHeader(header).BodyLength == 18 + 21;
      if (isCall) ++calls;
      const bool faultNow = script.fault != Fault::kNone &&
                            (script.afterCalls < 0 ? frame == 0 : isCall && calls == script.afterCalls + 1);
      if (faultNow && script.fault == Fault::kCloseUnread) return true;
      if (faultNow && script.fault == Fault::kResetInBlock) {
        Reset(fd);
        return false;
      }
      const auto info = serverlink::DecodeBlockHeader(header);
      if (!info.Accepted || info.BodyLength < 18 || info.BodyLength > 4096) return true;
      serverlink::Bytes body(static_cast<size_t>(info.BodyLength));
      if (ReadExactly(fd, body.data(), body.size()) != Read::kDone) return true;
      ReceivedFrame received;
      received.connection = index;
      std::memcpy(&received.type, body.data() + 1, 4);
      received.payload.assign(body.begin() + 18, body.end());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(received);
      }
      if (faultNow) {
        switch (script.fault) {
          case Fault::kClose:
            return true;
          case Fault::kResetInReply: {
            const auto block = serverlink::EncodeBlock(serverlink::EncodeFrame(serverlink::ftKeepAlive, {}, 0));
            Send(fd, serverlink::Bytes(block.begin(), block.begin() + 10));
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
            serverlink::Bytes noise(64);
            uint32_t x = 0x9E3779B9u;
            for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
            Send(fd, noise);
            continue;
          }
          case Fault::kWrongMark: {
            auto block = serverlink::EncodeBlock(serverlink::EncodeFrame(serverlink::ftKeepAlive, {}, 0));
            block[0] = 0x00;
            Send(fd, block);
            continue;
          }
          case Fault::kZeroLength:
            Send(fd, Header(0xFF, 0));
            continue;
          case Fault::kHugeLength:
            Send(fd, Header(0xFF, 0x7FFFFFFF));
            continue;
          case Fault::kCutBody: {
            auto block = serverlink::EncodeBlock(serverlink::EncodeFrame(serverlink::ftKeepAlive, {}, 0));
            Send(fd, serverlink::Bytes(block.begin(), block.begin() + serverlink::kTransportHeaderSize + 10));
            answering = false;
            continue;
          }
          case Fault::kDeny:
            Reply(fd, serverlink::ftAccessDenied);
            continue;
          default:
            break;
        }
      }
      if (!answering) continue;
      Reply(fd, granted ? serverlink::ftKeepAlive : serverlink::ftAccessGranted);
      granted = true;
    }
    return true;
  }

  std::vector<ConnectionScript> scripts_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> ended_{0};
  std::mutex mutex_;
  std::vector<ReceivedFrame> frames_;
};

}  // namespace testsupport
