#include <gtest/gtest.h>

#include <algorithm>

#include "link/frame.h"
#include "link/frame_queue.h"
#include "link/receive.h"
#include "tests/support/frame_bytes.h"

namespace serverlink {
namespace {

using testsupport::BlockHeader;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(FrameCodec, EncodesTheWorkedBlocks) {
  const Bytes keepAlive = EncodeBlock(EncodeFrame(ftKeepAlive, {}, 0));
  const Bytes expectedKeepAlive = {
      0xFF, 0, 0, 0, 0, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0, 0, 0,  // transport header
      0xFF, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFE,          // frame header
  };
  EXPECT_EQ(keepAlive, expectedKeepAlive);

  const Bytes hello = EncodeBlock(EncodeFrame(ftHello, {0x32, 0x00}, 0x0102030405060708ULL));
  ASSERT_EQ(hello.size(), 41u);
  EXPECT_EQ(DecodeBlockHeader(hello.data()).BodyLength, 20);
  EXPECT_EQ(Bytes(hello.begin() + kBodyLengthCopyOffset, hello.begin() + kBodyLengthCopyOffset + 4),
            (Bytes{20, 0, 0, 0}));
  const Bytes helloFrame = {0xFF, 0x01, 0, 0, 0x02, 0x02, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 0xFE, 0x32, 0x00};
  EXPECT_EQ(Bytes(hello.begin() + kTransportHeaderSize, hello.end()), helloFrame);

  const Bytes pollAnswer = EncodeFrame(ftPollAnswer, {}, 7);
  const auto header = ParseFrameHeader(pollAnswer);
  ASSERT_TRUE(header);
  EXPECT_EQ(pollAnswer.size(), 18u);
  EXPECT_EQ(header->FrameType, ftPollAnswer);
  EXPECT_EQ(header->PayloadLength, 0);
  EXPECT_EQ(header->Sequence, 7u);
}

TEST(FrameCodec, ModemStatusPayload) {
  struct Row {
    const char* name;
    std::string_view comName;
    bool running;
    Bytes expected;
  };
  const Row rows[] = {
      {"com3 running", "COM3", true, {4, 'C', 'O', 'M', '3', 0, 0, 1}},
      {"seven characters keep six", "COM1234", false, {6, 'C', 'O', 'M', '1', '2', '3', 0}},
      {"empty name", "", true, {0, 0, 0, 0, 0, 0, 0, 1}},
      {"high cp1251 byte kept as is", "\xCF\xCE\xD0\xD2", false, {4, 0xCF, 0xCE, 0xD0, 0xD2, 0, 0, 0}},
  };
  for (const Row& row : rows) EXPECT_EQ(BuildModemStatus(row.comName, row.running), row.expected) << row.name;
}

TEST(FrameCodec, ClientVersionPayload) {
  struct Row {
    std::string_view text;
    Bytes expected;
  };
  const Row rows[] = {
      {"1.2.3.4", {1, 0, 2, 0, 3, 0, 4, 0}},
      {"1.2", {1, 0, 0, 0, 0, 0, 2, 0}},
      {"7", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"1.x.3.4", {1, 0, 0, 0, 3, 0, 4, 0}},
      {"", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"65537.258.-1.4.5", {1, 0, 2, 1, 0xFF, 0xFF, 0, 0}},  // low 16 bits; "4.5" is no number
      {"...", {0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Row& row : rows) EXPECT_EQ(BuildClientVersion(row.text), row.expected) << row.text;
  EXPECT_EQ(BuildClientVersion(ProgramVersion()).size(), 8u);
}

TEST(FrameCodec, ReceivedHeadersAndBodies) {
  Bytes header = EncodeBlock(EncodeFrame(ftPoll, {}, 0));
  for (uint8_t mark : {0xFF, 0xF0}) {
    header[kBlockMarkOffset] = mark;
    EXPECT_TRUE(DecodeBlockHeader(header.data()).Accepted) << int(mark);
  }
  header[kBlockMarkOffset] = 0xFE;
  EXPECT_FALSE(DecodeBlockHeader(header.data()).Accepted);

  Bytes mismatched = EncodeFrame(ftPoll, {}, 0);
  mismatched[kPayloadLengthOffset] = 5;  // announces a payload it does not carry
  EXPECT_EQ(FrameTypeOf(mismatched), ftPoll);
  EXPECT_FALSE(FrameTypeOf(Bytes(10, 0xFF)));
  Bytes badEnd = EncodeFrame(ftPoll, {}, 0);
  badEnd[kEndMarkOffset] = 0;
  EXPECT_FALSE(FrameTypeOf(badEnd));
  Bytes badStart = EncodeFrame(ftPoll, {}, 0);
  badStart[kStartMarkOffset] = 0xF0;
  EXPECT_FALSE(FrameTypeOf(badStart));
}

// Hands out its bytes at most `piece` at a time, then reports nothing more.
class BufferSource : public ByteSource {
 public:
  BufferSource(Bytes data, size_t piece) : data_(std::move(data)), piece_(piece) {}
  size_t ReadSome(uint8_t* out, size_t maxBytes) override {
    const size_t n = std::min({maxBytes, piece_, data_.size() - offset_});
    std::copy_n(data_.begin() + static_cast<ptrdiff_t>(offset_), n, out);
    offset_ += n;
    ++reads;
    return n;
  }
  int reads = 0;

 private:
  Bytes data_;
  size_t piece_;
  size_t offset_ = 0;
};

TEST(ReceiveBlock, OutcomesOfReplyBlocks) {
  const Bytes frame = EncodeFrame(ftAccessGranted, {1, 2, 3}, 9);
  Bytes f0Block = EncodeBlock(frame);
  f0Block[kBlockMarkOffset] = 0xF0;
  struct Row {
    const char* name;
    Bytes input;
    Bytes body;
    bool failed;
  };
  const Row rows[] = {
      {"valid block", EncodeBlock(frame), frame, false},
      {"0xF0 mark reads the same", f0Block, frame, false},
      {"short body is still a body", EncodeBlock(Bytes(10, 0xAA)), Bytes(10, 0xAA), false},
      {"unaccepted mark reads no body", concat({BlockHeader(21, 0x00), frame}), {}, false},
      {"length zero", BlockHeader(0), {}, false},
      {"header cut short", Bytes(f0Block.begin(), f0Block.begin() + 20), {}, false},
      {"negative length", BlockHeader(-1), {}, true},
      {"length above 1 MiB", concat({BlockHeader(kMaxBodyLength + 1), frame}), {}, true},
      {"body cut short", concat({BlockHeader(100), Bytes(40, 0xFF)}), {}, true},
  };
  for (const Row& row : rows) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{100000}}) {
      BufferSource source(row.input, piece);
      const ReceiveResult result = ReceiveBlock(source);
      EXPECT_EQ(result.Body, row.body) << row.name << ", pieces of " << piece;
      EXPECT_EQ(result.Failed, row.failed) << row.name << ", pieces of " << piece;
    }
  }
}

TEST(ReceiveBlock, BodyExactlyAtTheLimitIsRead) {
  const Bytes body(kMaxBodyLength, 0x5A);
  BufferSource source(concat({BlockHeader(kMaxBodyLength), body}), kMaxBodyLength);
  const ReceiveResult result = ReceiveBlock(source);
  EXPECT_FALSE(result.Failed);
  EXPECT_EQ(result.Body.size(), body.size());
  EXPECT_GE(source.reads, 1 + kMaxBodyLength / 50000);  // never more than 50,000 bytes a read
}

TEST(FrameQueue, KeepsOrderAcrossTheWrapAndRefusesWhenFull) {
  FrameQueue queue;
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < FrameQueue::kSlots; ++i) {
      ASSERT_TRUE(queue.Push(Bytes{static_cast<uint8_t>(i)})) << i;
    }
    EXPECT_FALSE(queue.Push(Bytes{0xEE}));
    EXPECT_EQ(queue.Size(), FrameQueue::kSlots);
    for (size_t i = 0; i < 37; ++i) {  // leave the indices mid-ring for the next round
      ASSERT_EQ(queue.Peek(), Bytes{static_cast<uint8_t>(i)});
      queue.Pop();
    }
    for (size_t i = 37; i < FrameQueue::kSlots; ++i) {
      ASSERT_EQ(queue.Peek(), Bytes{static_cast<uint8_t>(i)});
      queue.Pop();
    }
    EXPECT_TRUE(queue.Empty());
    EXPECT_FALSE(queue.Peek());
    queue.Pop();  // on empty: nothing happens
    EXPECT_TRUE(queue.Empty());
    for (int i = 0; i < 37; ++i) queue.Push({0});
    for (int i = 0; i < 37; ++i) queue.Pop();
  }
}

