#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "common/cp1251.h"
#include "common/ticks.h"
#include "link/link_thread.h"
#include "tests/support/frame_bytes.h"
#include "tests/support/loopback.h"
#include "tests/support/manual_rest.h"
#include "tests/support/scripted_server.h"
#include "tests/support/wait.h"

namespace serverlink {
namespace {

using testsupport::BlockHeader;
using testsupport::ReceivedFrame;
using testsupport::Reply;
using testsupport::ScriptedServer;
using testsupport::ServerBlock;
using testsupport::WaitFor;

constexpr uint32_t kDataWaitMs = 1000;
constexpr uint32_t kConnectLimitMs = 2500;
constexpr uint32_t kReplyLimitMs = 10000;

class RecordingUi : public LinkUi {
 public:
  void ShowLinkStatus(const std::string& statusText) override {
    std::lock_guard lock(mutex_);
    statuses_.push_back(common::Cp1251ToUtf8(statusText));
  }
  void StepLinkIndicator() override {}
  std::vector<std::string> Statuses() const {
    std::lock_guard lock(mutex_);
    return statuses_;
  }
  int Count(const std::string& utf8) const {
    const auto all = Statuses();
    return static_cast<int>(std::count(all.begin(), all.end(), utf8));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> statuses_;
};

// Steps the link every millisecond of real time, whatever it asks for, so
// the tests of its rules can count its steps and never wait for a rest.
class SteppingRest : public LinkRest {
 public:
  void Pause() override { WaitFor(1); }
  void WaitFor(uint32_t) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++steps;
  }
  void Wake() override {}
  std::atomic<int> steps{0};
};

// A resolver held by the test: every lookup waits until it is opened, then
// answers with the loopback address.
struct HeldResolver {
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  int calls = 0;
  void Open() { OpenWithin(std::chrono::milliseconds(0)); }
  // Opens once limit has passed, or when Open is called before that.
  void OpenWithin(std::chrono::milliseconds limit) {
    {
      std::unique_lock lock(mutex);
      opened.wait_for(lock, limit, [&] { return open; });
      open = true;
    }
    opened.notify_all();
  }
  int Calls() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

Resolver heldBy(const std::shared_ptr<HeldResolver>& held) {
  // The lookup thread may outlive the test: it keeps the resolver alive.
  return [held](const std::string&) {
    std::unique_lock lock(held->mutex);
    ++held->calls;
    held->opened.wait(lock, [&] { return held->open; });
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    return std::vector<in_addr>{loopback};
  };
}

// The link's clock, counting how often the link looks at it: each slice of
// a wait and each step does.
class CountingTicks : public common::TickSource {
 public:
  uint32_t Ticks() const override {
    ++reads;
    return clock.Ticks();
  }
  common::ManualTicks clock;
  mutable std::atomic<int> reads{0};
};

std::vector<int32_t> typesOf(const std::vector<ReceivedFrame>& frames) {
  std::vector<int32_t> types;
  for (const auto& f : frames) types.push_back(f.type);
  return types;
}

int count(const std::vector<ReceivedFrame>& frames, int32_t type) {
  return static_cast<int>(std::count_if(frames.begin(), frames.end(), [&](const auto& f) { return f.type == type; }));
}

// A listener whose backlog is full drops further handshakes, so a connect
// to it waits for its limit.
class FullBacklog {
 public:
  FullBacklog() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 0);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int& filler : fillers_) {
      filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~FullBacklog() {
    for (int filler : fillers_) ::close(filler);
    ::close(fd_);
  }
  int Port() const { return port_; }

 private:
  int fd_ = socket(AF_INET, SOCK_STREAM, 0);
  int port_ = 0;
  int fillers_[3] = {};
};

const std::vector<int32_t> kConnectFrames = {ftHello, ftModemStatus, ftClientFlag, ftClientVersion};

class LinkThread : public ::testing::Test {
 protected:
  void SetUp() override {
    ticks_.clock.Set(100000);  // the first attempt is due at once
    // Bare keep-alives: valid replies that grant nothing.
    server_.SetResponder([](const ReceivedFrame&) { return Reply{ServerBlock(ftKeepAlive)}; });
  }

