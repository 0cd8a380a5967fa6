#include "sinks/qt/sound_sync.h"

#include <gtest/gtest.h>

namespace vxr {
namespace {

constexpr std::int64_t kCapacity = 6 * 1920;
constexpr std::int64_t kReadSamples = 480;  // a device reading 10 ms at a time

// A device that plays as it is handed sound: each measure it was handed one more read and
// counts that much more played, holding held samples in its buffer.
class Device {
 public:
  SoundSyncMeasure Measure(std::int64_t head_age_us, std::int64_t held, std::int64_t picture_us,
                           std::int64_t queued = 8000) {
    written_ += kReadSamples;
    SoundSyncMeasure measure;
    measure.head_age_us = head_age_us;
    measure.queued_samples = queued;
    measure.device_held_samples = held;
    measure.written_samples = written_;
    measure.processed_us = (written_ - held) * 1'000'000 / 48'000;
    measure.picture_delay_us = picture_us;
    return measure;
  }

 private:
  std::int64_t written_ = 100'000;
};

// The offset once the action is done: dropping brings the sound forward, holding back.
std::int64_t OffsetAfter(const SoundSyncAction& action) {
  return action.offset_us - action.drop_samples * 1'000'000LL / 48'000 +
         action.hold_samples * 1'000'000LL / 48'000;
}

TEST(SoundSync, LateSoundSkipsToItsPictureAfterTwoMeasuresAtBothRates) {
  struct Case {
    int num, den;
    std::int64_t head_age_us, held, picture_us, offset_us;
    int drop;
  };
  // 25/s: 160 ms old + 20 ms held = 180 ms against 60 ms, three frames late.
  // 29.97/s: 146.746 ms old + 1601 samples held (33.354 ms) against 80 ms: 100.1 ms late.
  for (const Case& c : {Case{25, 1, 160'000, 960, 60'000, 120'000, 5760},
                        Case{30000, 1001, 146'746, 1601, 80'000, 100'100, 4804}}) {
    CSoundSync sync(c.num, c.den, 20'000, kCapacity);
    Device device;
    const SoundSyncAction first = sync.Plan(device.Measure(c.head_age_us, c.held, c.picture_us));
    ASSERT_TRUE(first.measured);
    EXPECT_EQ(first.offset_us, c.offset_us);
    EXPECT_GE(first.offset_us, 3 * sync.FrameUs());
    EXPECT_EQ(first.drop_samples, 0) << "one measure is not enough";
    const SoundSyncAction second = sync.Plan(device.Measure(c.head_age_us, c.held, c.picture_us));
    EXPECT_EQ(second.drop_samples, c.drop);
    EXPECT_EQ(second.hold_samples, 0);
    EXPECT_LE(std::abs(OffsetAfter(second)), sync.FrameUs());
    // The queue skipped: the next sample is younger by as much, and nothing more happens.
    const std::int64_t younger = c.head_age_us - c.drop * 1'000'000LL / 48'000;
    for (int i = 0; i < 20; ++i) {
      const SoundSyncAction after = sync.Plan(device.Measure(younger, c.held, c.picture_us));
      EXPECT_EQ(after.drop_samples + after.hold_samples, 0);
      EXPECT_LE(std::abs(after.offset_us), sync.FrameUs());
    }
  }
}

TEST(SoundSync, SkippingKeepsTheQueuesMarginAndDoesNotHuntWhenThePictureCannotBeMet) {
  CSoundSync sync(25, 1, 20'000, kCapacity);
  Device device;
  // 100 ms old + 40 ms held against a picture seen 20 ms after its tick: 120 ms late, but the
  // queue may only give up 80 ms.
  sync.Plan(device.Measure(100'000, 1920, 20'000));
  const SoundSyncAction action = sync.Plan(device.Measure(100'000, 1920, 20'000));
  EXPECT_EQ(action.drop_samples, 3840);
  // Now 20 ms old: still 40 ms late, at the edge of one frame; nothing more is skipped.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(sync.Plan(device.Measure(20'000, 1920, 20'000)).drop_samples, 0);
  }
  // A wider margin (the device ran dry) keeps more: 60 ms old, 40 ms margin, 20 ms skipped.
  sync.SetFloorUs(40'000);
  sync.Plan(device.Measure(60'000, 1920, 20'000));
  EXPECT_EQ(sync.Plan(device.Measure(60'000, 1920, 20'000)).drop_samples, 960);
  // A queue that holds less than the lateness gives up only what it holds.
  sync.Plan(device.Measure(300'000, 0, 0, 1000));
  EXPECT_EQ(sync.Plan(device.Measure(300'000, 0, 0, 1000)).drop_samples, 1000);
}

TEST(SoundSync, EarlySoundHoldsSilenceWithinTheQueuesCapacity) {
  CSoundSync sync(25, 1, 20'000, kCapacity);
  Device device;
  // 30 ms old + 20 ms held against a picture seen 150 ms after its tick: 100 ms early.
  sync.Plan(device.Measure(30'000, 960, 150'000, 2000));
  const SoundSyncAction action = sync.Plan(device.Measure(30'000, 960, 150'000, 2000));
  EXPECT_EQ(action.offset_us, -100'000);
  EXPECT_EQ(action.hold_samples, 4800);
  EXPECT_EQ(action.drop_samples, 0);
  EXPECT_EQ(OffsetAfter(action), 0);
  // A picture a second late: the queue holds at most its capacity.
  sync.Plan(device.Measure(30'000, 960, 1'000'000, 2000));
  EXPECT_EQ(sync.Plan(device.Measure(30'000, 960, 1'000'000, 2000)).hold_samples, kCapacity - 2000);
}

TEST(SoundSync, JitterWithinOneFrameAndSingleSpikesChangeNothing) {
  CSoundSync sync(30000, 1001, 16'000, kCapacity);
  Device device;
  // Offsets of +30, -30, +33.3, -33.3 ms and a lone +80 ms between them, at 29.97/s.
  const std::int64_t ages[] = {80'000, 20'000, 83'366, 16'634, 130'000, 50'000, 83'000};
  for (int round = 0; round < 10; ++round) {
    for (const std::int64_t age : ages) {
      const SoundSyncAction action = sync.Plan(device.Measure(age, 960, 70'000));
      EXPECT_TRUE(action.measured);
      EXPECT_EQ(action.drop_samples, 0) << age;
      EXPECT_EQ(action.hold_samples, 0) << age;
    }
  }
}

TEST(SoundSync, ADeviceThatReportsNothingGetsNoAction) {
  CSoundSync sync(25, 1, 20'000, kCapacity);
  std::int64_t written = 0;
  for (int i = 0; i < 100; ++i) {
    written += kReadSamples;
    SoundSyncMeasure measure;
    measure.head_age_us = 500'000;  // very late, were the figures true
    measure.queued_samples = 8000;
    measure.device_held_samples = i % 2 == 0 ? 1920 : -1;  // bytes free stuck, or no buffer
    measure.written_samples = written;
    measure.processed_us = 0;
    measure.picture_delay_us = 20'000;
    const SoundSyncAction action = sync.Plan(measure);
    EXPECT_FALSE(action.measured);
    EXPECT_EQ(action.drop_samples + action.hold_samples, 0);
  }
  EXPECT_FALSE(sync.DeviceReports());
  // A device whose count stops moving is believed no longer after a few reads.
  CSoundSync stops(25, 1, 20'000, kCapacity);
  Device device;
  SoundSyncMeasure measure = device.Measure(500'000, 960, 20'000);
  for (int i = 0; i < CSoundSync::kStuckMeasures + 2; ++i) {
    measure.written_samples += kReadSamples;
    stops.Plan(measure);
  }
  EXPECT_FALSE(stops.DeviceReports());
  measure.written_samples += kReadSamples;
  EXPECT_EQ(stops.Plan(measure).drop_samples, 0);
}

}  // namespace
}  // namespace vxr
