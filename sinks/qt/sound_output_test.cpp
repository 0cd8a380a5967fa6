#include "sinks/qt/sound_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "sinks/qt/sound_output_kind.h"
#include "testing/media/program_pipeline.h"
#include "testing/offscreen_screens.h"

namespace vxr {
namespace {

// The sound path below the device, through the sink's own interface: what goes in by ticks
// comes out in the device's reads, in order; the queue starts once two ticks are in, fills
// an underrun with silence and counts it, and skips ahead when it holds more than six ticks.
TEST(SoundOutput, QueueStartsUnderrunsAndSkipsAheadWithoutADevice) {
  CSoundOutput sound(OutputFormat{}, std::make_shared<CSteppedClock>());
  const int tick = sound.TickSamples();
  ASSERT_EQ(tick, 1920);
  std::int16_t next_value = 0;
  auto push = [&](int ticks) {
    for (int i = 0; i < ticks; ++i) {
      auto frame = std::make_shared<ProgramFrame>();
      for (int s = 0; s < tick; ++s) {
        frame->sound.push_back(next_value);
        frame->sound.push_back(static_cast<std::int16_t>(-next_value));
        ++next_value;
      }
      sound.Push(frame);
    }
  };
  std::vector<std::int16_t> out(static_cast<std::size_t>(8 * tick) * 2);
  push(1);
  sound.Pull(out.data(), 480);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(sound.counts().queue.silence_samples, 480);  // waiting to start: no underrun
  EXPECT_EQ(sound.counts().queue.underruns, 0);
  push(1);
  sound.Pull(out.data(), 1000);
  for (int s = 0; s < 1000; ++s) ASSERT_EQ(out[2 * s], s) << s;
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[3], -1);
  sound.Pull(out.data(), 3000);  // 2840 left, then silence
  EXPECT_EQ(out[2 * 2839], 3839);
  EXPECT_EQ(out[2 * 2840], 0);
  EXPECT_EQ(sound.counts().queue.underruns, 1);
  push(9);  // 9 ticks in: the three oldest are skipped
  const CSoundQueue::Counts counts = sound.counts().queue;
  EXPECT_EQ(counts.depth_samples, 6 * tick);
  EXPECT_EQ(counts.skipped_samples, 3 * tick);
  EXPECT_EQ(counts.max_depth_samples, 6 * tick);
  sound.Pull(out.data(), 10);
  EXPECT_EQ(out[0], static_cast<std::int16_t>(2 * tick + 3 * tick));
  EXPECT_EQ(counts.samples_in, 11 * tick);
}

// The device is lost (a USB interface unplugged): its sink stops with an error. That is said once
// and counted; the program goes on into the queue as without a device. Stops without an error
// (the sink's own stop) and idling (an underrun) are no loss.
TEST(SoundOutput, ALostDeviceIsOneLineAndACountAndTheProgramGoesOn) {
  std::vector<std::string> lines;
  const DiagnosticSink previous =
      SetDiagnosticSink([&](std::string_view tag, std::string_view text) {
        lines.emplace_back(std::string(tag) + " " + std::string(text));
      });
  CSoundOutput sound(OutputFormat{}, std::make_shared<CSteppedClock>());
  auto push = [&] {
    auto frame = std::make_shared<ProgramFrame>();
    frame->sound.assign(static_cast<std::size_t>(sound.TickSamples()) * 2, 1);
    sound.Push(frame);
  };
  push();
  sound.DeviceStateChanged(QAudio::IdleState, QAudio::UnderrunError);
  sound.DeviceStateChanged(QAudio::StoppedState, QAudio::NoError);
  EXPECT_EQ(sound.counts().device_losses, 0);
  sound.DeviceStateChanged(QAudio::StoppedState, QAudio::IOError);
  sound.DeviceStateChanged(QAudio::StoppedState, QAudio::FatalError);
  push();
  push();
  SetDiagnosticSink(previous);
  const CSoundOutput::Counts counts = sound.counts();
  EXPECT_EQ(counts.device_losses, 2);
  EXPECT_FALSE(counts.device_open);
  EXPECT_EQ(counts.queue.ticks, 3);
  EXPECT_EQ(sound.Stats().received, 3);
  EXPECT_EQ(lines, (std::vector<std::string>{"Err Output output sound (no device): the device "
                                             "stopped taking sound; the deck goes on without "
                                             "this sound"}));
}

TEST(SoundOutput, AMissingDeviceIsOneLineAndNoSink) {
  testing::TwoScreenApplication();
  const auto clock = std::make_shared<CSteppedClock>();
  std::ostringstream errors;
  EXPECT_EQ(StartSoundOutput(SoundSettings{"no such device"}, OutputFormat{}, clock, errors),
            nullptr);
  const std::string text = errors.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("goes on without sound"), std::string::npos) << text;
  CSoundOutput sound(OutputFormat{}, clock);
  std::string error;
  EXPECT_FALSE(sound.Open(QAudioDevice(), &error));
  EXPECT_EQ(error, "no sound device");
}