  // Before the link stops: a link that waited for its lookup after all
  // must not hang the test.
  void TearDown() override { held_->Open(); }

  // Names are looked up by a resolver that answers only once opened.
  void holdLookups() {
    resolver_ = heldBy(held_);
    SetServerHost("server.example");
  }

  void startLink() {
    {
      std::lock_guard lock(hostMutex_);
      if (port_ == 0) port_ = server_.Port();
    }
    LinkEnvironment env;
    env.Ui = &ui_;
    env.Modem = [] { return ModemSnapshot{"COM3", true}; };
    env.ReadServerHost = [this](const std::string& dir) {
      std::lock_guard lock(hostMutex_);
      dirsRead_.push_back(dir);
      return ServerAddress{host_, port_};
    };
    env.Ticks = &ticks_;
    env.Rest = &rest_;
    env.DataWaitMs = dataWaitMs_;
    env.ResolveName = resolver_;
    link_ = std::make_unique<cl>(std::move(env));
    link_->Start();
  }

  void SetServerPort(int port) {
    std::lock_guard lock(hostMutex_);
    port_ = port;
  }

  void SetServerHost(const std::string& host) {
    std::lock_guard lock(hostMutex_);
    host_ = host;
  }

  void advance(uint32_t ms) { ticks_.clock.Advance(ms); }

  // Returns once the link has finished the step it was in and one more, so
  // whatever it was doing when the test acted is over.
  void settle() {
    const int target = rest_.steps.load() + 2;
    ASSERT_TRUE(WaitFor([&] { return rest_.steps.load() >= target; }));
  }

  // Returns once the link has looked at the clock twice more, so a wait it
  // is in has seen the clock as it is now.
  void letTheLinkSeeTheClock() {
    const int target = ticks_.reads.load() + 2;
    ASSERT_TRUE(WaitFor([&] { return ticks_.reads.load() >= target; }));
  }

  // The attempt under way lasts the connect limit on the link's clock, and
  // not a millisecond less.
  void expectAttemptEndsAtTheConnectLimit() {
    letTheLinkSeeTheClock();
    const int steps = rest_.steps.load();
    advance(kConnectLimitMs - 1);
    letTheLinkSeeTheClock();
    EXPECT_EQ(rest_.steps.load(), steps) << "the attempt gave up early";
    advance(2);
    settle();  // steps run again: the attempt is over
    EXPECT_FALSE(link_->Connected);
  }

  // Moves the clock past a data wait until done holds. A wait that began
  // just after a move needs one more, so the clock moves again while done
  // stays false.
  template <typename Condition>
  bool runOutDataWaitsUntil(Condition done) {
    for (int i = 0; i < 100; ++i) {
      advance(kDataWaitMs + 1);
      if (WaitFor(done, std::chrono::milliseconds(200))) return true;
    }
    return false;
  }

  void waitForFrames(int connection, size_t n) {
    ASSERT_TRUE(WaitFor([&] { return server_.FramesOf(connection).size() >= n; }))
        << server_.FramesOf(connection).size() << " frames on connection " << connection;
  }

  void waitForStatus(const std::string& utf8, int times = 1) {
    ASSERT_TRUE(WaitFor([&] { return ui_.Count(utf8) >= times; })) << utf8;
  }

  ScriptedServer server_;
  RecordingUi ui_;
  CountingTicks ticks_;
  SteppingRest rest_;
  uint32_t dataWaitMs_ = kDataWaitMs;
  std::shared_ptr<HeldResolver> held_ = std::make_shared<HeldResolver>();
  Resolver resolver_;
  std::mutex hostMutex_;
  std::string host_ = "127.0.0.1";
  int port_ = 0;
  std::vector<std::string> dirsRead_;
  std::unique_ptr<cl> link_;  // last, so it stops before what it uses goes away
};

TEST_F(LinkThread, AnnouncesItselfInOrderAfterConnecting) {
  startLink();
  waitForFrames(1, 4);
  const auto frames = server_.FramesOf(1);
  EXPECT_EQ(typesOf(frames), kConnectFrames);
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].sequence, i);
  EXPECT_EQ(frames[0].payload, (Bytes{0x32, 0x00}));
  EXPECT_EQ(frames[1].payload, BuildModemStatus("COM3", true));
  EXPECT_EQ(frames[2].payload, Bytes{0x00});
  EXPECT_EQ(frames[3].payload, BuildClientVersion(ProgramVersion()));
  EXPECT_EQ(ui_.Statuses(), (std::vector<std::string>{"Соединение...", "Соединение установлено."}));
  EXPECT_TRUE(link_->Connected);

