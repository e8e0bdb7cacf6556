#pragma once

#include <cstddef>
#include <cstdint>

#include "link/frame.h"

namespace serverlink {

// Where a reply block comes from: the socket in the program, a buffer in
// tests and fuzzing.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to maxBytes into out, waiting at most one data wait for the first of
  // them. 0 means nothing came: a time-out, a lost connection or a stop.
  virtual size_t ReadSome(uint8_t* out, size_t maxBytes) = 0;
};

// A server never sends anything near this; a larger length is taken as a
// broken or hostile stream rather than allocated.
constexpr int32_t kMaxBodyLength = 1 << 20;
constexpr size_t kMaxReadPiece = 50000;

struct ReceiveResult {
  Bytes Body;           // empty: no reply
  bool Failed = false;  // the stream is out of step (bad length, body cut short)
};

// Reads one block: the transport header, then its body.
ReceiveResult ReceiveBlock(ByteSource& source);

}  // namespace serverlink
