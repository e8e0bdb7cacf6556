#include "serial/packet_assembler.h"

#include <algorithm>
#include <cstring>

namespace serial {

PacketAssembler::PacketAssembler(uint32_t capacity) : buffer_(capacity, 0) {}

void PacketAssembler::SetCapacity(uint32_t capacity) {
  buffer_.assign(capacity, 0);
  Purge();
}

std::span<uint8_t> PacketAssembler::Room() {
  dropUntaken();
  compact();
  return std::span<uint8_t>(buffer_).subspan(end_);
}

void PacketAssembler::Commit(uint32_t count) { end_ += std::min(count, Capacity() - end_); }

uint32_t PacketAssembler::Feed(std::span<const uint8_t> bytes) {
  const std::span<uint8_t> room = Room();
  const auto count = static_cast<uint32_t>(std::min(bytes.size(), room.size()));
  if (count > 0) std::memcpy(room.data(), bytes.data(), count);
  Commit(count);
  return count;
}

void PacketAssembler::Step(uint32_t now, const PacketRules& rules) {
  dropUntaken();
  const uint32_t held = end_ - begin_;
  if (rules.Size <= 0) {
    if (held > 0) release(1, held);
    return;
  }
  if (held >= static_cast<uint32_t>(rules.Size)) {
    cutFullPackets(now, rules);
  } else if (flushDue(now, rules)) {
    flushPartial(rules);
  } else if (held > 0 && start_ < 0) {
    timeFrom(now);
  }
}

std::optional<Packet> PacketAssembler::Take() {
  if (released_ == 0) return std::nullopt;
  const Packet packet{buffer_.data() + begin_, releasedSize_};
  begin_ += releasedSize_;
  --released_;
  return packet;
}

std::optional<uint32_t> PacketAssembler::NextDue(uint32_t now, const PacketRules& rules) const {
  const uint32_t held = Held();
  if (held == 0) return std::nullopt;
  if (rules.Size <= 0 || held >= static_cast<uint32_t>(rules.Size)) return now;
  if (rules.Timeout <= 0) return std::nullopt;
  if (start_ < 0) return now;
  return static_cast<uint32_t>(start_) + static_cast<uint32_t>(rules.Timeout) + 1;
}

void PacketAssembler::Purge() {
  begin_ = end_ = 0;
  released_ = 0;
  ForgetStart();
}

void PacketAssembler::ForgetStart() {
  start_ = -1;
  sightedAt_.reset();
}

void PacketAssembler::compact() {
  if (begin_ == 0) return;
  std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
}

void PacketAssembler::dropUntaken() {
  begin_ += released_ * releasedSize_;
  released_ = 0;
}

void PacketAssembler::release(uint32_t count, uint32_t size) {
  released_ = count;
  releasedSize_ = size;
}

void PacketAssembler::timeFrom(uint32_t now) {
  start_ = now;
  sightedAt_ = now;
}

// A start that is already running moves on by each packet's line time: the
// estimated arrival of the next packet's first byte. A burst whose first
// sight already holds a full packet has no start to move; its remainder is
// timed from that moment instead of being flushed as long overdue at the
// next step. Bytes read in several pieces within one poll period are one
// sight, as one poll of the line would have found them together.
void PacketAssembler::cutFullPackets(uint32_t now, const PacketRules& rules) {
  const auto size = static_cast<uint32_t>(rules.Size);
  const uint32_t count = (end_ - begin_) / size;
  const bool seenTogether = sightedAt_ && now - *sightedAt_ < std::max<uint32_t>(rules.SightingMs, 1);
  const bool running = start_ >= 0 && !seenTogether;
  if (start_ < 0) timeFrom(now);
  if (running) {
    for (uint32_t i = 0; i < count; ++i) advanceStart(now, rules.LineTimeMs);
  }
  if (end_ - begin_ == count * size) ForgetStart();
  release(count, size);
}

// Bytes on a real line cannot come faster than its rate, so the estimate
// never runs more than one packet's line time ahead of now. A device faster
// than its nominal rate (a USB modem's rate setting is only nominal) would
// otherwise push the start ever further ahead with every packet and hold
// back the rest of the burst, and the call notification after it, for
// seconds or minutes.
void PacketAssembler::advanceStart(uint32_t now, uint32_t lineTime) {
  sightedAt_.reset();
  const uint32_t advanced = static_cast<uint32_t>(start_) + lineTime;
  const auto ahead = static_cast<int32_t>(advanced - now);
  start_ = ahead > static_cast<int32_t>(lineTime) ? now + lineTime : advanced;
}

// The start can lie ahead of now after moving by line time; that is not yet
// elapsed, so the difference is read as signed rather than wrapping to
// "long overdue".
bool PacketAssembler::flushDue(uint32_t now, const PacketRules& rules) const {
  if (rules.Timeout <= 0 || start_ < 0) return false;
  const auto elapsed = static_cast<int32_t>(now - static_cast<uint32_t>(start_));
  return elapsed > rules.Timeout;
}

void PacketAssembler::flushPartial(const PacketRules& rules) {
  ForgetStart();
  const uint32_t held = end_ - begin_;
  if (held == 0) return;
  if (rules.Mode == pmPass) {
    release(1, held);
  } else {
    begin_ = end_;
  }
}

}  // namespace serial
