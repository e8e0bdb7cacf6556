#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace serial {

enum TPacketMode : int { pmDiscard = 0, pmPass };

// The packet rule, as the port's properties set it.
struct PacketRules {
  int32_t Size = -1;     // bytes per packet; -1: raw, everything read is passed on as it is
  int32_t Timeout = -1;  // ms after its first byte that a partial packet is flushed; -1: never
  TPacketMode Mode = pmDiscard;  // whether a flushed partial packet is passed on or dropped
  uint32_t LineTimeMs = 0;       // line time of one full packet at the line's rate
  // Bytes read less than this long after a packet's first byte count as
  // seen together with it: what one poll of the line would have found.
  uint32_t SightingMs = 1;
};

struct Packet {
  const uint8_t* Data;
  uint32_t Size;
};

// Cuts what is read from a serial line into packets. It does no I/O and
// keeps no clock: it is fed the bytes read, stepped with the tick, and
// hands out what the step released.
//
//   Room()/Commit() or Feed()   the bytes read, at most Capacity() held
//   Step(now)                   the rule at tick `now`, one poll's worth
//   Take()                      each packet that step released, in order
//   NextDue(now)                when to step again if no byte comes
//
// A packet is released when Size bytes are held (at once, in the step that
// finds them), or as a partial packet once more than Timeout ms have passed
// since its first byte was seen.
class PacketAssembler {
 public:
  explicit PacketAssembler(uint32_t capacity);

  // Drops whatever is held.
  void SetCapacity(uint32_t capacity);
  uint32_t Capacity() const { return static_cast<uint32_t>(buffer_.size()); }

  // Where the next read goes; empty when Capacity() bytes are held.
  std::span<uint8_t> Room();
  // `count` bytes were read into Room().
  void Commit(uint32_t count);
  // Copies in as much of `bytes` as fits; returns how much that was.
  uint32_t Feed(std::span<const uint8_t> bytes);

  // Runs the rule once at `now`. A packet of the previous step that was
  // not taken is dropped.
  void Step(uint32_t now, const PacketRules& rules);
  // The next packet the last step released. The bytes stay valid until the
  // next call of Room, Feed, Step or a purge.
  std::optional<Packet> Take();

  // The tick at which a Step releases something even if no byte comes: the
  // flush of a partial packet, or `now` while held bytes are not yet timed.
  // None while nothing held can be released by time alone.
  std::optional<uint32_t> NextDue(uint32_t now, const PacketRules& rules) const;

  // What an input purge does: everything held is dropped, the start is forgotten.
  void Purge();
  // What any purge does: the partial packet is timed afresh by the next step.
  void ForgetStart();

  // The tick at which the partial packet held was first seen, moved on by
  // line time when full packets were cut from it; -1 when none is timed.
  int64_t PacketStart() const { return start_; }
  // Bytes held that no step has released yet.
  uint32_t Held() const { return end_ - begin_ - released_ * releasedSize_; }

 private:
  void compact();
  void dropUntaken();
  void release(uint32_t count, uint32_t size);
  void timeFrom(uint32_t now);
  void cutFullPackets(uint32_t now, const PacketRules& rules);
  void advanceStart(uint32_t now, uint32_t lineTime);
  bool flushDue(uint32_t now, const PacketRules& rules) const;
  void flushPartial(const PacketRules& rules);

  std::vector<uint8_t> buffer_;
  uint32_t begin_ = 0;  // first byte not yet taken
  uint32_t end_ = 0;    // one past the last byte read
  uint32_t released_ = 0;      // packets released by the last step and not yet taken
  uint32_t releasedSize_ = 0;  // their size
  int64_t start_ = -1;
  // The tick at which start_ was set by seeing the packet's first byte;
  // none once the start has been moved by line time.
  std::optional<uint32_t> sightedAt_;
};

}  // namespace serial
