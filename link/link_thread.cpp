#include "link/link_thread.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "common/cp1251.h"

namespace serverlink {
namespace {

constexpr uint32_t kKeepAliveIntervalMs = 500;
constexpr uint32_t kReconnectIntervalMs = 5000;
// More failed writes and missing replies than this and the link starts over.
constexpr int32_t kMaxErrors = 20;
constexpr uint32_t kStepPauseMs = 1;
// StopRequested and ReconnectAllowed come from the window without a wake-up;
// this is how late an idle link may see them.
constexpr uint32_t kLongestRestMs = 50;

const Bytes kHelloPayload{static_cast<uint8_t>(kKindCode & 0xFF), static_cast<uint8_t>(kKindCode >> 8)};

std::string workingDirectory() {
  std::error_code error;
  std::string dir = std::filesystem::current_path(error).string();
  if (error || dir.empty()) return "./";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

}  // namespace

cl::cl(LinkEnvironment env) : env_(std::move(env)) {
  if (env_.Ticks == nullptr) env_.Ticks = &defaultTicks_;
  if (!env_.ReadServerHost) env_.ReadServerHost = [](const std::string&) { return ServerAddress{}; };
}

cl::~cl() {
  StopRequested = true;
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

bool cl::SendFrame(int32_t frameType, const Bytes& payload) { return queue_.EncodeAndPush(frameType, payload); }

std::vector<Bytes> cl::QueuedCallEvents() const { return queue_.PayloadsOfType(ftCallEvent); }

void cl::Execute() {
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

// A step finds work only when a frame is queued, a keep-alive or a
// connection attempt falls due, or the window changes a flag. Waking for
// nothing a thousand times a second costs a few per cent of a core on a
// machine that runs around the clock.
void cl::pauseBetweenSteps() {
  if (env_.Sleep) {
    env_.Sleep();
    return;
  }
  const std::chrono::milliseconds rest(restMs());
  if (Connected && queue_.Empty()) {
    queue_.WaitForFrame(rest);
  } else {
    std::this_thread::sleep_for(rest);
  }
}

uint32_t cl::restMs() const {
  uint32_t dueIn = kLongestRestMs;
  if (Connected) {
    if (justConnected_ || errorCount_ > kMaxErrors || !queue_.Empty()) return kStepPauseMs;
    if (keepAliveEnabled_) dueIn = msUntil(lastKeepAliveTick_, kKeepAliveIntervalMs);
  } else if (ReconnectAllowed) {
    dueIn = msUntil(lastAttemptTick_, kReconnectIntervalMs);
  } else if (!denialShown_) {
    return kStepPauseMs;
  }
  return std::clamp(dueIn, kStepPauseMs, kLongestRestMs);
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
  frameSent_ = false;
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
  errorCount_ = 0;
  stepIndicator();
  actOnReply(*frameType);
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
  // Call events the last connection may have lost go out again.
  queue_.RequeueUnanswered();
  SendFrame(ftHello, kHelloPayload);
  justConnected_ = true;
  const ModemSnapshot modem = env_.Modem ? env_.Modem() : ModemSnapshot{};
  SendFrame(ftModemStatus, BuildModemStatus(modem.ComName, modem.ModemActive));
  SendFrame(ftClientFlag, Bytes{0x00});
  SendFrame(ftClientVersion, BuildClientVersion(ProgramVersion()));
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
  if (env_.Ui) env_.Ui->ShowLinkStatus(common::Ru(utf8Text));
}

void cl::stepIndicator() {
  if (env_.Ui) env_.Ui->StepLinkIndicator();
}

}  // namespace serverlink
