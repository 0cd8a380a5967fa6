#include "vboard/program/program_output.h"

#include <algorithm>
#include <cmath>

#include "vboard/media/pixel_buffers.h"
#include "vboard/program/placement.h"
#include "vboard/program/sound_cadence.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

constexpr double kWideAspect = 16.0 / 9.0;
// How far a movie's pixel shape may be from the 16:9 one: 720x480 material (NTSC's 16:9 pixels)
// on a 720x486 output is 1.2% off; 4:3 pixels are 25% off.
constexpr double kWideTolerance = 0.04;

}  // namespace

CProgramOutput::CProgramOutput(CSoftwareBoard& board, CBoardMonitor& monitor)
    : board_(board),
      monitor_(monitor),
      format_(board.config().format),
      planner_(format_.rate_num, format_.rate_den) {
  monitor_.SetListener([this](const OutputFrame& frame, const std::shared_ptr<CSuperClip>& tape) {
    OnTick(frame, tape);
  });
}

CProgramOutput::~CProgramOutput() { monitor_.SetListener(nullptr); }

void CProgramOutput::AddSink(std::shared_ptr<IProgramSink> sink) {
  std::lock_guard lock(sinks_mutex_);
  sinks_.push_back(std::move(sink));
}

void CProgramOutput::RemoveSink(const IProgramSink* sink) {
  std::lock_guard lock(sinks_mutex_);
  std::erase_if(sinks_, [sink](const auto& entry) { return entry.get() == sink; });
}

std::vector<std::shared_ptr<IProgramSink>> CProgramOutput::Sinks() const {
  std::lock_guard lock(sinks_mutex_);
  return sinks_;
}

CProgramOutput::Counts CProgramOutput::counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

std::vector<std::int16_t> CProgramOutput::TickSoundSamples(const TickSound& plan,
                                                           const std::shared_ptr<CSuperClip>& tape,
                                                           int share) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(share) * kProgramSoundChannels, 0);
  if (plan.silent || !tape) return samples;
  const int count = plan.fade_out > 0 ? plan.fade_out : plan.samples;
  if (!sound_.Take(tape, plan.tape_sample, count, samples.data())) {
    std::lock_guard lock(mutex_);
    ++counts_.sound_underruns;
    return samples;
  }
  // Linear fades over the first samples: in from silence, or out to it.
  const int fade = plan.fade_out > 0 ? plan.fade_out : plan.fade_in;
  for (int i = 0; i < fade; ++i) {
    const float gain =
        plan.fade_out > 0 ? 1.0f - static_cast<float>(i + 1) / fade : static_cast<float>(i) / fade;
    for (int channel = 0; channel < kProgramSoundChannels; ++channel) {
      std::int16_t& value = samples[static_cast<std::size_t>(i) * kProgramSoundChannels + channel];
      value = static_cast<std::int16_t>(value * gain);
    }
  }
  return samples;
}

bool WideMaterial(int width, int height, double aspect_ratio, int output_width, int output_height) {
  if (width <= 0 || height <= 0 || aspect_ratio <= 0.0 || output_width <= 0 || output_height <= 0) {
    return false;
  }
  const double pixel = aspect_ratio * height / width;
  const double wide_pixel = kWideAspect * output_height / output_width;
  return std::abs(pixel - wide_pixel) <= kWideTolerance * wide_pixel;
}

void CProgramOutput::OnTick(const OutputFrame& frame, const std::shared_ptr<CSuperClip>& tape) {
  // The picture the monitor shows for the tick; a late tick repeats the last one.
  const CBoardMonitor::View view = monitor_.Current();
  if (!composed_ || view.picture != composed_from_ || !(view.placement == composed_placement_)) {
    const std::size_t count = static_cast<std::size_t>(format_.width) * format_.height;
    if (view.picture && FillsOutput(*view.picture, view.placement) &&
        view.picture->pixels.size() == count) {
      // Material of the output's size, placed as it is: the picture itself, not a copy (a
      // copy of a 1080 picture every tick costs this thread milliseconds).
      composed_ =
          std::shared_ptr<const std::vector<std::uint32_t>>(view.picture, &view.picture->pixels);
    } else {
      // A buffer a picture let go: a fresh one costs page faults.
      std::shared_ptr<std::vector<std::uint32_t>> pixels = CPixelBuffers::Shared(count);
      ComposeOutput(view.picture.get(), view.placement, pixels.get());
      if (pixels->size() != count) pixels->assign(count, 0xff000000u);
      composed_ = std::move(pixels);
    }
    composed_from_ = view.picture;
    composed_placement_ = view.placement;
  }

  // What plays after the frame on the output decides whether sound follows.
  std::int64_t next_frame = -1;
  const std::shared_ptr<CTimeline> timeline = board_.Timeline(monitor_.board_index());
  if (timeline && tape && frame.monitor != MonitorShowed::kLate) {
    const CTimeline::Outlook outlook = timeline->Upcoming(1);
    if (outlook.on_output.tape == tape && outlook.on_output.frame == frame.tape_frame &&
        !outlook.next.empty() && outlook.next.front().tape == tape) {
      next_frame = outlook.next.front().frame;
    }
  }
  const std::int64_t tape_frame = tape ? frame.tape_frame : -1;
  const TickSound plan = planner_.Plan(frame.tick, tape_frame, next_frame);
  const int share = SoundSamplesInTick(frame.tick, format_.rate_num, format_.rate_den);

  auto program = std::make_shared<ProgramFrame>();
  program->tick = frame.tick;
  program->steady_ns = frame.steady_ns;
  program->tape_frame = frame.tape_frame;
  program->timecode = frame.timecode;
  program->width = format_.width;
  program->height = format_.height;
  program->pixels = composed_;
  program->sound = TickSoundSamples(plan, tape, share);
  MaterialPicture material;
  if (tape && frame.tape_frame >= 0 && tape->MaterialAt(frame.tape_frame, &material)) {
    program->wide = WideMaterial(material.width, material.height, material.aspect_ratio,
                                 format_.width, format_.height);
  }

  // The worker decodes from where the sound goes next: on while it follows, the next frame's
  // start while still, so that play begins with its sound ready.
  if (tape && tape_frame >= 0) {
    const bool moving = !plan.silent && plan.fade_out == 0;
    sound_.Follow(tape,
                  moving ? plan.tape_sample + plan.samples
                         : SoundSampleAtTick(tape_frame + 1, format_.rate_num, format_.rate_den),
                  moving);
  }

  {
    std::lock_guard lock(mutex_);
    ++counts_.ticks;
  }
  std::lock_guard lock(sinks_mutex_);
  for (const std::shared_ptr<IProgramSink>& sink : sinks_) sink->Push(program);
}

}  // namespace vxr
