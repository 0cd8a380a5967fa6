#include "sinks/qt/sound_queue.h"

#include <algorithm>

#include "vboard/program/program_frame.h"

namespace vxr {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

}  // namespace

CSoundQueue::CSoundQueue(int channels, int start_samples, int capacity_samples)
    : channels_(channels),
      start_samples_(static_cast<std::size_t>(std::max(start_samples, 0))),
      capacity_samples_(static_cast<std::size_t>(std::max(capacity_samples, start_samples))) {}

void CSoundQueue::ConsumeLocked(std::size_t samples) {
  auto left = static_cast<std::int64_t>(samples);
  while (left > 0 && !segments_.empty()) {
    Segment& front = segments_.front();
    const std::int64_t take = std::min(left, front.samples - front.taken);
    front.taken += take;
    left -= take;
    if (front.taken >= front.samples) segments_.pop_front();
  }
}

void CSoundQueue::SkipLocked(std::size_t samples) {
  // Whole instants only: a channel's value never goes without the other's.
  const std::size_t values = std::min(samples * channels_, values_.size());
  values_.erase(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(values));
  ConsumeLocked(values / channels_);
  counts_.skipped_samples += static_cast<std::int64_t>(values / channels_);
}

void CSoundQueue::PushTick(const std::vector<std::int16_t>& interleaved, std::int64_t due_ns) {
  std::lock_guard lock(mutex_);
  const std::size_t whole = interleaved.size() - interleaved.size() % channels_;
  values_.insert(values_.end(), interleaved.begin(),
                 interleaved.begin() + static_cast<std::ptrdiff_t>(whole));
  const std::size_t samples = whole / channels_;
  if (samples > 0) segments_.push_back({due_ns, 0, static_cast<std::int64_t>(samples)});
  ++counts_.ticks;
  counts_.last_tick_samples = static_cast<std::int64_t>(samples);
  counts_.samples_in += static_cast<std::int64_t>(samples);
  const std::size_t depth = values_.size() / channels_;
  if (depth > capacity_samples_) SkipLocked(depth - capacity_samples_);
  counts_.depth_samples = static_cast<std::int64_t>(values_.size() / channels_);
  counts_.max_depth_samples = std::max(counts_.max_depth_samples, counts_.depth_samples);
}

void CSoundQueue::Read(std::int16_t* out, int samples) {
  if (samples <= 0) return;
  std::lock_guard lock(mutex_);
  const std::size_t depth = values_.size() / channels_;
  if (!running_ && depth >= start_samples_ && depth > 0) running_ = true;
  std::size_t taken = 0;
  if (running_) {
    taken = std::min(depth, static_cast<std::size_t>(samples));
    std::copy_n(values_.begin(), taken * channels_, out);
    values_.erase(values_.begin(),
                  values_.begin() + static_cast<std::ptrdiff_t>(taken * channels_));
    ConsumeLocked(taken);
    counts_.samples_out += static_cast<std::int64_t>(taken);
    if (taken < static_cast<std::size_t>(samples)) {
      // Ran dry: wait for start_samples again rather than crackle on every tick.
      ++counts_.underruns;
      running_ = false;
    }
  }
  const std::size_t silent = static_cast<std::size_t>(samples) - taken;
  std::fill_n(out + taken * channels_, silent * channels_, std::int16_t{0});
  counts_.silence_samples += static_cast<std::int64_t>(silent);
  counts_.depth_samples = static_cast<std::int64_t>(values_.size() / channels_);
}

void CSoundQueue::Skip(int samples) {
  std::lock_guard lock(mutex_);
  if (samples > 0) SkipLocked(static_cast<std::size_t>(samples));
  counts_.depth_samples = static_cast<std::int64_t>(values_.size() / channels_);
}

void CSoundQueue::Hold(int samples) {
  std::lock_guard lock(mutex_);
  const std::size_t depth = values_.size() / channels_;
  const std::size_t room = capacity_samples_ > depth ? capacity_samples_ - depth : 0;
  const std::size_t silent = std::min(static_cast<std::size_t>(std::max(samples, 0)), room);
  if (silent == 0) return;
  values_.insert(values_.begin(), silent * channels_, std::int16_t{0});
  // The silence takes the place of sound that would have been due just before the head.
  std::int64_t due = -1;
  if (!segments_.empty() && segments_.front().due_ns >= 0) {
    const Segment& front = segments_.front();
    due = front.due_ns + (front.taken - static_cast<std::int64_t>(silent)) * kNanosecondsPerSecond /
                             kProgramSoundRate;
  }
  segments_.push_front({due, 0, static_cast<std::int64_t>(silent)});
  counts_.held_samples += static_cast<std::int64_t>(silent);
  counts_.depth_samples = static_cast<std::int64_t>(values_.size() / channels_);
  counts_.max_depth_samples = std::max(counts_.max_depth_samples, counts_.depth_samples);
}

std::int64_t CSoundQueue::HeadDueNs() const {
  std::lock_guard lock(mutex_);
  if (segments_.empty() || segments_.front().due_ns < 0) return -1;
  const Segment& front = segments_.front();
  return front.due_ns + front.taken * kNanosecondsPerSecond / kProgramSoundRate;
}

CSoundQueue::Counts CSoundQueue::counts() const {
  std::lock_guard lock(mutex_);
  Counts counts = counts_;
  counts.running = running_;
  return counts;
}

}  // namespace vxr
