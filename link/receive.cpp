#include "link/receive.h"

#include <algorithm>

namespace serverlink {
namespace {

// True when all of size bytes arrived.
bool readExactly(ByteSource& source, uint8_t* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t got = source.ReadSome(out + done, std::min(size - done, kMaxReadPiece));
    if (got == 0) return false;
    done += got;
  }
  return true;
}

}  // namespace

ReceiveResult ReceiveBlock(ByteSource& source) {
  ReceiveResult result;
  uint8_t header[kTransportHeaderSize];
  if (!readExactly(source, header, sizeof header)) return result;
  const BlockHeaderInfo info = DecodeBlockHeader(header);
  if (!info.Accepted || info.BodyLength == 0) return result;
  if (info.BodyLength < 0 || info.BodyLength > kMaxBodyLength) {
    result.Failed = true;
    return result;
  }
  Bytes body(static_cast<size_t>(info.BodyLength));
  // A body that stops short is dropped whole: a half frame must not be taken
  // for a command.
  if (!readExactly(source, body.data(), body.size())) {
    result.Failed = true;
    return result;
  }
  result.Body = std::move(body);
  return result;
}

}  // namespace serverlink
