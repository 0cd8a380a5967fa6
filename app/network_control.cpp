#include "app/network_control.h"

#include <QMetaObject>
#include <QTimer>
#include <cmath>
#include <filesystem>

#include "protocol/status_bits.h"
#include "protocol/timecode.h"

namespace vxr {
namespace {

constexpr int kPalLines = 576;
constexpr int kNtscLines = 486;
constexpr int kNtscVisibleLines = 480;
constexpr double kRateTolerance = 0.001;
constexpr double kHundredths = 100.0;
constexpr double kThousandths = 1000.0;

bool TapeIsIn(const std::uint8_t* status) { return (status[0] & status::kTapeOutMask) == 0; }

std::string RateText(double rate) {
  if (std::abs(rate - std::round(rate)) < kRateTolerance) {
    return std::to_string(static_cast<int>(std::lround(rate)));
  }
  const double hundredths = rate * kHundredths;
  if (std::abs(hundredths - std::round(hundredths)) < kHundredths * kRateTolerance * 10) {
    return std::to_string(std::lround(hundredths));
  }
  return std::to_string(std::lround(rate * kThousandths));
}

std::string FallbackFormat(int rate) { return rate == 25 ? "PAL" : "NTSC"; }

}  // namespace

std::string VideoFormatName(int width, int height, double rate) {
  (void)width;
  if (height == kPalLines) return "PAL";
  if (height == kNtscLines || height == kNtscVisibleLines) return "NTSC";
  if (height <= 0 || !(rate > 0.0)) return std::string();
  return std::to_string(height) + "p" + RateText(rate);
}

CNetworkControl::CNetworkControl(CVtrDeck& deck, const CTapeLibrary* library,
                                 NetworkDeckHooks hooks)
    : deck_(deck), library_(library), hooks_(std::move(hooks)), context_(new QObject) {}

CNetworkControl::~CNetworkControl() = default;

void CNetworkControl::SetCurrentTape(const std::string& path) {
  std::lock_guard lock(mutex_);
  current_tape_ = path;
  ++tape_changes_;
}

ControlDeckState CNetworkControl::State() {
  ControlDeckState state;
  state.has_player = true;
  deck_.ReadLive(state.status.data(), &state.frame);
  state.has_player = state.status[0] != status::kNoPlayerByte0;
  state.frame_count = TapeIsIn(state.status.data()) ? deck_.TapeFrameCount() : 0;
  state.rate = TimecodeRate.load();
  const std::uint64_t generation = library_ != nullptr ? library_->Generation() : 0;
  std::lock_guard lock(mutex_);
  if (generation != cached_generation_ || tape_changes_ != cached_changes_) {
    // The library's lookups only when its list or the tape has changed.
    cached_generation_ = generation;
    cached_changes_ = tape_changes_;
    cached_clip_id_ = library_ != nullptr ? library_->IdOf(current_tape_) : 1;
    cached_clip_count_ = library_ != nullptr ? static_cast<int>(library_->Offered().size()) : 1;
    cached_format_.clear();
    if (library_ != nullptr && cached_clip_id_ > 0) {
      const LibraryTape tape =
          library_->Offered().at(static_cast<std::size_t>(cached_clip_id_) - 1);
      cached_format_ = VideoFormatName(tape.width, tape.height, tape.rate);
    }
  }
  const bool in = state.frame_count > 0;
  state.clip_id = in ? cached_clip_id_ : 0;
  state.clip_count = library_ != nullptr ? cached_clip_count_ : (in ? 1 : 0);
  state.clips_generation = generation + tape_changes_;
  state.video_format = cached_format_.empty() ? FallbackFormat(state.rate) : cached_format_;
  return state;
}

std::vector<ControlClip> CNetworkControl::Clips() {
  const int rate = TimecodeRate.load();
  std::vector<ControlClip> clips;
  if (library_ == nullptr) {
    const std::uint32_t frames = deck_.TapeFrameCount();
    std::lock_guard lock(mutex_);
    if (frames == 0 || current_tape_.empty()) return clips;
    const std::string name = std::filesystem::path(current_tape_).filename().string();
    clips.push_back({1, name, frames, CTapeLibrary::KindOf(name), FallbackFormat(rate)});
    return clips;
  }
  int id = 0;
  for (const LibraryTape& tape : library_->Offered()) {
    const auto frames = static_cast<std::uint32_t>(std::floor(tape.seconds * rate + 1e-6));
    std::string format = VideoFormatName(tape.width, tape.height, tape.rate);
    if (format.empty()) format = FallbackFormat(rate);
    clips.push_back({++id, tape.name, frames, tape.kind, format});
  }
  return clips;
}

void CNetworkControl::Submit(const ControlAction& action, std::function<void(int code)> done) {
  QMetaObject::invokeMethod(
      context_.get(),
      [this, action, done = std::move(done)]() mutable {
        if (action.kind == ControlAction::Kind::kLoadClip) {
          LoadClip(action.clip_id, std::move(done));
          return;
        }
        done(Execute(action));
      },
      Qt::QueuedConnection);
}

int CNetworkControl::Execute(const ControlAction& action) {
  using Kind = ControlAction::Kind;
  if (action.kind == Kind::kSetRemote) {
    if (hooks_.set_remote) hooks_.set_remote(action.enable);
    std::uint8_t status[kStatusBlockSize];
    std::uint32_t frame = 0;
    deck_.ReadLive(status, &frame);
    // REMOTE stays local when the edit controller's port cannot be opened.
    return status::Local.In(status) == !action.enable ? kControlOk : kControlInternalError;
  }
  Timecode timecode;
  TransportOp op = TransportOp::kNone;
  switch (action.kind) {
    case Kind::kPlay:
      op = TransportOp::kPlay;
      break;
    case Kind::kStop:
      op = TransportOp::kStop;
      break;
    case Kind::kJog:
      op = TransportOp::kJog;
      break;
    case Kind::kShuttle:
      op = TransportOp::kShuttle;
      break;
    case Kind::kCue:
      op = TransportOp::kCueUp;
      timecode.FromFrames(action.frame, static_cast<std::uint32_t>(TimecodeRate.load()));
      break;
    default:
      return kControlUnsupported;
  }
  return deck_.Drive(op, action.speed, timecode) == 0 ? kControlOk : kControlNoDisk;
}

void CNetworkControl::LoadClip(int id, std::function<void(int)> done) {
  std::string path;
  if (library_ != nullptr) {
    std::string error;
    path = library_->LoadPath(id, &error);
  } else if (id == 1) {
    std::lock_guard lock(mutex_);
    path = current_tape_;
  }
  if (path.empty()) {
    done(kControlOutOfRange);
    return;
  }
  std::uint8_t status[kStatusBlockSize];
  std::uint32_t frame = 0;
  deck_.ReadLive(status, &frame);
  std::string current;
  {
    std::lock_guard lock(mutex_);
    current = current_tape_;
  }
  if (TapeIsIn(status) && path == current) {
    // The tape that is in: cued to its start, not loaded again.
    done(deck_.Drive(TransportOp::kCueUp, 0.0, Timecode()) == 0 ? kControlOk : kControlNoDisk);
    return;
  }
  if (TapeIsIn(status)) deck_.PanelEject();
  WaitForTapeOut(std::move(path), 0, std::move(done));
}

void CNetworkControl::WaitForTapeOut(std::string path, int waited_ms,
                                     std::function<void(int)> done) {
  std::uint8_t status[kStatusBlockSize];
  std::uint32_t frame = 0;
  deck_.ReadLive(status, &frame);
  if (status::Tape_OUT.In(status) && !status::Eject.In(status)) {
    FinishLoad(path, done);
    return;
  }
  if (waited_ms >= kEjectTimeoutMs) {
    done(kControlInternalError);
    return;
  }
  QTimer::singleShot(kEjectPollMs, context_.get(),
                     [this, path = std::move(path), waited_ms, done = std::move(done)]() mutable {
                       WaitForTapeOut(std::move(path), waited_ms + kEjectPollMs, std::move(done));
                     });
}

void CNetworkControl::FinishLoad(const std::string& path, const std::function<void(int)>& done) {
  const HRESULT loaded = hooks_.load_tape ? hooks_.load_tape(path) : E_FAIL;
  if (loaded != 0) {
    done(kControlInternalError);
    return;
  }
  SetCurrentTape(path);
  done(kControlOk);
}

}  // namespace vxr
