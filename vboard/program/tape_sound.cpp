#include "vboard/program/tape_sound.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/thread_name.h"
#include "platform/thread_priority.h"
#include "vboard/media/movie_sound.h"
#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr std::int64_t kBlockSamples = 960;      // 20 ms
constexpr std::int64_t kAheadMoving = kRate;     // a second ahead while playing
constexpr std::int64_t kAheadStill = kRate / 5;  // ready for play to start
constexpr std::int64_t kKeptBehind = kRate;      // decoded sound kept behind the output
constexpr std::size_t kMaxOpenMovies = 4;

std::int64_t BlockOf(std::int64_t sample) {
  return (sample >= 0 ? sample : sample - kBlockSamples + 1) / kBlockSamples * kBlockSamples;
}

}  // namespace

CTapeSound::CTapeSound() {
  thread_ = std::thread([this] { Run(); });
}

CTapeSound::~CTapeSound() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CTapeSound::Follow(const std::shared_ptr<CSuperClip>& tape, std::int64_t tape_sample,
                        bool moving) {
  {
    std::lock_guard lock(mutex_);
    if (tape != tape_) {
      tape_ = tape;
      blocks_.clear();
    }
    const std::int64_t from = BlockOf(tape_sample);
    const std::int64_t to = tape_sample + (moving ? kAheadMoving : kAheadStill);
    if (from == want_from_ && to <= want_to_) return;
    want_from_ = from;
    want_to_ = to;
    for (auto it = blocks_.begin(); it != blocks_.end();) {
      const bool behind = it->first + kBlockSamples <= from - kKeptBehind;
      const bool beyond = it->first >= to + kAheadMoving;
      it = behind || beyond ? blocks_.erase(it) : std::next(it);
    }
  }
  wake_.notify_one();
}

bool CTapeSound::Take(const std::shared_ptr<CSuperClip>& tape, std::int64_t tape_sample, int count,
                      std::int16_t* out) {
  std::fill(out, out + static_cast<std::ptrdiff_t>(count) * kChannels, std::int16_t{0});
  std::lock_guard lock(mutex_);
  if (tape != tape_ || !tape) {
    ++underruns_;
    return false;
  }
  const std::int64_t end = tape_sample + count;
  for (std::int64_t block = BlockOf(tape_sample); block < end; block += kBlockSamples) {
    if (blocks_.find(block) == blocks_.end()) {
      ++underruns_;
      std::fill(out, out + static_cast<std::ptrdiff_t>(count) * kChannels, std::int16_t{0});
      return false;
    }
  }
  for (std::int64_t block = BlockOf(tape_sample); block < end; block += kBlockSamples) {
    const std::vector<std::int16_t>& data = blocks_.at(block);
    const std::int64_t from = std::max(block, tape_sample);
    const std::int64_t to = std::min(block + kBlockSamples, end);
    std::memcpy(out + (from - tape_sample) * kChannels, data.data() + (from - block) * kChannels,
                static_cast<std::size_t>(to - from) * kChannels * sizeof(std::int16_t));
  }
  return true;
}

bool CTapeSound::WaitIdle(int timeout_ms) {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] {
    if (busy_ || !tape_) return !tape_;
    for (std::int64_t block = want_from_; block < want_to_; block += kBlockSamples) {
      if (blocks_.find(block) == blocks_.end()) return false;
    }
    return true;
  });
}

std::int64_t CTapeSound::underruns() const {
  std::lock_guard lock(mutex_);
  return underruns_;
}

bool CTapeSound::ReadTape(const CSuperClip& tape,
                          std::map<std::string, std::unique_ptr<CMovieSound>>* movies,
                          std::int64_t first, int count, std::int16_t* out) {
  std::fill(out, out + static_cast<std::ptrdiff_t>(count) * kChannels, std::int16_t{0});
  bool ok = true;
  double clip_start = 0;  // seconds on the tape
  for (const ClipEntry& clip : tape.Clips()) {
    const std::int64_t start = std::llround(clip_start * kRate);
    clip_start += clip.Duration();
    const std::int64_t end = std::llround(clip_start * kRate);
    const std::int64_t from = std::max(first, start);
    const std::int64_t to = std::min(first + count, end);
    if (to <= from) continue;
    auto found = movies->find(clip.movie.path);
    if (found == movies->end()) {
      if (movies->size() >= kMaxOpenMovies) movies->erase(movies->begin());
      std::string error;
      found = movies->emplace(clip.movie.path, CMovieSound::Open(clip.movie.path, &error)).first;
    }
    if (!found->second) {
      ok = false;
      continue;
    }
    // The clip's in point on the movie's own sound time line.
    const std::int64_t in_sample =
        std::llround(clip.first_frame / clip.movie.FramesPerSecond() * kRate);
    ok = found->second->Read(in_sample + (from - start), static_cast<int>(to - from),
                             out + (from - first) * kChannels) &&
         ok;
  }
  return ok;
}

void CTapeSound::Run() {
  SetCurrentThreadName("sound decode");
  SetCurrentThreadPriority(ThreadPriority::kCodec, "Sound decode");
  std::map<std::string, std::unique_ptr<CMovieSound>> movies;
  std::shared_ptr<CSuperClip> movies_tape;
  std::unique_lock lock(mutex_);
  while (!stop_) {
    std::int64_t next = -1;
    if (tape_) {
      for (std::int64_t block = want_from_; block < want_to_; block += kBlockSamples) {
        if (blocks_.find(block) == blocks_.end()) {
          next = block;
          break;
        }
      }
    }
    if (next < 0) {
      busy_ = false;
      idle_.notify_all();
      wake_.wait(lock);
      continue;
    }
    busy_ = true;
    const std::shared_ptr<CSuperClip> tape = tape_;
    lock.unlock();
    if (tape != movies_tape) {
      movies.clear();
      movies_tape = tape;
    }
    std::vector<std::int16_t> data(static_cast<std::size_t>(kBlockSamples) * kChannels);
    // A block that cannot be decoded is kept as silence: trying it again each tick would only
    // take the worker from the blocks after it.
    ReadTape(*tape, &movies, next, static_cast<int>(kBlockSamples), data.data());
    lock.lock();
    if (tape == tape_ && next >= want_from_ - kKeptBehind && next < want_to_ + kAheadMoving) {
      blocks_[next] = std::move(data);
    }
  }
}

}  // namespace vxr
