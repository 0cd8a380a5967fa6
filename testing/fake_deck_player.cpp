#include "testing/fake_deck_player.h"

#include <cstring>

#include "protocol/status_bits.h"

namespace vxr::testing {

FakeDeckPlayer::FakeDeckPlayer() { status::Tape_OUT.Set(status_.data(), true); }

void FakeDeckPlayer::SetStatusByte(int index, std::uint8_t value) {
  std::lock_guard lock(mutex_);
  status_[static_cast<std::size_t>(index)] = value;
}

std::array<std::uint8_t, 16> FakeDeckPlayer::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void FakeDeckPlayer::SetCurrentTime(std::uint32_t timecode) {
  std::lock_guard lock(mutex_);
  time_ = timecode;
}

void FakeDeckPlayer::SetDeviceType(std::uint8_t first, std::uint8_t second) {
  std::lock_guard lock(mutex_);
  device_first_ = first;
  device_second_ = second;
}

std::vector<FakeDeckPlayer::Call> FakeDeckPlayer::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeDeckPlayer::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

std::string FakeDeckPlayer::InsertedPath() const {
  std::lock_guard lock(mutex_);
  return inserted_path_;
}

int FakeDeckPlayer::TapeOutState() {
  std::lock_guard lock(mutex_);
  return (status_[0] >> 5) & 7;
}

int FakeDeckPlayer::ReadStatus(std::uint8_t* destination, unsigned start, unsigned count) {
  if (start > 15 || start + count - 1 > 15) return 0;
  std::lock_guard lock(mutex_);
  std::memcpy(destination, status_.data() + start, count);
  return 1;
}

int FakeDeckPlayer::GetCurrentTime(Timecode* timecode, std::uint8_t* user_bits) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"GetCurrentTime", 0.0, time_});
  if (time_result_ != 0) return time_result_;
  if (timecode != nullptr) timecode->value = (timecode->value & Timecode::kFlagMask) | time_;
  if (user_bits != nullptr) {
    const std::uint8_t bits[4] = {0x11, 0x22, 0x33, 0x44};
    std::memcpy(user_bits, bits, 4);
  }
  return 0;
}

int FakeDeckPlayer::GetDeviceType(std::uint8_t* first, std::uint8_t* second) {
  std::lock_guard lock(mutex_);
  *first = device_first_;
  *second = device_second_;
  return 0;
}

int FakeDeckPlayer::CueUp(Timecode timecode) { return Record("CueUp", 0.0, timecode.value); }

std::uint32_t FakeDeckPlayer::SetLocal(int flag) {
  std::lock_guard lock(mutex_);
  const std::uint32_t previous = StatusWord(status_.data());
  status::Local.Set(status_.data(), flag != 0);
  calls_.push_back({"SetLocal", static_cast<double>(flag), 0});
  return previous;
}

HRESULT FakeDeckPlayer::InsertTape(const std::string& path) {
  std::lock_guard lock(mutex_);
  inserted_path_ = path;
  calls_.push_back({"InsertTape", 0.0, 0});
  return insert_result_;
}

int FakeDeckPlayer::Record(const char* name, double speed, std::uint32_t timecode) {
  std::lock_guard lock(mutex_);
  calls_.push_back({name, speed, timecode});
  return transport_result_;
}

}  // namespace vxr::testing
