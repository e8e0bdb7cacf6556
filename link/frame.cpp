#include "link/frame.h"

#include <algorithm>
#include <charconv>
#include <string>

#ifndef MCALLD_VERSION
#define MCALLD_VERSION "0.0.0.0"
#endif

namespace serverlink {
namespace {

// Every integer on the wire is little-endian; written byte by byte so the
// layout never depends on the host or on struct packing.
void putLe32(uint8_t* out, int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

void putLe64(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

int32_t getLe32(const uint8_t* in) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(in[i]) << (8 * i);
  return static_cast<int32_t>(u);
}

uint64_t getLe64(const uint8_t* in) {
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u |= static_cast<uint64_t>(in[i]) << (8 * i);
  return u;
}

// The whole text as a signed decimal, 0 when it is empty or not a number.
int32_t decimalOrZero(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return (ec == std::errc() && ptr == end) ? value : 0;
}

void putLe16(Bytes& out, size_t offset, int32_t value) {
  out[offset] = static_cast<uint8_t>(value & 0xFF);
  out[offset + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

}  // namespace

Bytes EncodeFrame(int32_t frameType, const Bytes& payload, uint64_t sequence) {
  Bytes frame(kFrameHeaderSize + payload.size());
  frame[kStartMarkOffset] = 0xFF;
  putLe32(&frame[kFrameTypeOffset], frameType);
  putLe32(&frame[kPayloadLengthOffset], static_cast<int32_t>(payload.size()));
  putLe64(&frame[kSequenceOffset], sequence);
  frame[kEndMarkOffset] = 0xFE;
  std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHeaderSize);
  return frame;
}

// The reserved bytes go out as zeros.
Bytes EncodeBlock(const Bytes& frame) {
  Bytes block(kTransportHeaderSize + frame.size(), 0);
  const auto length = static_cast<int32_t>(frame.size());
  block[kBlockMarkOffset] = 0xFF;
  putLe32(&block[kBodyLengthOffset], length);
  putLe32(&block[kBodyLengthCopyOffset], length);
  std::copy(frame.begin(), frame.end(), block.begin() + kTransportHeaderSize);
  return block;
}

BlockHeaderInfo DecodeBlockHeader(const uint8_t* header) {
  BlockHeaderInfo info;
  const uint8_t mark = header[kBlockMarkOffset];
  info.Accepted = mark == 0xFF || mark == 0xF0;
  info.BodyLength = getLe32(&header[kBodyLengthOffset]);
  return info;
}

std::optional<FrameHeader> ParseFrameHeader(const Bytes& body) {
  if (body.size() < kFrameHeaderSize || body[kStartMarkOffset] != 0xFF || body[kEndMarkOffset] != 0xFE) {
    return std::nullopt;
  }
  FrameHeader header;
  header.FrameType = getLe32(&body[kFrameTypeOffset]);
  header.PayloadLength = getLe32(&body[kPayloadLengthOffset]);
  header.Sequence = getLe64(&body[kSequenceOffset]);
  return header;
}

std::optional<int32_t> FrameTypeOf(const Bytes& body) {
  const auto header = ParseFrameHeader(body);
  if (!header) return std::nullopt;
  return header->FrameType;
}

// COM3, running:  04 'C' 'O' 'M' '3' 00 00 01
Bytes BuildModemStatus(std::string_view comName, bool running) {
  constexpr size_t kNameBytes = 6;
  Bytes payload(8, 0);
  const size_t kept = std::min(comName.size(), kNameBytes);
  payload[0] = static_cast<uint8_t>(kept);
  std::copy_n(comName.begin(), kept, payload.begin() + 1);
  payload[7] = running ? 1 : 0;
  return payload;
}

// "1.2.3.4" gives 1,2,3,4 and "1.2" gives 1,0,0,2: the first three numbers
// are taken before successive dots, the build is whatever remains.
Bytes BuildClientVersion(std::string_view versionText) {
  Bytes payload(8, 0);
  if (versionText.find('.') == std::string_view::npos) return payload;
  std::string_view rest = versionText;
  for (size_t part = 0; part < 3; ++part) {
    const size_t dot = rest.find('.');
    if (dot == std::string_view::npos) continue;  // counts as empty: 0
    putLe16(payload, part * 2, decimalOrZero(rest.substr(0, dot)));
    rest.remove_prefix(dot + 1);
  }
  putLe16(payload, 6, decimalOrZero(rest));
  return payload;
}

std::string_view ProgramVersion() { return MCALLD_VERSION; }

}  // namespace serverlink
