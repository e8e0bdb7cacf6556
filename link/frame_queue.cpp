#include "link/frame_queue.h"

namespace serverlink {

bool FrameQueue::Push(Bytes frame, FrameKind kind) {
  std::lock_guard lock(mutex_);
  return PushLocked(std::move(frame), kind);
}

bool FrameQueue::PushLocked(Bytes frame, FrameKind kind) {
  if (full_) return false;
  slots_[writeIndex_] = std::move(frame);
  kinds_[writeIndex_] = kind;
  writeIndex_ = (writeIndex_ + 1) % kSlots;
  full_ = writeIndex_ == readIndex_;
  return true;
}

std::optional<Bytes> FrameQueue::Peek() const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return std::nullopt;
  return slots_[readIndex_];
}

void FrameQueue::Pop() {
  std::lock_guard lock(mutex_);
  PopLocked();
}

Bytes FrameQueue::PopLocked() {
  if (EmptyLocked()) return {};
  Bytes frame = std::move(slots_[readIndex_]);
  slots_[readIndex_] = Bytes();
  kinds_[readIndex_] = FrameKind::kWaiting;
  readIndex_ = (readIndex_ + 1) % kSlots;
  full_ = false;
  return frame;
}

void FrameQueue::PopUnanswered() {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return;
  unanswered_.push_back(PopLocked());
}

void FrameQueue::ForgetAnswered() {
  std::lock_guard lock(mutex_);
  unanswered_.clear();
}

void FrameQueue::RequeueUnanswered() {
  std::lock_guard lock(mutex_);
  std::vector<Bytes> notRequeued;
  for (auto& frame : unanswered_) {
    if (!PushLocked(frame, FrameKind::kWaiting)) notRequeued.push_back(std::move(frame));
  }
  unanswered_ = std::move(notRequeued);
}

bool FrameQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return EmptyLocked();
}

size_t FrameQueue::Size() const {
  std::lock_guard lock(mutex_);
  if (full_) return kSlots;
  return (writeIndex_ + kSlots - readIndex_) % kSlots;
}

bool FrameQueue::EncodeAndPush(int32_t frameType, const Bytes& payload, FrameKind kind) {
  // Encoded outside the lock would need the sequence first, so both happen
  // under it: two threads queueing at once still get distinct, ordered numbers.
  std::lock_guard lock(mutex_);
  Bytes frame = EncodeFrame(frameType, payload, nextSequence_++);
  return PushLocked(std::move(frame), kind);
}

void FrameQueue::DropAnnouncements() {
  std::lock_guard lock(mutex_);
  std::vector<Bytes> kept;
  while (!EmptyLocked()) {
    const bool announcement = kinds_[readIndex_] == FrameKind::kAnnouncement;
    Bytes frame = PopLocked();
    if (!announcement) kept.push_back(std::move(frame));
  }
  for (auto& frame : kept) PushLocked(std::move(frame), FrameKind::kWaiting);
}

uint64_t FrameQueue::NextSequence() const {
  std::lock_guard lock(mutex_);
  return nextSequence_;
}

std::vector<Bytes> FrameQueue::PayloadsOfType(int32_t frameType) const {
  std::lock_guard lock(mutex_);
  std::vector<Bytes> payloads;
  const auto collect = [&](const Bytes& frame) {
    const auto type = FrameTypeOf(frame);
    if (type && *type == frameType) payloads.emplace_back(frame.begin() + kFrameHeaderSize, frame.end());
  };
  for (const Bytes& frame : unanswered_) collect(frame);
  const size_t count = full_ ? kSlots : (writeIndex_ + kSlots - readIndex_) % kSlots;
  for (size_t i = 0; i < count; ++i) collect(slots_[(readIndex_ + i) % kSlots]);
  return payloads;
}

}  // namespace serverlink