  std::string cwd = std::filesystem::current_path().string();
  if (cwd.back() != '/') cwd += '/';
  EXPECT_EQ(link_->SettingsDir(), cwd);
  std::lock_guard lock(hostMutex_);
  EXPECT_EQ(dirsRead_, std::vector<std::string>{cwd});
}

TEST_F(LinkThread, KeepAlivesOnlyOnceAccessIsGranted) {
  server_.SetResponder([](const ReceivedFrame& f) {
    return Reply{ServerBlock(f.type == ftClientVersion ? ftAccessGranted : ftKeepAlive)};
  });
  startLink();
  waitForFrames(1, 4);
  settle();
  for (int i = 1; i <= 2; ++i) {
    advance(501);
    waitForFrames(1, 4 + i);
    settle();
  }
  advance(500);  // not more than 500 ms: not yet due
  settle();
  const auto frames = server_.FramesOf(1);
  ASSERT_EQ(frames.size(), 6u);
  for (size_t i = 4; i < 6; ++i) {
    EXPECT_EQ(frames[i].type, ftKeepAlive);
    EXPECT_EQ(frames[i].sequence, 0u);
  }
  EXPECT_EQ(link_->Queue().NextSequence(), 4u);  // keep-alives take no number
}

TEST_F(LinkThread, NoKeepAlivesWithoutAccessGranted) {
  startLink();
  waitForFrames(1, 4);
  advance(2000);
  settle();
  settle();
  EXPECT_EQ(server_.FramesOf(1).size(), 4u);
  EXPECT_TRUE(link_->Connected);
}

TEST_F(LinkThread, PollIsAnsweredWithTheNextSequence) {
  server_.SetResponder([](const ReceivedFrame& f) {
    return Reply{ServerBlock(f.type == ftClientFlag ? ftPoll : ftKeepAlive)};
  });
  startLink();
  waitForFrames(1, 5);
  const auto frames = server_.FramesOf(1);
  EXPECT_EQ(frames[3].type, ftClientVersion);  // the answer queues behind what waits
  EXPECT_EQ(frames[4].type, ftPollAnswer);
  EXPECT_EQ(frames[4].sequence, 4u);
  EXPECT_TRUE(frames[4].payload.empty());
}

TEST_F(LinkThread, AccessDeniedRefusesForGood) {
  server_.SetResponder([](const ReceivedFrame&) { return Reply{ServerBlock(ftAccessDenied)}; });
  startLink();
  waitForStatus("Доступ запрещен.");
  EXPECT_TRUE(WaitFor([&] { return !server_.ConnectionOpen(); }));
  EXPECT_FALSE(link_->Connected);
  EXPECT_FALSE(link_->ReconnectAllowed);
  advance(60000);
  settle();
  settle();
  EXPECT_EQ(server_.Connections(), 1);
  EXPECT_EQ(ui_.Count("Доступ запрещен."), 1);
  EXPECT_EQ(ui_.Count("Соединение..."), 1);
}

struct DownCommand {
  const char* name;
  int32_t command;
  const char* status;  // shown when the command arrives, if any
  bool linkCloses;
};

class LinkDownCommand : public LinkThread, public ::testing::WithParamInterface<DownCommand> {};