TEST(FrameQueue, SequenceAdvancesEvenForRefusedFrames) {
  FrameQueue queue;
  for (size_t i = 0; i < FrameQueue::kSlots; ++i) {
    ASSERT_TRUE(queue.EncodeAndPush(i % 2 ? ftCallEvent : ftModemStatus, Bytes{static_cast<uint8_t>(i)}));
  }
  EXPECT_FALSE(queue.EncodeAndPush(ftCallEvent, Bytes{0xEE}));
  EXPECT_EQ(queue.NextSequence(), FrameQueue::kSlots + 1);
  EXPECT_EQ(ParseFrameHeader(*queue.Peek())->Sequence, 0u);

  const auto calls = queue.PayloadsOfType(ftCallEvent);
  ASSERT_EQ(calls.size(), FrameQueue::kSlots / 2);
  EXPECT_EQ(calls.front(), Bytes{1});
  EXPECT_EQ(calls.back(), Bytes{99});
}

TEST(FrameQueue, UnansweredFramesStayOwedUntilForgottenOrRequeued) {
  FrameQueue queue;
  ASSERT_TRUE(queue.EncodeAndPush(ftCallEvent, Bytes{1}));
  ASSERT_TRUE(queue.EncodeAndPush(ftCallEvent, Bytes{2}));
  queue.PopUnanswered();
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(queue.PayloadsOfType(ftCallEvent), (std::vector<Bytes>{{1}, {2}}));

  queue.RequeueUnanswered();  // behind what is already waiting
  EXPECT_EQ(queue.PayloadsOfType(ftCallEvent), (std::vector<Bytes>{{2}, {1}}));
  queue.PopUnanswered();
  queue.ForgetAnswered();
  EXPECT_EQ(queue.PayloadsOfType(ftCallEvent), (std::vector<Bytes>{{1}}));

  // A full queue takes none back; they stay owed for the next time.
  queue.PopUnanswered();
  for (size_t i = 0; i < FrameQueue::kSlots; ++i) ASSERT_TRUE(queue.Push(Bytes{0}));
  queue.RequeueUnanswered();
  EXPECT_EQ(queue.PayloadsOfType(ftCallEvent), (std::vector<Bytes>{{1}}));
}

