#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace serverlink {

using Bytes = std::vector<uint8_t>;

enum FrameType : int32_t {
  ftKeepAlive = 0x02000000,
  ftHello = 0x02000001,
  ftAccessGranted = 0x02000003,
  ftPoll = 0x02000004,
  ftAccessDenied = 0x02000005,
  ftModemStatus = 0x02200062,
  ftClientVersion = 0x02200063,
  ftClientFlag = 0x02200065,
  ftDisconnectCommand = 0x02FFFFFD,
  ftCloseCommand = 0x02FFFFFE,
  ftPollAnswer = 0x02FFFFFF,
  ftCallEvent = 0x0300004A,
};

// Block: transport header, then the body, which is one frame.
//   offset  0  BlockMark       0xFF (0xF0 accepted on receipt)
//           1  4 reserved bytes
//           5  BodyLength      int32
//           9  8 reserved bytes
//          17  BodyLengthCopy  int32
constexpr size_t kTransportHeaderSize = 21;
constexpr size_t kBlockMarkOffset = 0;
constexpr size_t kBodyLengthOffset = 5;
constexpr size_t kBodyLengthCopyOffset = 17;

// Frame header:
//   offset  0  StartMark      0xFF
//           1  FrameType      int32
//           5  PayloadLength  int32
//           9  Sequence       uint64
//          17  EndMark        0xFE
constexpr size_t kFrameHeaderSize = 18;
constexpr size_t kStartMarkOffset = 0;
constexpr size_t kFrameTypeOffset = 1;
constexpr size_t kPayloadLengthOffset = 5;
constexpr size_t kSequenceOffset = 9;
constexpr size_t kEndMarkOffset = 17;

constexpr uint16_t kKindCode = 50;

struct FrameHeader {
  uint8_t StartMark = 0xFF;
  int32_t FrameType = 0;
  int32_t PayloadLength = 0;
  uint64_t Sequence = 0;
  uint8_t EndMark = 0xFE;
};

Bytes EncodeFrame(int32_t frameType, const Bytes& payload, uint64_t sequence);
Bytes EncodeBlock(const Bytes& frame);

struct BlockHeaderInfo {
  bool Accepted = false;  // BlockMark 0xFF or 0xF0
  int32_t BodyLength = 0;
};
BlockHeaderInfo DecodeBlockHeader(const uint8_t* header);  // 21 bytes

// The FrameType when the body is a valid frame (at least 18 bytes, 0xFF at 0, 0xFE at 17).
std::optional<int32_t> FrameTypeOf(const Bytes& body);
// The full header of a valid frame, for tools that print what they receive.
std::optional<FrameHeader> ParseFrameHeader(const Bytes& body);

Bytes BuildModemStatus(std::string_view comName, bool running);
Bytes BuildClientVersion(std::string_view versionText);

// The program's own four-part version, set once in the build.
std::string_view ProgramVersion();

}  // namespace serverlink
