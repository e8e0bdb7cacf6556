#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace serverlink {

// The IPv4 addresses of a host name; none when it has none or the lookup
// failed.
using Resolver = std::function<std::vector<in_addr>(const std::string& host)>;
std::vector<in_addr> SystemResolve(const std::string& host);

// One lookup's answer, shared by the thread that finds it and the attempts
// that wait for it. Whoever lets go of it last frees it, so an answer that
// comes after every attempt has given up is simply dropped.
class LookupAnswer {
 public:
  // True once the answer is there; waits at most limit for it.
  bool WaitFor(std::chrono::milliseconds limit);
  bool Ready() const;
  std::vector<in_addr> Addresses() const;
  void Set(std::vector<in_addr> addresses);

 private:
  mutable std::mutex mutex_;
  std::condition_variable done_;
  bool ready_ = false;              // guarded by mutex_
  std::vector<in_addr> addresses_;  // guarded by mutex_
};

// The C library's lookup of a host name takes no time limit and cannot be
// interrupted, so a resolver that never answers would hold the link thread,
// and with it the program's close, for as long as it likes. Names are
// therefore looked up on a short-lived thread of their own, and the link
// only waits for the answer. An address written as numbers needs no
// resolver and is answered at once. Link thread only.
class NameLookup {
 public:
  explicit NameLookup(Resolver resolve = SystemResolve);

  std::shared_ptr<LookupAnswer> Find(const std::string& host);

 private:
  Resolver resolve_;
  // A lookup still running when the next attempt asks for the same name is
  // waited for again rather than started twice: a resolver that never
  // answers costs one thread, not one more every attempt.
  std::string inFlightHost_;
  std::shared_ptr<LookupAnswer> inFlight_;
  std::shared_ptr<std::atomic<int>> running_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace serverlink
