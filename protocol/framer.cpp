#include "protocol/framer.h"

namespace vxr {

bool CFramer::Feed(std::uint8_t byte, Time arrival) {
  if (complete_ || state_ == State::kIdle) {
    complete_ = false;
    length_ = 0;
    expected_ = vxr::FrameLength(byte);
  }
  frame_[length_++] = byte;
  last_ = arrival;
  if (length_ == expected_) {
    complete_ = true;
    state_ = State::kIdle;
    return true;
  }
  if (length_ < kHeadSize) {
    state_ = State::kHead;
  } else {
    state_ = length_ == kHeadSize ? State::kAwaitingData : State::kData;
  }
  return false;
}

bool CFramer::Quiet(Time now) {
  const std::optional<Time> deadline = Deadline();
  if (!deadline || now < *deadline) return false;
  Drop();
  return true;
}

void CFramer::Reset() {
  if (state_ != State::kIdle) Drop();
  complete_ = false;
  length_ = 0;
}

void CFramer::Drop() {
  state_ = State::kIdle;
  complete_ = false;
  length_ = 0;
  ++dropped_;
}

std::optional<CFramer::Time> CFramer::Deadline() const {
  switch (state_) {
    case State::kIdle:
      return std::nullopt;
    case State::kAwaitingData:
      return last_ + kDataWaitLimit;
    case State::kHead:
    case State::kData:
      break;
  }
  return last_ + kInterByteLimit;
}

int CFramer::Wanted() const {
  if (state_ == State::kIdle) return kHeadSize;
  if (state_ == State::kHead) return kHeadSize - length_;
  return expected_ - length_;
}

}  // namespace vxr
