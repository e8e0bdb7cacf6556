#include "link/name_lookup.h"

#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

#include <thread>

namespace serverlink {
namespace {

// Lookups left running by a resolver that never answers, each for another
// name (the operator edited [ServerHost] meanwhile). Beyond this, attempts
// fail until one of them ends, rather than pile up threads.
constexpr int kMostRunning = 4;

std::vector<in_addr> lookUp(const std::string& host, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  std::vector<in_addr> addresses;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return addresses;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    addresses.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
  }
  freeaddrinfo(found);
  return addresses;
}

std::shared_ptr<LookupAnswer> answered(std::vector<in_addr> addresses) {
  auto answer = std::make_shared<LookupAnswer>();
  answer->Set(std::move(addresses));
  return answer;
}

}  // namespace

std::vector<in_addr> SystemResolve(const std::string& host) { return lookUp(host, 0); }

bool LookupAnswer::WaitFor(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return done_.wait_for(lock, limit, [this] { return ready_; });
}

bool LookupAnswer::Ready() const {
  std::lock_guard lock(mutex_);
  return ready_;
}

std::vector<in_addr> LookupAnswer::Addresses() const {
  std::lock_guard lock(mutex_);
  return addresses_;
}

void LookupAnswer::Set(std::vector<in_addr> addresses) {
  {
    std::lock_guard lock(mutex_);
    addresses_ = std::move(addresses);
    ready_ = true;
  }
  done_.notify_all();
}

NameLookup::NameLookup(Resolver resolve) : resolve_(resolve ? std::move(resolve) : SystemResolve) {}

std::shared_ptr<LookupAnswer> NameLookup::Find(const std::string& host) {
  auto numeric = lookUp(host, AI_NUMERICHOST);
  if (!numeric.empty()) return answered(std::move(numeric));
  if (inFlight_ && !inFlight_->Ready() && host == inFlightHost_) return inFlight_;
  if (running_->load() >= kMostRunning) return answered({});
  auto answer = std::make_shared<LookupAnswer>();
  try {
    ++*running_;
    std::thread([answer, resolve = resolve_, running = running_, host] {
      // Told apart from the window and the link thread in top -H.
      pthread_setname_np(pthread_self(), "mcalld-lookup");
      std::vector<in_addr> addresses;
      try {
        addresses = resolve(host);
      } catch (...) {
      }
      answer->Set(std::move(addresses));
      --*running;
    }).detach();
  } catch (...) {
    --*running_;
    return answered({});
  }
  inFlightHost_ = host;
  inFlight_ = answer;
  return answer;
}

}  // namespace serverlink
