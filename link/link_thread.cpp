#include "link/link_thread.h"

#include <pthread.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/cp1251.h"

namespace serverlink {
namespace {

constexpr uint32_t kKeepAliveIntervalMs = 500;
constexpr uint32_t kReconnectIntervalMs = 5000;
// More failed writes and missing replies than this and the link starts over.
constexpr int32_t kMaxErrors = 20;

const Bytes kHelloPayload{static_cast<uint8_t>(kKindCode & 0xFF), static_cast<uint8_t>(kKindCode >> 8)};

std::string workingDirectory() {
  std::error_code error;
  std::string dir = std::filesystem::current_path(error).string();
  if (error || dir.empty()) return "./";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

}  // namespace

cl::cl(LinkEnvironment env) : env_(std::move(env)), lookup_(env_.ResolveName) {
  if (env_.Ticks == nullptr) env_.Ticks = &defaultTicks_;
  if (env_.Rest == nullptr) env_.Rest = &defaultRest_;
  if (!env_.ReadServerHost) env_.ReadServerHost = [](const std::string&) { return ServerAddress{}; };
}

cl::~cl() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

void cl::Start() {
  if (thread_.joinable()) return;
  prepareRun();
  thread_ = std::thread([this] { Execute(); });
}

// Done before the thread exists when started through Start, so the window may
// read SettingsDir and clear ReconnectAllowed at any moment afterwards.
void cl::prepareRun() {
  if (prepared_) return;
  prepared_ = true;
  settingsDir_ = workingDirectory();
  ReconnectAllowed = true;
}

bool cl::SendFrame(int32_t frameType, const Bytes& payload) {
  const bool queued = queue_.EncodeAndPush(frameType, payload);
  env_.Rest->Wake();
  return queued;
}

void cl::RequestStop() {
  StopRequested = true;
  env_.Rest->Wake();
}

void cl::AllowReconnect(bool allowed) {
  ReconnectAllowed = allowed;
  env_.Rest->Wake();
}

std::vector<Bytes> cl::QueuedCallEvents() const { return queue_.PayloadsOfType(ftCallEvent); }

void cl::Execute() {
  // Told apart from the window thread in top -H and by the benchmark.
  pthread_setname_np(pthread_self(), "mcalld-link");
  prepareRun();
  denialShown_ = false;
  lastKeepAliveTick_ = now();
  errorCount_ = 0;
  lastAttemptTick_ = 0;
  keepAliveEnabled_ = false;
  Connected = false;
  // StopRequested is deliberately not cleared here: a close that came before
  // the thread got this far must still end it.
  while (!StopRequested) {
    try {
      step();
    } catch (...) {
      // A step never ends the thread; the next one starts afresh.
    }
    pauseBetweenSteps();
  }
  try {
    if (client_) client_->Close();
  } catch (...) {
  }
  client_.reset();
  Connected = false;
  Finished = true;
}

// A step finds work only when a frame is queued, the window changes a flag
// or a deadline falls due: the first two wake the rest, the last is what it
// waits for. Waking for nothing keeps a machine that runs around the clock
// out of its deeper sleep states.
void cl::pauseBetweenSteps() {
  const uint32_t rest = restMs();
  if (rest == 0) {
    env_.Rest->Pause();
  } else {
    env_.Rest->WaitFor(rest);
  }
}

// 0: work is waiting or due now.
uint32_t cl::restMs() const {
  uint32_t dueIn = LinkRest::kUntilWoken;
  if (Connected) {
    if (justConnected_ || errorCount_ > kMaxErrors || !queue_.Empty()) return 0;
    if (keepAliveEnabled_) dueIn = msUntil(lastKeepAliveTick_, kKeepAliveIntervalMs);
    if (callAwaitingReply_) dueIn = std::min(dueIn, MsLeft(*env_.Ticks, {callWrittenTick_, env_.ReplyLimitMs}));
  } else if (ReconnectAllowed) {
    dueIn = msUntil(lastAttemptTick_, kReconnectIntervalMs);
  } else if (!denialShown_) {
    return 0;
  }
  return dueIn;
}

// Both rules fire once more than `interval` ms have passed since `mark`.
uint32_t cl::msUntil(uint32_t mark, uint32_t interval) const {
  const uint32_t elapsed = now() - mark;
  return elapsed > interval ? 0 : interval - elapsed + 1;
}

void cl::step() {
  if (Connected) {
    connectedStep();
  } else if (ReconnectAllowed) {
    attemptConnection();
  } else {
    refusedStep();
  }
}

void cl::connectedStep() {
  if (errorCount_ > kMaxErrors) {
    errorCount_ = 0;
    showStatus("Ошибки по сети - переподсоединение.");
    // The old socket stays until the next attempt replaces the client.
    Connected = false;
  }
  if (callEventOverdue()) {
    giveUpOnTheServer();
    return;
  }
  frameSent_ = false;
  exchangeStartTick_ = now();
  if (client_) client_->LimitExchange(exchangeLimit());
  writeQueuedFrame();
  if (!keepAliveDue_ && !justConnected_ && !frameSent_) return;
  if (keepAliveDue_) {
    keepAliveDue_ = false;
    writeBlock(EncodeBlock(EncodeFrame(ftKeepAlive, {}, 0)));
  }
  justConnected_ = false;
  receiveReply();
}

// A frame leaves the queue only once its whole block has been written; after
// a failed write it waits at the head for the next connection, so no call
// event is lost to a dead socket. A written block may still sit unread in
// the socket when the server goes away, so a call event is also kept until
// a valid reply shows the server read it, and is sent again on the next
// connection if none comes.
void cl::writeQueuedFrame() {
  try {
    const auto frame = queue_.Peek();
    if (frame) {
      frameSent_ = true;
      if (!writeBlock(EncodeBlock(*frame))) return;
      if (FrameTypeOf(*frame) == ftCallEvent) {
        if (!callAwaitingReply_) {
          callAwaitingReply_ = true;
          callWrittenTick_ = exchangeStartTick_;
        }
        queue_.PopUnanswered();
      } else {
        queue_.Pop();
      }
    } else if (keepAliveEnabled_ && now() - lastKeepAliveTick_ > kKeepAliveIntervalMs) {
      keepAliveDue_ = true;
      lastKeepAliveTick_ = now();
    }
  } catch (...) {
  }
}

bool cl::writeBlock(const Bytes& block) {
  try {
    if (client_ && client_->Write(block)) return true;
    ++errorCount_;
    if (client_) client_->Close();
  } catch (...) {
    ++errorCount_;
  }
  return false;
}

void cl::receiveReply() {
  replyBody_.clear();
  ReceiveResult reply;
  try {
    if (client_) reply = ReceiveBlock(*client_);
  } catch (...) {
    reply = ReceiveResult{{}, true};
  }
  // A server that sends its reply a byte at a time would otherwise keep
  // the link, and every call event queued meanwhile, for as long as it likes.
  if (!reply.Failed && !FrameTypeOf(reply.Body) && client_ && client_->ExchangeLimitPassed()) reply.Failed = true;
  replyBody_ = std::move(reply.Body);
  if (reply.Failed) ++errorCount_;
  if (replyBody_.empty()) ++errorCount_;
  if (reply.Failed) {
    // Where the next block starts is unknown now; a fresh connection is the
    // only way back in step with the server.
    closeLink();
    return;
  }
  const auto frameType = FrameTypeOf(replyBody_);
  if (!frameType) return;
  // The server answers in order: a valid reply means it read all before it.
  queue_.ForgetAnswered();
  callAwaitingReply_ = false;
  errorCount_ = 0;
  stepIndicator();
  actOnReply(*frameType);
}

// A call event counts as delivered only once answered; while the server
// answers nothing useful, later ones would go to it and wait in memory too.
bool cl::callEventOverdue() const {
  return callAwaitingReply_ && MsLeft(*env_.Ticks, {callWrittenTick_, env_.ReplyLimitMs}) == 0;
}

// As a failed receive: a new connection, on which the unanswered call events
// go out again; until then Connected is false and calls go to spool files.
void cl::giveUpOnTheServer() {
  ++errorCount_;
  closeLink();
}

// The block written now, or the oldest call event still unanswered if that
// was written earlier, sets when the reply must be complete.
TimeLimit cl::exchangeLimit() const {
  return {callAwaitingReply_ ? callWrittenTick_ : exchangeStartTick_, env_.ReplyLimitMs};
}

void cl::actOnReply(int32_t frameType) {
  switch (frameType) {
    case ftAccessGranted:
      keepAliveEnabled_ = true;
      break;
    case ftPoll:
      SendFrame(ftPollAnswer, {});
      break;
    case ftAccessDenied:
      Connected = false;
      ReconnectAllowed = false;
      closeLink();
      break;
    case ftCloseCommand:
      Connected = false;
      closeLink();
      break;
    case ftDisconnectCommand:
      // The socket stays open until the next attempt, 5 s from now.
      errorCount_ = 0;
      lastAttemptTick_ = now();
      Connected = false;
      stepIndicator();
      showStatus("Сервер дал команду на рассоединение.");
      break;
    default:
      break;
  }
}

void cl::attemptConnection() {
  if (now() - lastAttemptTick_ <= kReconnectIntervalMs) return;
  stepIndicator();
  showStatus("Соединение...");
  lastAttemptTick_ = now();
  client_.reset();
  keepAliveEnabled_ = false;
  // Read anew every time so an edited settings file counts at the next attempt.
  const ServerAddress server = env_.ReadServerHost(settingsDir_);
  TcpClient::Options options;
  options.ConnectLimitMs = env_.ConnectLimitMs;
  options.DataWaitMs = env_.DataWaitMs;
  options.Ticks = env_.Ticks;
  options.Lookup = &lookup_;
  options.Stop = [this] { return StopRequested.load(); };
  options.OnConnected = [this] { handleConnected(); };
  options.OnDisconnected = [this] { handleDisconnected(); };
  client_ = std::make_unique<TcpClient>(server.Address, server.Port, std::move(options));
  if (!client_->Connect()) return;  // silent: the next attempt comes 5 s after this one
  showStatus("Соединение установлено.");
  Connected = true;
  stepIndicator();
}

void cl::refusedStep() {
  if (denialShown_) return;
  denialShown_ = true;
  showStatus("Доступ запрещен.");
}

// These go behind whatever waited while the link was down.
void cl::handleConnected() {
  // A server that accepts and closes at once leaves each attempt's greeting
  // unsent; kept, they would fill the queue and greet a recovered server
  // many times over.
  queue_.DropAnnouncements();
  // Call events the last connection may have lost go out again.
  queue_.RequeueUnanswered();
  callAwaitingReply_ = false;
  announce(ftHello, kHelloPayload);
  justConnected_ = true;
  const ModemSnapshot modem = env_.Modem ? env_.Modem() : ModemSnapshot{};
  announce(ftModemStatus, BuildModemStatus(modem.ComName, modem.ModemActive));
  announce(ftClientFlag, Bytes{0x00});
  announce(ftClientVersion, BuildClientVersion(ProgramVersion()));
}

void cl::announce(int32_t frameType, const Bytes& payload) {
  queue_.EncodeAndPush(frameType, payload, FrameKind::kAnnouncement);
}

void cl::handleDisconnected() {
  Connected = false;
  stepIndicator();
}

void cl::closeLink() {
  Connected = false;
  stepIndicator();
  try {
    if (client_) client_->Close();
  } catch (...) {
  }
}

void cl::showStatus(const char* utf8Text) {
  if (env_.Ui) env_.Ui->ShowLinkStatus(common::ToCp1251(utf8Text));
}

void cl::stepIndicator() {
  if (env_.Ui) env_.Ui->StepLinkIndicator();
}

}  // namespace serverlink
