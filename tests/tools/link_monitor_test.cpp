#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "common/cp1251.h"
#include "link/frame.h"
#include "modem/call_event.h"
#include "tools/link-monitor/block_reader.h"
#include "tools/link-monitor/describe.h"

namespace linkmonitor {
namespace {

using serverlink::Bytes;

Bytes Frame(int32_t type, const Bytes& payload, uint64_t sequence = 0) {
  return serverlink::EncodeFrame(type, payload, sequence);
}

Bytes CallEventPayload(int64_t number, const std::string& code, double time) {
  modem::CallEvent event;
  event.PhoneNumber = number;
  event.ObjectCode = code;
  event.EventTime = time;
  const auto bytes = event.Encode();
  return Bytes(bytes.begin(), bytes.end());
}

// 2024-05-01 12:00:00.250 as days since 1899-12-30.
double May1Noon() { return common::MakeDateTime({2024, 5, 1, 12, 0, 0, 250}); }

TEST(DescribeBody, DecodesWhatTheDriverSends) {
  Bytes badCode = CallEventPayload(5, "ABCD", May1Noon());
  badCode[8] = 9;
  Bytes shortBody = Frame(serverlink::ftHello, {0x32, 0x00});
  shortBody.resize(19);  // header and one byte of a payload announced as two

  const struct {
    const char* name;
    Bytes body;
    std::string line;
  } cases[] = {
      {"hello", Frame(serverlink::ftHello, {0x32, 0x00}, 0), "ftHello seq=0 kind=50"},
      {"call event with a Cyrillic code",
       Frame(serverlink::ftCallEvent, CallEventPayload(79161234567, common::ToCp1251("Об1"), May1Noon()), 7),
       "ftCallEvent seq=7 number=79161234567 code=\"Об1\" time=2024-05-01 12:00:00.250"},
      {"call event with a control byte in its code",
       Frame(serverlink::ftCallEvent, CallEventPayload(0, std::string("a\nb", 3), May1Noon()), 1),
       "ftCallEvent seq=1 number=0 code=\"a\\x0Ab\" time=2024-05-01 12:00:00.250"},
      {"call event with a code length beyond the field", Frame(serverlink::ftCallEvent, badCode, 2),
       "ftCallEvent seq=2 number=5 code=\"ABCD\" (code length 9, at most 4 fit) time=2024-05-01 12:00:00.250"},
      {"call event with an impossible time",
       Frame(serverlink::ftCallEvent, CallEventPayload(1, "", std::numeric_limits<double>::quiet_NaN()), 3),
       "ftCallEvent seq=3 number=1 code=\"\" time=nan (not a date)"},
      {"call event with a huge time", Frame(serverlink::ftCallEvent, CallEventPayload(1, "", 1e300), 3),
       "ftCallEvent seq=3 number=1 code=\"\" time=1e+300 (not a date)"},
      {"short call event", Frame(serverlink::ftCallEvent, {1, 2, 3}, 4),
       "ftCallEvent seq=4 short call event: 01 02 03"},
      {"modem status", Frame(serverlink::ftModemStatus, serverlink::BuildModemStatus("COM3", true), 1),
       "ftModemStatus seq=1 port=\"COM3\" running=1"},
      {"modem status with a name length beyond the field",
       Frame(serverlink::ftModemStatus, {7, 'C', 'O', 'M', '1', '2', '3', 0}, 1),
       "ftModemStatus seq=1 port=\"COM123\" (name length 7, at most 6 fit) running=0"},
      {"version", Frame(serverlink::ftClientVersion, serverlink::BuildClientVersion("1.0.0.1"), 3),
       "ftClientVersion seq=3 version=1.0.0.1"},
      {"client flag", Frame(serverlink::ftClientFlag, {0}, 2), "ftClientFlag seq=2 flag=0"},
      {"keep-alive", Frame(serverlink::ftKeepAlive, {}), "ftKeepAlive seq=0"},
      {"unknown type", Frame(0x01020304, {0xAB}, 9), "0x01020304 seq=9 payload=AB"},
      {"payload shorter than announced", shortBody, "ftHello seq=0 short hello: 32 (payload length 2, body holds 1)"},
      {"not a frame", Bytes{0xFF, 1, 2}, "not a frame (3 bytes): FF 01 02"},
      {"empty", Bytes{}, "empty block"},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeBody(c.body), c.line) << c.name;
}

Bytes Block(const Bytes& frame) { return serverlink::EncodeBlock(frame); }

TEST(BlockReader, FindsEveryBlockHoweverTheStreamIsSplit) {
  Bytes stream = Block(Frame(serverlink::ftHello, {0x32, 0x00}, 0));
  const Bytes second = Block(Frame(serverlink::ftKeepAlive, {}));
  stream.insert(stream.end(), second.begin(), second.end());
  stream[stream.size() - second.size()] = 0xF0;  // accepted like 0xFF

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    BlockReader reader;
    std::vector<Bytes> bodies;
    Bytes body;
    reader.Feed(stream.data(), cut);
    while (reader.Next(&body) == BlockReader::Status::kBlock) bodies.push_back(body);
    reader.Feed(stream.data() + cut, stream.size() - cut);
    while (reader.Next(&body) == BlockReader::Status::kBlock) bodies.push_back(body);
    ASSERT_EQ(bodies.size(), 2u) << cut;
    EXPECT_EQ(bodies[0], Frame(serverlink::ftHello, {0x32, 0x00}, 0)) << cut;
    EXPECT_EQ(bodies[1], Frame(serverlink::ftKeepAlive, {})) << cut;
    EXPECT_EQ(reader.Next(&body), BlockReader::Status::kNeedMore);
  }
}

TEST(BlockReader, EmptyBodyIsABlockOfItsOwn) {
  Bytes header(serverlink::kTransportHeaderSize, 0);
  header[0] = 0xFF;
  BlockReader reader;
  reader.Feed(header.data(), header.size());
  Bytes body{1};
  EXPECT_EQ(reader.Next(&body), BlockReader::Status::kBlock);
  EXPECT_TRUE(body.empty());
}

TEST(BlockReader, BrokenHeaderFailsForGood) {
  auto withLength = [](int32_t length) {
    Bytes header = Block(Frame(serverlink::ftKeepAlive, {}));
    header.resize(serverlink::kTransportHeaderSize);
    for (int i = 0; i < 4; ++i) header[5 + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
    return header;
  };
  Bytes badMark = Block(Frame(serverlink::ftKeepAlive, {}));
  badMark[0] = 0x00;
  const struct {
    const char* name;
    Bytes bytes;
    const char* error;
  } cases[] = {
      {"bad mark", badMark, "block mark 0x00 where 0xFF or 0xF0 belongs"},
      {"negative length", withLength(-1), "body length -1 out of range"},
      {"huge length", withLength(0x7FFFFFFF), "body length 2147483647 out of range"},
  };
  for (const auto& c : cases) {
    BlockReader reader;
    Bytes body;
    reader.Feed(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(reader.Next(&body), BlockReader::Status::kFailed) << c.name;
    EXPECT_EQ(reader.error(), c.error) << c.name;
    const Bytes good = Block(Frame(serverlink::ftKeepAlive, {}));
    reader.Feed(good.data(), good.size());
    EXPECT_EQ(reader.Next(&body), BlockReader::Status::kFailed) << c.name;
  }
}

}  // namespace
}  // namespace linkmonitor
