#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/ticks.h"
#include "link/frame.h"
#include "link/frame_queue.h"
#include "link/link_rest.h"
#include "link/name_lookup.h"
#include "link/server_address.h"
#include "link/tcp_client.h"

namespace serverlink {

struct ModemSnapshot {
  std::string ComName;  // Windows-1251
  bool ModemActive = false;
};

// The two operations the link thread hands to the UI thread. Each call
// returns only after it has run there.
class LinkUi {
 public:
  virtual ~LinkUi() = default;
  // statusText is Windows-1251; the UI puts DateTimeText and a blank in front.
  virtual void ShowLinkStatus(const std::string& statusText) = 0;
  virtual void StepLinkIndicator() = 0;
};

struct LinkEnvironment {
  LinkUi* Ui = nullptr;
  // A consistent copy of the window's ComName and ModemActive.
  std::function<ModemSnapshot()> Modem;
  // Reads [ServerHost] of "mcalld.ini" in the given directory (ends in '/').
  std::function<ServerAddress(const std::string& settingsDir)> ReadServerHost;
  // Every rule of the link is measured on it: keep-alives, reconnection,
  // the connect limit, the data wait and the reply limit. Default: the
  // monotonic clock.
  const common::TickSource* Ticks = nullptr;
  // Where the link waits between steps, on the same clock as Ticks: 1 ms
  // while work is waiting; otherwise until a keep-alive, a connection
  // attempt or a call event's reply limit falls due, or until the window
  // queues a frame or changes a flag. Default: on the monotonic clock.
  LinkRest* Rest = nullptr;
  // Finds the addresses of a host name, on a thread of its own. Default:
  // the system's resolver.
  Resolver ResolveName;
  uint32_t DataWaitMs = 1000;
  uint32_t ConnectLimitMs = 2500;
  // A reply must be complete this long after its block began to be
  // written, and a call event validly answered this long after its own.
  uint32_t ReplyLimitMs = 10000;
};

// The link thread: keeps the connection to the message server.
class cl {
 public:
  explicit cl(LinkEnvironment env);
  ~cl();  // requests the stop and joins a started thread
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  void Start();    // runs Execute on its own thread
  void Execute();  // the thread body

  // Callable from any thread. False when the queue refused the frame (all
  // 100 slots taken); the sequence number is used up all the same.
  bool SendFrame(int32_t frameType, const Bytes& payload);

  // The window's writes of StopRequested and ReconnectAllowed: each wakes a
  // resting link, so it sees them at once.
  void RequestStop();
  void AllowReconnect(bool allowed);

  // Payloads of call events not yet known to have reached the server: those
  // still queued and those written but not yet answered (for spooling at close).
  std::vector<Bytes> QueuedCallEvents() const;

  std::atomic<bool> Connected{false};         // link thread writes, UI reads
  std::atomic<bool> StopRequested{false};     // UI writes (RequestStop), link thread reads
  std::atomic<bool> ReconnectAllowed{false};  // both write (the UI through AllowReconnect)
  std::atomic<bool> Finished{false};          // link thread writes when Execute has returned

  const std::string& SettingsDir() const { return settingsDir_; }
  FrameQueue& Queue() { return queue_; }

 private:
  void prepareRun();
  void step();
  void connectedStep();
  void writeQueuedFrame();
  bool writeBlock(const Bytes& block);
  void receiveReply();
  bool callEventOverdue() const;
  void giveUpOnTheServer();
  void actOnReply(int32_t frameType);
  void attemptConnection();
  void refusedStep();
  void handleConnected();
  void announce(int32_t frameType, const Bytes& payload);
  void handleDisconnected();
  void closeLink();
  void showStatus(const char* utf8Text);
  void stepIndicator();
  void pauseBetweenSteps();
  uint32_t restMs() const;
  uint32_t msUntil(uint32_t mark, uint32_t interval) const;
  TimeLimit exchangeLimit() const;
  uint32_t now() const { return env_.Ticks->Ticks(); }

  LinkEnvironment env_;
  common::MonotonicTicks defaultTicks_;
  SteadyRest defaultRest_;
  FrameQueue queue_;
  std::string settingsDir_;  // set before the thread runs, then only read
  bool prepared_ = false;
  std::thread thread_;

  // Link thread only.
  NameLookup lookup_;
  std::unique_ptr<TcpClient> client_;
  bool denialShown_ = false;
  bool keepAliveEnabled_ = false;
  bool keepAliveDue_ = false;
  bool justConnected_ = false;
  bool frameSent_ = false;
  int32_t errorCount_ = 0;
  uint32_t lastKeepAliveTick_ = 0;
  uint32_t lastAttemptTick_ = 0;
  uint32_t exchangeStartTick_ = 0;  // when this step's block began to be written
  // The oldest call event written on this connection and not yet answered.
  bool callAwaitingReply_ = false;
  uint32_t callWrittenTick_ = 0;
  Bytes replyBody_;
};

}  // namespace serverlink
