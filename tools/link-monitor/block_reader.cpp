#include "tools/link-monitor/block_reader.h"

#include <cstdio>

namespace linkmonitor {

using serverlink::kTransportHeaderSize;

void BlockReader::Feed(const uint8_t* data, size_t size) {
  if (error_.empty()) buffer_.insert(buffer_.end(), data, data + size);
}

BlockReader::Status BlockReader::Next(serverlink::Bytes* body) {
  if (!error_.empty()) return Status::kFailed;
  if (buffer_.size() < kTransportHeaderSize) return Status::kNeedMore;
  const serverlink::BlockHeaderInfo header = serverlink::DecodeBlockHeader(buffer_.data());
  if (!header.Accepted) {
    char text[64];
    std::snprintf(text, sizeof text, "block mark 0x%02X where 0xFF or 0xF0 belongs", buffer_[0]);
    error_ = text;
  } else if (header.BodyLength < 0 || header.BodyLength > kMaxBody) {
    error_ = "body length " + std::to_string(header.BodyLength) + " out of range";
  }
  if (!error_.empty()) {
    buffer_.clear();
    return Status::kFailed;
  }
  const size_t total = kTransportHeaderSize + static_cast<size_t>(header.BodyLength);
  if (buffer_.size() < total) return Status::kNeedMore;
  body->assign(buffer_.begin() + kTransportHeaderSize, buffer_.begin() + static_cast<std::ptrdiff_t>(total));
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
  return Status::kBlock;
}

}  // namespace linkmonitor