// The sound output against a picture seen 20 ms after its tick, fed and read through its own
// interface at made-up times on the board's stepped clock: late sound is skipped and early sound
// held back with silence, both at whole stereo samples; a device that counts nothing gets
// neither.
TEST(SoundOutput, MeetsThePictureWithinOneFrameThroughTheSinksInterface) {
  const OutputFormat pal;  // 25/s: 1920 samples a tick
  constexpr int kTick = 1920;
  constexpr std::int64_t kTickNs = 40'000'000;
  constexpr std::int64_t kBufferBytes = kTick * 4;
  constexpr std::int64_t kHeldBytes = 960 * 4;  // 20 ms in the device's buffer
  auto feed = [&](CSoundOutput& sound) {
    for (int t = 0; t < 5; ++t) {
      auto frame = std::make_shared<ProgramFrame>();
      frame->tick = t;
      frame->steady_ns = t * kTickNs;
      for (int i = 0; i < kTick; ++i) {
        frame->sound.push_back(static_cast<std::int16_t>(t * kTick + i));
        frame->sound.push_back(static_cast<std::int16_t>(-(t * kTick + i)));
      }
      sound.Push(frame);
    }
  };
  std::int64_t picture_us = 20'000;
  const auto clock = std::make_shared<CSteppedClock>(200'000'000);
  CSoundOutput sound(pal, clock);
  sound.SetPictureDelay([&] { return picture_us; });
  feed(sound);
  std::vector<std::int16_t> out(2 * kTick * 6);
  sound.Pull(out.data(), 960);
  // At 200 ms the next sample (960, due at 20 ms) is 180 ms old: with the device's 20 ms that is
  // 180 ms after its picture. One measure is not enough; the second skips 170 ms, all but the
  // queue's 10 ms margin.
  sound.Sync({kBufferBytes, kBufferBytes - kHeldBytes, 1000});
  EXPECT_EQ(sound.counts().queue.skipped_samples, 0);
  sound.Sync({kBufferBytes, kBufferBytes - kHeldBytes, 2000});
  CSoundOutput::Counts counts = sound.counts();
  EXPECT_EQ(counts.offset_us, 180'000);
  EXPECT_EQ(counts.queue.skipped_samples, 8160);
  EXPECT_EQ(counts.sync_drops, 1);
  sound.Pull(out.data(), 1);
  EXPECT_EQ(out[0], 960 + 8160);
  EXPECT_EQ(out[1], -(960 + 8160));

  // The screen falls 200 ms behind its ticks: the sound is now 170 ms early and waits for it.
  picture_us = 200'000;
  sound.Sync({kBufferBytes, kBufferBytes - kHeldBytes, 3000});
  sound.Sync({kBufferBytes, kBufferBytes - kHeldBytes, 4000});
  counts = sound.counts();
  EXPECT_EQ(counts.offset_us, -170'021);  // the next sample, 9121, is 30.021 ms into tick 4
  EXPECT_EQ(counts.queue.held_samples, 8161);
  sound.Sync({kBufferBytes, kBufferBytes - kHeldBytes, 5000});
  EXPECT_NEAR(sound.counts().offset_us, 0, 1);
  sound.Pull(out.data(), 8162);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 2 * 8161, [](auto v) { return v == 0; }));
  EXPECT_EQ(out[2 * 8161], 960 + 8160 + 1);
  EXPECT_EQ(out[2 * 8161 + 1], -(960 + 8160 + 1));
  EXPECT_LE(sound.counts().queue.max_depth_samples, 6 * kTick);

  // No buffer size, nothing processed: no estimate, nothing skipped however late.
  clock->Set(10'000'000'000);
  CSoundOutput silent_device(pal, clock);
  silent_device.SetPictureDelay([] { return std::int64_t{0}; });
  feed(silent_device);
  for (int read = 0; read < 20; ++read) {
    silent_device.Pull(out.data(), 100);
    silent_device.Sync({0, 0, 0});
  }
  EXPECT_FALSE(silent_device.counts().sync_measured);
  EXPECT_EQ(silent_device.counts().queue.skipped_samples, 0);
}

// The sound's entries, when the default device comes unasked, and a run on a machine without a
// sound device: each device named is one line there, and the deck goes on without it.
TEST(SoundOutputKind, ReadsItsEntriesSoundsByDefaultOnADesktopAndGoesOnWithoutADevice) {
  CSoundOutputKind kind(false, false);
  using Claim = IProgramOutputKind::Claim;
  EXPECT_EQ(kind.Claims("sound"), Claim::kNamed);
  EXPECT_EQ(kind.Claims("sound:USB Audio:2"), Claim::kNamed);
  EXPECT_EQ(kind.Claims("sounds"), Claim::kNone);
  EXPECT_EQ(kind.Claims("sound?x=1"), Claim::kNone);
  std::string error;
  ASSERT_TRUE(kind.Add("sound", &error));
  ASSERT_TRUE(kind.Add("sound:USB Audio:2", &error));
  EXPECT_FALSE(kind.Add("sound:", &error));
  EXPECT_EQ(error, "\"sound:\": the sound device's name is missing");
  ASSERT_EQ(kind.settings().size(), 2u);
  EXPECT_EQ(kind.settings()[0].device, "");
  EXPECT_EQ(kind.settings()[1].device, "USB Audio:2");

  // Sound comes by default exactly when the monitor does on a display and none is named.
  EXPECT_TRUE(DefaultSoundWanted(false, false, false, "xcb"));
  EXPECT_FALSE(DefaultSoundWanted(false, true, false, "xcb"));
  EXPECT_FALSE(DefaultSoundWanted(false, false, true, "xcb"));
  EXPECT_FALSE(DefaultSoundWanted(false, false, false, "offscreen"));
  EXPECT_FALSE(DefaultSoundWanted(false, false, false, ""));  // no display at all
  EXPECT_FALSE(DefaultSoundWanted(true, false, false, "xcb"));

  testing::TwoScreenApplication();
  std::ostringstream listed;
  kind.List(listed);
  EXPECT_EQ(listed.str().rfind("Sound devices (--output sound:NAME", 0), 0u) << listed.str();
  std::ostringstream quiet;
  EXPECT_FALSE(CSoundOutputKind(false, false).Prepare(quiet));  // offscreen: no default
  CSoundOutputKind silenced(false, true);
  ASSERT_TRUE(silenced.Add("sound", &error));
  EXPECT_FALSE(silenced.Prepare(quiet));  // --no-sound wins over the list
  EXPECT_TRUE(quiet.str().empty());

  ASSERT_TRUE(kind.Prepare(quiet));
  if (!SoundDevices().empty()) GTEST_SKIP() << "this machine has a sound device";
  testing::ProgramPipeline pipeline;
  kind.Start(pipeline.Start());
  const std::string text = pipeline.errors.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_NE(text.find("sound: no sound device on this machine"), std::string::npos) << text;
  EXPECT_TRUE(pipeline.program.Sinks().empty());
  EXPECT_TRUE(kind.Finish(pipeline.program).empty());
}

}  // namespace
}  // namespace vxr
