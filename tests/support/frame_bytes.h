#pragma once

#include <cstdint>

#include "link/frame.h"

namespace testsupport {

// A block carrying one frame of the given type and no payload, as the
// message server sends its answers and commands.
inline serverlink::Bytes ServerBlock(int32_t frameType) {
  return serverlink::EncodeBlock(serverlink::EncodeFrame(frameType, {}, 0));
}

// A transport header alone, announcing any body length, a broken one too.
inline serverlink::Bytes BlockHeader(int32_t bodyLength, uint8_t mark = 0xFF) {
  serverlink::Bytes header(serverlink::kTransportHeaderSize, 0);
  header[serverlink::kBlockMarkOffset] = mark;
  const auto length = static_cast<uint32_t>(bodyLength);
  for (size_t i = 0; i < 4; ++i) {
    header[serverlink::kBodyLengthOffset + i] = static_cast<uint8_t>(length >> (8 * i));
    header[serverlink::kBodyLengthCopyOffset + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  return header;
}

}  // namespace testsupport
