#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/frame.h"

namespace linkmonitor {

// Cuts the driver's byte stream into blocks (21-byte transport header, then
// the body it announces), however the bytes were split on the way. Does no
// I/O, so any split can be fed to it in a test.
class BlockReader {
 public:
  // The driver's blocks are at most a few dozen bytes; a body far beyond
  // that means the stream is out of step, not that a megabyte is coming.
  static constexpr int32_t kMaxBody = 1 << 20;

  enum class Status { kNeedMore, kBlock, kFailed };

  void Feed(const uint8_t* data, size_t size);
  // kBlock hands over one body (possibly empty). Once the stream is found
  // broken there is no way to find the next block again, so the reader
  // stays failed and error() says why.
  Status Next(serverlink::Bytes* body);
  const std::string& error() const { return error_; }

 private:
  serverlink::Bytes buffer_;
  std::string error_;
};

}  // namespace linkmonitor
