#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "link/frame.h"

namespace serverlink {

// Ring of 100 encoded frames shared by the UI thread and the link thread.
// The mutex is held for one operation only, never across a socket call.
class FrameQueue {
 public:
  static constexpr size_t kSlots = 100;

  bool Push(Bytes frame);
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
  bool EncodeAndPush(int32_t frameType, const Bytes& payload);
  uint64_t NextSequence() const;
  // Payloads of one type, of the frames kept aside unanswered and then of
  // the queued ones, oldest first (a copy).
  std::vector<Bytes> PayloadsOfType(int32_t frameType) const;
  // Returns when a frame is waiting or the limit has passed, whichever is
  // first; lets an idle link sleep without missing a new frame.
  void WaitForFrame(std::chrono::milliseconds limit) const;

 private:
  bool PushLocked(Bytes frame);
  Bytes PopLocked();
  bool EmptyLocked() const { return readIndex_ == writeIndex_ && !full_; }
  mutable std::mutex mutex_;
  mutable std::condition_variable frameQueued_;
  std::array<Bytes, kSlots> slots_;
  size_t readIndex_ = 0;
  size_t writeIndex_ = 0;
  bool full_ = false;
  uint64_t nextSequence_ = 0;
  std::vector<Bytes> unanswered_;
};

}  // namespace serverlink