TEST_P(LinkDownCommand, ReconnectsFiveSecondsAfterTheAttempt) {
  const DownCommand row = GetParam();
  server_.SetResponder([&row](const ReceivedFrame& f) {
    return Reply{ServerBlock(f.connection == 1 && f.type == ftHello ? row.command : ftKeepAlive)};
  });
  startLink();
  ASSERT_TRUE(WaitFor([&] { return server_.FramesOf(1).size() == 1 && !link_->Connected; }));
  if (row.status) waitForStatus(row.status);
  if (row.linkCloses) {
    EXPECT_TRUE(WaitFor([&] { return !server_.ConnectionOpen(); }));
  }
  advance(5000);
  settle();
  EXPECT_EQ(server_.Connections(), 1);
  EXPECT_EQ(ui_.Count("Соединение..."), 1);
  advance(1);
  ASSERT_TRUE(WaitFor([&] { return server_.Connections() == 2 && link_->Connected; }));
  // What the first connection's greeting left unsent is not sent on the
  // next: each connection is greeted once.
  waitForFrames(2, 4);
  settle();
  EXPECT_EQ(typesOf(server_.FramesOf(2)), kConnectFrames);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, LinkDownCommand,
    ::testing::Values(DownCommand{"disconnect", ftDisconnectCommand, "Сервер дал команду на рассоединение.", false},
                      DownCommand{"close", ftCloseCommand, nullptr, true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(LinkThread, SilentServerRunsUpErrorsAndReconnects) {
  server_.SetResponder([](const ReceivedFrame& f) {
    return f.connection == 1 && f.type == ftHello ? Reply{ServerBlock(ftAccessGranted)} : Reply{};
  });
  startLink();
  waitForFrames(1, 2);
  // Three unanswered connect frames, then eighteen unanswered keep-alives
  // make 21 errors; every missing reply is a data wait run out, and a
  // keep-alive is due again by then.
  const std::string reconnecting = "Ошибки по сети - переподсоединение.";
  for (int i = 0; i < 40 && ui_.Count(reconnecting) == 0; ++i) {
    const size_t before = server_.FramesOf(1).size();
    ASSERT_TRUE(runOutDataWaitsUntil(
        [&] { return server_.FramesOf(1).size() > before || ui_.Count(reconnecting) > 0; }));
  }
  EXPECT_EQ(ui_.Count(reconnecting), 1);
  // The step that starts over still writes the keep-alive due by then, on
  // the old socket, and waits for its reply: 18 keep-alives made the errors,
  // the 19th goes with the status. Over 5 s have passed since the attempt,
  // so the next one follows that wait at once.
  ASSERT_TRUE(runOutDataWaitsUntil([&] { return server_.Connections() == 2 && link_->Connected; }));
  EXPECT_EQ(count(server_.FramesOf(1), ftKeepAlive), 19);
  EXPECT_EQ(ui_.Count("Соединение..."), 2);
}

// What the real program waits 1 s and 2.5 s for, the link measures on its
// clock; a wait sees a moved clock within a slice.
TEST_F(LinkThread, DataWaitEndsWhenTheClockHasPassedIt) {
  server_.SetResponder([](const ReceivedFrame&) { return Reply{}; });
  startLink();
  waitForFrames(1, 1);
  letTheLinkSeeTheClock();  // it is in its reply wait
  advance(kDataWaitMs - 1);
  letTheLinkSeeTheClock();
  EXPECT_EQ(server_.FramesOf(1).size(), 1u) << "the reply wait ended early";
  advance(2);
  waitForFrames(1, 2);  // the wait is over: the next connect frame goes out
  EXPECT_TRUE(link_->Connected);
}

TEST_F(LinkThread, ConnectLimitIsMeasuredOnTheClock) {
  const FullBacklog listener;
  SetServerPort(listener.Port());
  startLink();
  waitForStatus("Соединение...");
  expectAttemptEndsAtTheConnectLimit();
  EXPECT_EQ(ui_.Statuses(), std::vector<std::string>{"Соединение..."});
}

TEST_F(LinkThread, FramesQueuedAsTheServerClosesAreAllDeliveredLater) {
  startLink();
  waitForFrames(1, 4);
  settle();
  advance(6000);  // the connection has lived long enough to be retried at once
  server_.Drop();
  std::vector<Bytes> events;
  for (uint8_t i = 0; i < 5; ++i) {
    events.push_back(Bytes(21, i));
    ASSERT_TRUE(link_->SendFrame(ftCallEvent, events.back()));
  }
  waitForFrames(2, 9);
  EXPECT_EQ(count(server_.FramesOf(1), ftCallEvent), 0);
  const auto frames = server_.FramesOf(2);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(frames[i].type, ftCallEvent);
    EXPECT_EQ(frames[i].payload, events[i]);
    EXPECT_EQ(frames[i].sequence, 4 + i);
  }
  EXPECT_EQ(frames[5].type, ftHello);
  EXPECT_EQ(ui_.Count("Ошибки по сети - переподсоединение."), 1);
}

// The block was written, so the socket took it, but the server went away
// without answering: only a valid reply shows the event was read.
TEST_F(LinkThread, CallEventTheServerNeverAnsweredGoesAgainOnTheNextConnection) {
  std::atomic<int> eventsSeen{0};
  server_.SetResponder([&](const ReceivedFrame& f) {
    if (f.type == ftCallEvent && eventsSeen++ == 0) return Reply{{}, true};
    return Reply{ServerBlock(ftKeepAlive)};
  });
  startLink();
  waitForFrames(1, 4);
  settle();
  advance(6000);  // the connection has lived long enough to be retried at once
  const Bytes event(21, 0x5A);
  ASSERT_TRUE(link_->SendFrame(ftCallEvent, event));
  waitForFrames(1, 5);
  EXPECT_EQ(link_->QueuedCallEvents(), std::vector<Bytes>{event});  // still owed to the server
  // The next frame meets the closed socket; the errors it runs up bring the
  // link down and up again.
  ASSERT_TRUE(link_->SendFrame(ftModemStatus, BuildModemStatus("COM3", true)));
  waitForFrames(2, 3);
  const auto frames = server_.FramesOf(2);
  EXPECT_EQ(frames[0].type, ftModemStatus);
  EXPECT_EQ(frames[1].payload, event);
  EXPECT_EQ(frames[2].type, ftHello);
  settle();
  EXPECT_TRUE(link_->QueuedCallEvents().empty());  // answered this time
}

struct BrokenReply {
  const char* name;
  Bytes data;
  bool serverCloses;
};

Bytes withBytes(Bytes header, size_t extra) {
  header.insert(header.end(), extra, 0xFF);
  return header;
}

class LinkBrokenReply : public LinkThread, public ::testing::WithParamInterface<BrokenReply> {};

TEST_P(LinkBrokenReply, NeverHangsAndStartsAFreshConnection) {
  const BrokenReply row = GetParam();
  server_.SetResponder([&row](const ReceivedFrame& f) {
    return f.connection == 1 ? Reply{row.data, row.serverCloses} : Reply{ServerBlock(ftKeepAlive)};
  });
  startLink();
  waitForFrames(1, 1);
  // A body that stalls ends with the data wait; the others at once.
  ASSERT_TRUE(runOutDataWaitsUntil([&] { return !link_->Connected; }));
  EXPECT_EQ(server_.FramesOf(1).size(), 1u);
  EXPECT_TRUE(WaitFor([&] { return !server_.ConnectionOpen(); }));
  advance(5001);
  ASSERT_TRUE(WaitFor([&] { return server_.Connections() == 2 && link_->Connected; }));
  waitForFrames(2, 3);  // the rest of the first announcement
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LinkBrokenReply,
    ::testing::Values(BrokenReply{"huge_length", BlockHeader(0x7FFFFFFF), false},
                      BrokenReply{"negative_length", BlockHeader(-5), false},
                      BrokenReply{"lost_mid_body", withBytes(BlockHeader(100), 10), true},
                      BrokenReply{"stalls_mid_body", withBytes(BlockHeader(100), 10), false}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(LinkQueue, SendFrameReportsARefusalWhenAllSlotsAreTaken) {
  cl link(LinkEnvironment{});
  for (size_t i = 0; i < FrameQueue::kSlots; ++i) {
    ASSERT_TRUE(link.SendFrame(i < 3 ? ftCallEvent : ftModemStatus, Bytes(21, static_cast<uint8_t>(i))));
  }
  EXPECT_FALSE(link.SendFrame(ftCallEvent, Bytes(21, 0xEE)));
  EXPECT_EQ(link.QueuedCallEvents(), (std::vector<Bytes>{Bytes(21, 0), Bytes(21, 1), Bytes(21, 2)}));
  EXPECT_EQ(link.Queue().NextSequence(), FrameQueue::kSlots + 1);
}

TEST_F(LinkThread, FramesQueuedWhileDownGoFirstToTheEditedAddress) {
  const int serverPort = server_.Port();
  SetServerPort(testsupport::UnusedPort());
  startLink();
  waitForStatus("Соединение...");
  settle();
  EXPECT_FALSE(link_->Connected);
  for (uint8_t i = 0; i < 3; ++i) link_->SendFrame(ftModemStatus, BuildModemStatus("COM1", i % 2));

  SetServerPort(serverPort);
  advance(5001);
  const size_t before = server_.Frames().size();
  ASSERT_TRUE(WaitFor([&] { return server_.Frames().size() >= before + 7; }));
  const auto all = server_.Frames();
  const std::vector<ReceivedFrame> latest(all.begin() + static_cast<ptrdiff_t>(before), all.end());
  const std::vector<int32_t> expected = {ftModemStatus, ftModemStatus, ftModemStatus, ftHello,
                                         ftModemStatus, ftClientFlag,  ftClientVersion};
  EXPECT_EQ(typesOf(latest), expected);
  EXPECT_EQ(latest[0].payload, BuildModemStatus("COM1", false));
  EXPECT_LT(latest[0].sequence, latest[3].sequence);
}

// The program must end within 3 s of a close even when the link is deep in
// a connect or a data wait; the clock stands still, so only the stop ends it.
TEST_F(LinkThread, StopsPromptlyWhileWaitingForData) {
  server_.SetResponder([](const ReceivedFrame&) { return Reply{}; });
  startLink();
  waitForFrames(1, 1);
  const auto started = std::chrono::steady_clock::now();
  link_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(LinkThread, StopsPromptlyWhileConnecting) {
  const FullBacklog listener;
  SetServerPort(listener.Port());
  startLink();
  waitForStatus("Соединение...");
  const auto started = std::chrono::steady_clock::now();
  link_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(LinkThread, StopsPromptlyWhileLookingUpAName) {
  holdLookups();
  startLink();
  ASSERT_TRUE(WaitFor([&] { return held_->Calls() == 1; }));
  std::thread opener([held = held_] { held->OpenWithin(std::chrono::seconds(5)); });
  const auto started = std::chrono::steady_clock::now();
  link_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  held_->Open();
  opener.join();
}

// A resolver that never answers costs each attempt its connect limit and
// no more; the attempts after it wait for the same lookup rather than start
// another, and an answer that comes between attempts is not used.
TEST_F(LinkThread, HungNameLookupCostsAnAttemptItsConnectLimit) {
  holdLookups();
  startLink();
  ASSERT_TRUE(WaitFor([&] { return held_->Calls() == 1; }));
  expectAttemptEndsAtTheConnectLimit();  // though the lookup is not over

  advance(5000 - kConnectLimitMs);
  waitForStatus("Соединение...", 2);
  expectAttemptEndsAtTheConnectLimit();
  EXPECT_EQ(held_->Calls(), 1) << "a second lookup of the same name";

  held_->Open();  // late: no attempt is waiting for it
  settle();
  EXPECT_FALSE(link_->Connected);
  advance(5000);
  ASSERT_TRUE(WaitFor([&] { return link_->Connected.load(); }));
  EXPECT_EQ(held_->Calls(), 2);
  waitForFrames(1, 4);
}

// A reply must be complete, and a call event answered with a valid frame,
// 10 s after its block began to be written; otherwise the server is given
// up as after a broken reply, and the call event goes out again.
struct BadAnswer {
  const char* name;
  int32_t frameType;  // what the server answers badly
  Bytes reply;
  uint32_t dataWaitMs;  // long: only the reply limit can end the wait
};

void PrintTo(const BadAnswer& row, std::ostream* out) { *out << row.name; }

class LinkReplyLimit : public LinkThread, public ::testing::WithParamInterface<BadAnswer> {};

TEST_P(LinkReplyLimit, GivesUpOnTheServerTenSecondsAfterTheWrite) {
  const BadAnswer row = GetParam();
  dataWaitMs_ = row.dataWaitMs;
  server_.SetResponder([&row](const ReceivedFrame& f) {
    if (f.connection == 1 && f.type == row.frameType) return Reply{row.reply};
    return Reply{ServerBlock(ftKeepAlive)};
  });
  startLink();
  const Bytes event(21, 0x42);
  if (row.frameType == ftCallEvent) {
    waitForFrames(1, 4);
    settle();
    ASSERT_TRUE(link_->SendFrame(ftCallEvent, event));
  }
  ASSERT_TRUE(WaitFor([&] { return !server_.FramesOfType(row.frameType).empty(); }));
  letTheLinkSeeTheClock();
  advance(kReplyLimitMs - 1);
  letTheLinkSeeTheClock();
  letTheLinkSeeTheClock();
  EXPECT_TRUE(link_->Connected) << "gave up early";
  EXPECT_TRUE(server_.ConnectionOpen());

  advance(1);
  ASSERT_TRUE(WaitFor([&] { return server_.Ended() == 1; })) << "the link kept the connection";
  // The attempt was more than 5 s ago: the next one follows at once.
  ASSERT_TRUE(WaitFor([&] { return server_.Connections() == 2 && link_->Connected; }));
  if (row.frameType == ftCallEvent) {
    waitForFrames(2, 5);
    EXPECT_EQ(server_.FramesOf(2)[0].payload, event);
  } else {
    waitForFrames(2, 4);
    EXPECT_EQ(typesOf(server_.FramesOf(2)), kConnectFrames);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LinkReplyLimit,
    ::testing::Values(BadAnswer{"silence_to_a_call_event", ftCallEvent, {}, kDataWaitMs},
                      BadAnswer{"a_block_that_is_no_frame", ftCallEvent, withBytes(BlockHeader(18), 18), kDataWaitMs},
                      BadAnswer{"a_reply_that_never_ends", ftCallEvent, withBytes(BlockHeader(100), 10), 60000},
                      BadAnswer{"a_greeting_reply_that_never_ends", ftHello, withBytes(BlockHeader(100), 10), 60000}),
    [](const auto& param) { return std::string(param.param.name); });

// A server that accepts and closes at once gets no greeting through; each
// new connection greets once, behind what is really waiting.
TEST_F(LinkThread, EachConnectionIsGreetedOnceAfterServersThatCloseAtOnce) {
  const std::vector<testsupport::ConnectionScript> closing(3, {testsupport::Fault::kCloseAtOnce});
  ScriptedServer server(closing);
  SetServerPort(server.Port());
  startLink();
  const Bytes event(21, 0x17);
  for (int connection = 1; connection <= 3; ++connection) {
    ASSERT_TRUE(WaitFor([&] { return server.Connections() == connection && !link_->Connected; }))
        << "connection " << connection;
    if (connection == 1) {
      ASSERT_TRUE(link_->SendFrame(ftCallEvent, event));
    }
    advance(5001);
  }
  ASSERT_TRUE(WaitFor([&] { return server.FramesOf(4).size() >= 5; }));
  settle();
  auto frames = server.FramesOf(4);
  std::erase_if(frames, [](const ReceivedFrame& f) { return f.type == ftKeepAlive; });
  const std::vector<int32_t> expected = {ftCallEvent, ftHello, ftModemStatus, ftClientFlag, ftClientVersion};
  EXPECT_EQ(typesOf(frames), expected);
  EXPECT_EQ(frames[0].payload, event);
}

// ---------------------------------------------------------------- rest

bool threadNamed(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string text;
    if (std::getline(comm, text) && text == name) return true;
  }
  return false;
}

class LinkRests : public ::testing::Test {
 protected:
  void startLink(int port) {
    clock_.Set(100000);  // the first attempt is due at once
    LinkEnvironment env;
    env.Ui = &ui_;
    env.Ticks = &clock_;
    env.Rest = &clock_;
    env.ReadServerHost = [port](const std::string&) { return ServerAddress{"127.0.0.1", port}; };
    link_ = std::make_unique<cl>(std::move(env));
    link_->Start();
  }

  // Stops the link even if a stop failed to wake it, so that a fault shows
  // as a failure rather than a hung test.
  void TearDown() override {
    if (!link_) return;
    link_->StopRequested = true;
    clock_.Wake();
  }

  ScriptedServer server_;  // grants access, then answers every block
  RecordingUi ui_;
  testsupport::ManualLinkClock clock_;
  std::unique_ptr<cl> link_;  // last, so it stops before what it uses goes away
};

// An idle connected link lies still until its keep-alive is due: one rest
// for each, nothing between them, and a queued frame still goes at once.
TEST_F(LinkRests, UntilTheKeepAliveIsDue) {
  startLink(server_.Port());
  ASSERT_TRUE(server_.WaitForCount(ftClientVersion, 1, std::chrono::seconds(20)));
  EXPECT_EQ(clock_.RestAfter(0), 501u);  // the keep-alive counts from the start
  EXPECT_TRUE(threadNamed("mcalld-link"));
  for (int i = 1; i <= 5; ++i) {
    const int rests = clock_.Rests();
    const int pauses = clock_.Pauses();
    clock_.Advance(500);  // not yet due: the rest goes on
    ASSERT_TRUE(WaitFor([&] { return clock_.Resting(); }));
    EXPECT_EQ(clock_.Rests(), rests);
    clock_.Advance(1);
    ASSERT_TRUE(server_.WaitForCount(ftKeepAlive, static_cast<size_t>(i), std::chrono::seconds(20))) << i;
    EXPECT_EQ(clock_.RestAfter(rests), 501u);
    EXPECT_EQ(clock_.Rests(), rests + 1) << "keep-alive " << i;
    EXPECT_EQ(clock_.Pauses(), pauses);
  }
  link_->SendFrame(ftModemStatus, BuildModemStatus("COM1", true));
  EXPECT_TRUE(server_.WaitForCount(ftModemStatus, 2, std::chrono::seconds(20)));
}

TEST_F(LinkRests, UntilTheNextConnectionAttempt) {
  startLink(testsupport::UnusedPort());
  EXPECT_EQ(clock_.RestAfter(0), 5001u);
  clock_.Advance(5000);
  ASSERT_TRUE(WaitFor([&] { return clock_.Resting(); }));
  EXPECT_EQ(ui_.Count("Соединение..."), 1);
  clock_.Advance(1);
  EXPECT_TRUE(WaitFor([&] { return ui_.Count("Соединение...") == 2; }));
  EXPECT_EQ(clock_.RestAfter(1), 5001u);
}

// What the window does reaches a resting link at once, the clock standing still.
struct Waker {
  const char* name;
  bool serverUp;          // connected, no access granted: no deadline at all
  uint32_t restExpected;  // what the link rests for before it is woken
  std::function<void(cl&)> act;
  std::function<bool(cl&, ScriptedServer&, RecordingUi&)> done;
};

void PrintTo(const Waker& row, std::ostream* out) { *out << row.name; }

class LinkWakers : public LinkRests, public ::testing::WithParamInterface<Waker> {};

TEST_P(LinkWakers, WakeARestingLinkAtOnce) {
  const Waker& row = GetParam();
  server_.SetResponder([](const ReceivedFrame&) { return Reply{ServerBlock(ftKeepAlive)}; });
  startLink(row.serverUp ? server_.Port() : testsupport::UnusedPort());
  EXPECT_EQ(clock_.RestAfter(0), row.restExpected);
  row.act(*link_);
  EXPECT_TRUE(WaitFor([&] { return row.done(*link_, server_, ui_); }));
}

INSTANTIATE_TEST_SUITE_P(
    Window, LinkWakers,
    ::testing::Values(
        Waker{"a_queued_frame", true, LinkRest::kUntilWoken,
              [](cl& link) { link.SendFrame(ftModemStatus, BuildModemStatus("COM1", true)); },
              [](cl&, ScriptedServer& server, RecordingUi&) { return server.FramesOfType(ftModemStatus).size() == 2; }},
        Waker{"a_stop", true, LinkRest::kUntilWoken, [](cl& link) { link.RequestStop(); },
              [](cl& link, ScriptedServer&, RecordingUi&) { return link.Finished.load(); }},
        Waker{"a_stop_while_down", false, 5001u, [](cl& link) { link.RequestStop(); },
              [](cl& link, ScriptedServer&, RecordingUi&) { return link.Finished.load(); }},
        Waker{"reconnection_forbidden", false, 5001u, [](cl& link) { link.AllowReconnect(false); },
              [](cl&, ScriptedServer&, RecordingUi& ui) { return ui.Count("Доступ запрещен.") == 1; }}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace serverlink