// A full ring that has wrapped, every third frame an announcement: the rest
// stay in order and the slots freed take new frames.
TEST(FrameQueue, DropAnnouncementsKeepsTheRestInOrder) {
  FrameQueue queue;
  for (int i = 0; i < 60; ++i) queue.Push({0});
  for (int i = 0; i < 60; ++i) queue.Pop();
  std::vector<Bytes> waiting;
  for (size_t i = 0; i < FrameQueue::kSlots; ++i) {
    const Bytes frame{static_cast<uint8_t>(i)};
    const bool announcement = i % 3 == 0;
    ASSERT_TRUE(queue.Push(frame, announcement ? FrameKind::kAnnouncement : FrameKind::kWaiting));
    if (!announcement) waiting.push_back(frame);
  }
  queue.DropAnnouncements();
  EXPECT_EQ(queue.Size(), waiting.size());
  queue.DropAnnouncements();  // what is left are no announcements
  EXPECT_EQ(queue.Size(), waiting.size());
  while (queue.Size() < FrameQueue::kSlots) ASSERT_TRUE(queue.Push({0xEE}));
  for (const Bytes& frame : waiting) {
    ASSERT_EQ(queue.Peek(), frame);
    queue.Pop();
  }
  EXPECT_EQ(queue.Peek(), Bytes{0xEE});
}

}  // namespace
}  // namespace serverlink
