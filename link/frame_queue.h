#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "link/frame.h"

namespace serverlink {

// What a queued frame is for.
enum class FrameKind {
  kWaiting,       // goes out on whichever connection comes next
  kAnnouncement,  // the link's greeting to one connection, meaningless on any other
};

// Ring of 100 encoded frames shared by the UI thread and the link thread.
// The mutex is held for one operation only, never across a socket call.
class FrameQueue {
 public:
  static constexpr size_t kSlots = 100;

  bool Push(Bytes frame, FrameKind kind = FrameKind::kWaiting);
  std::optional<Bytes> Peek() const;
  void Pop();
  // A written block may still sit unread in the socket when the server goes
  // away. PopUnanswered takes the head off like Pop but keeps it aside until
  // a valid reply shows the server read it (ForgetAnswered); after a lost
  // connection RequeueUnanswered puts it back in the queue. Moving it under
  // the same lock means no reader ever sees it in neither place.
  void PopUnanswered();
  void ForgetAnswered();
  // Those the full queue cannot take stay aside for the next time.
  void RequeueUnanswered();
  bool Empty() const;
  size_t Size() const;
  // Encodes with the next sequence number, advances it, pushes: one lock.
  // The counter advances even when the queue refuses the frame.
  bool EncodeAndPush(int32_t frameType, const Bytes& payload, FrameKind kind = FrameKind::kWaiting);
  // Takes out the announcements an earlier connection never got to send,
  // keeping the order of the rest.
  void DropAnnouncements();
  uint64_t NextSequence() const;
  // Payloads of one type, of the frames kept aside unanswered and then of
  // the queued ones, oldest first (a copy).
  std::vector<Bytes> PayloadsOfType(int32_t frameType) const;

 private:
  bool PushLocked(Bytes frame, FrameKind kind);
  Bytes PopLocked();
  bool EmptyLocked() const { return readIndex_ == writeIndex_ && !full_; }
  mutable std::mutex mutex_;
  std::array<Bytes, kSlots> slots_;
  std::array<FrameKind, kSlots> kinds_{};
  size_t readIndex_ = 0;
  size_t writeIndex_ = 0;
  bool full_ = false;
  uint64_t nextSequence_ = 0;
  std::vector<Bytes> unanswered_;
};

}  // namespace serverlink
