#include "player/speed_planner.h"

#include <algorithm>
#include <cmath>

namespace vxr {
namespace {

// A picture queued behind n others goes on the output after the one shown now and those n:
// about n + 0.5 output frames from now (the refill falls anywhere within an output frame).
constexpr double kShowOffsetFrames = 0.5;
// How much of the averaged clock lead a refill keeps (the rest is the new reading).
constexpr double kDriftMemory = 0.75;
// A lead below one frame is reading noise (a reading is good to half a frame, and the output
// starts a picture up to a frame after it is asked to play) and is left alone.
constexpr double kDriftDeadBand = 1.0;
// At most this share of a step is taken up per picture, so the picture never visibly lurches.
constexpr double kDriftTakePerStep = 1.0 / 3.0;
// A lead of more than this many frames, or steps, means the sequence lost the clock.
constexpr double kRestartFrames = 2.0;
constexpr double kRestartSteps = 4.0;
// Positions stay within the tape, so that a turn at an end starts at once.
constexpr double kFrameInside = 0.5;

// The tape frame at virtual position x: 0 below the tape, at most the last frame.
std::uint32_t FrameAt(double x, std::uint32_t last) {
  if (!(x >= 0.0)) return 0;
  const double frame = std::trunc(x);
  return frame >= static_cast<double>(last) ? last : static_cast<std::uint32_t>(frame);
}

}  // namespace

CSpeedPlanner::CSpeedPlanner(double output_rate) { SetOutputRate(output_rate); }

void CSpeedPlanner::SetOutputRate(double output_rate) {
  if (!(output_rate > 0.0)) return;
  output_rate_ = output_rate;
  frame_duration_ = 1.0 / output_rate;
}

void CSpeedPlanner::Enter(double speed, double position) {
  speed_ = speed;
  origin_ = position;
  last_position_ = position;
  begun_ = false;
  drift_ = 0.0;
}

void CSpeedPlanner::Begin(double now) {
  origin_time_ = now;
  last_show_time_ = now;
  begun_ = true;
  changed_since_refill_ = false;
  travel_since_refill_ = 0.0;
  travel_from_ = now;
  previous_refill_ = now;
}

void CSpeedPlanner::ChangeSpeed(double speed, double now) {
  if (begun_) {
    travel_since_refill_ += speed_ * std::max(0.0, now - travel_from_) * output_rate_;
    travel_from_ = std::max(travel_from_, now);
    changed_since_refill_ = true;
  }
  speed_ = speed;
  drift_ = 0.0;
  origin_ = last_position_;
  if (!begun_) return;  // still preparing: Begin anchors the time
  origin_time_ = std::max(last_show_time_, now);
  last_show_time_ = origin_time_;
}

void CSpeedPlanner::Halt(std::uint32_t frame) {
  speed_ = 0.0;
  // The middle of the frame, so that a later speed in either direction leaves it evenly.
  origin_ = static_cast<double>(frame) + kFrameInside;
  last_position_ = origin_;
  drift_ = 0.0;
}

int CSpeedPlanner::Refill(double now, int queued, std::uint32_t last, std::uint32_t* frames) {
  if (queued < 0 || queued >= kPipeline) return 0;
  if (!begun_) Begin(now);
  const double shown_at = now + (queued + kShowOffsetFrames) * frame_duration_;
  const double clock = ClockPosition(shown_at);
  double next;
  if (queued == 0) {
    // The output caught up: start again from the clock.
    next = clock;
    drift_ = 0.0;
  } else if (changed_since_refill_ && now > previous_refill_) {
    travel_since_refill_ += speed_ * std::max(0.0, now - travel_from_) * output_rate_;
    const double mean = travel_since_refill_ / ((now - previous_refill_) * output_rate_);
    next = last_position_ + std::clamp(mean, std::min(0.0, speed_), std::max(0.0, speed_));
    // The clock goes on from this picture at its show time, so that the shorter step does not
    // read as a lead to be taken up.
    origin_ = next;
    origin_time_ = shown_at;
    drift_ = 0.0;
  } else {
    next = last_position_ + speed_;
    const double lead = clock - next;
    const double size = std::fabs(speed_);
    if (std::fabs(lead) > std::max(kRestartFrames, kRestartSteps * size)) {
      next = clock;
      drift_ = 0.0;
    } else {
      drift_ = kDriftMemory * drift_ + (1.0 - kDriftMemory) * lead;
      if (std::fabs(drift_) > kDriftDeadBand) {
        const double most = size * kDriftTakePerStep;
        const double take = std::clamp(drift_, -most, most);
        next += take;
        drift_ -= take;
      }
    }
  }
  // Never behind the last picture queued in the direction of travel.
  if (speed_ > 0.0) {
    next = std::max(next, last_position_);
  } else if (speed_ < 0.0) {
    next = std::min(next, last_position_);
  } else {
    next = last_position_;
  }

  changed_since_refill_ = false;
  travel_since_refill_ = 0.0;
  travel_from_ = now;
  previous_refill_ = now;

  const double top = static_cast<double>(last) + kFrameInside;
  int filled = 0;
  for (int i = queued; i < kPipeline; ++i, ++filled) {
    next = std::clamp(next, 0.0, top);
    frames[i] = FrameAt(next, last);
    last_position_ = next;
    last_show_time_ = shown_at + filled * frame_duration_;
    next += speed_;
  }
  return filled;
}

}  // namespace vxr
