// An arbitrary byte stream from the server, read block by block the way the
// link thread reads its replies, with the stream handed over in pieces of
// sizes the input picks (short reads are where framing code goes wrong).
// An allocator hook catches any single allocation above the 1 MiB body
// limit while a block is read; scripts/fuzz also runs it with -malloc_limit_mb
// and a -timeout, so libFuzzer itself reports a runaway allocation or a hang.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "link/frame.h"
#include "link/receive.h"

namespace {

// The first bytes of the input choose the piece sizes, cyclically; the rest
// is the stream.
class PiecewiseSource : public serverlink::ByteSource {
 public:
  PiecewiseSource(std::vector<uint8_t> pieces, std::vector<uint8_t> stream)
      : pieces_(std::move(pieces)), stream_(std::move(stream)) {}

  size_t ReadSome(uint8_t* out, size_t maxBytes) override {
    if (maxBytes == 0) std::abort();  // a zero-byte read means "nothing came" to the caller
    size_t n = std::min(maxBytes, stream_.size() - pos_);
    if (!pieces_.empty()) n = std::min<size_t>(n, size_t{pieces_[calls_++ % pieces_.size()]} + 1);
    std::memcpy(out, stream_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  bool Exhausted() const { return pos_ == stream_.size(); }
  size_t Position() const { return pos_; }

 private:
  std::vector<uint8_t> pieces_;
  std::vector<uint8_t> stream_;
  size_t pos_ = 0;
  size_t calls_ = 0;
};

void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Armed only around the reads, so libFuzzer's own buffers do not count.
bool g_watching = false;
size_t g_largest = 0;

void OnMalloc(const volatile void*, size_t size) {
  if (g_watching) g_largest = std::max(g_largest, size);
}

void OnFree(const volatile void*) {}  // the sanitizer takes the hooks only as a pair

const bool g_hooked = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_hooked) Fail("allocator hook installed");
  FuzzedDataProvider in(data, size);
  const size_t pieceCount = in.ConsumeIntegralInRange<size_t>(0, 8);
  std::vector<uint8_t> pieces = in.ConsumeBytes<uint8_t>(pieceCount);
  PiecewiseSource source(std::move(pieces), in.ConsumeRemainingBytes<uint8_t>());

  // Each block takes at least its header from the stream, so this ends.
  while (!source.Exhausted()) {
    const size_t before = source.Position();
    g_largest = 0;
    g_watching = true;
    const serverlink::ReceiveResult reply = serverlink::ReceiveBlock(source);
    g_watching = false;
    if (g_largest > static_cast<size_t>(serverlink::kMaxBodyLength)) Fail("no allocation above the body limit");
    if (reply.Body.size() > static_cast<size_t>(serverlink::kMaxBodyLength)) Fail("body within the limit");
    if (reply.Failed && !reply.Body.empty()) Fail("a failed read delivers no body");
    if (!source.Exhausted() && source.Position() - before < serverlink::kTransportHeaderSize) {
      Fail("every read consumes a whole header");
    }
    if (!reply.Body.empty()) {
      const auto type = serverlink::FrameTypeOf(reply.Body);
      const auto header = serverlink::ParseFrameHeader(reply.Body);
      if (type.has_value() != header.has_value()) Fail("the two frame readers agree");
      if (type && *type != header->FrameType) Fail("the two frame readers agree on the type");
      if (type && reply.Body.size() < serverlink::kFrameHeaderSize) Fail("a frame holds its header");
    }
    // The link closes the connection on a stream out of step; nothing after
    // that is read as a block.
    if (reply.Failed) break;
  }
  return 0;
}
