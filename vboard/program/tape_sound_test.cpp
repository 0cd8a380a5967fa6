#include "vboard/program/tape_sound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "testing/media/test_tapes.h"
#include "vboard/media/movie_sound.h"
#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

constexpr int kRate = 48000;

// Where a tone burst starts: the sample before the first one above the threshold (the burst's
// first sample is a sine's zero, its second 2088).
std::int64_t Onset(const std::vector<std::int16_t>& stereo, std::int64_t from) {
  for (std::size_t i = static_cast<std::size_t>(from); i < stereo.size() / 2; ++i) {
    if (std::abs(stereo[2 * i]) > 1000) return static_cast<std::int64_t>(i) - 1;
  }
  return -1;
}

std::int64_t FrameStart(std::int64_t frame, int num, int den) {
  return (frame * kRate * den * 2 + num) / (2 * num);
}

TEST(TapeSoundTest, EveryTapeFrameGetsItsOwnSoundAtAnyRateAndInAProject) {
  testing::TempFolder folder;
  struct Case {
    const char* name;
    int num, den, sound_rate;
    int tolerance;  // samples: a resampled 44.1 kHz track may round by a sample or two
  };
  for (const Case& c : {Case{"a48.avi", 25, 1, 48000, 1}, Case{"a44.avi", 25, 1, 44100, 3},
                        Case{"n48.avi", 30000, 1001, 48000, 1}}) {
    SCOPED_TRACE(c.name);
    TapeSpec spec = testing::SmallTape(4.0, c.num, c.den);
    spec.tone_bursts = true;
    spec.sound_rate = c.sound_rate;
    const std::string path = testing::MakeTestTape(folder, c.name, spec);
    ASSERT_FALSE(path.empty());
    CSuperClip tape(static_cast<double>(c.num) / c.den);
    ASSERT_EQ(
        tape.AddProject(folder.WriteFile(std::string(c.name) + ".tml", std::string(c.name) + "\n")),
        S_OK);
    const int fps = c.num == 25 ? 25 : 30;
    // Read the whole tape in tick-sized pieces, as the output does while playing.
    const std::int64_t total = FrameStart(3 * fps + 5, c.num, c.den);
    std::vector<std::int16_t> sound(static_cast<std::size_t>(total) * 2);
    std::map<std::string, std::unique_ptr<CMovieSound>> movies;
    for (std::int64_t at = 0; at < total; at += 1920) {
      const int count = static_cast<int>(std::min<std::int64_t>(1920, total - at));
      ASSERT_TRUE(CTapeSound::ReadTape(tape, &movies, at, count, sound.data() + at * 2));
    }
    for (int second = 0; second < 3; ++second) {
      const std::int64_t expected = FrameStart(second * fps, c.num, c.den);
      const std::int64_t onset = Onset(sound, std::max<std::int64_t>(0, expected - 2000));
      EXPECT_LE(std::llabs(onset - expected), c.tolerance) << "second " << second;
    }
    // A read elsewhere (a cue) seeks and still finds the burst at its frame.
    std::vector<std::int16_t> cued(2 * 4000);
    const std::int64_t cue_at = FrameStart(2 * fps, c.num, c.den) - 1000;
    ASSERT_TRUE(CTapeSound::ReadTape(tape, &movies, cue_at, 4000, cued.data()));
    EXPECT_LE(std::llabs(Onset(cued, 0) - 1000), c.tolerance);
  }

  // A project clip from frame 10 of a movie: the movie's burst at its frame 25 is tape frame 15.
  TapeSpec spec = testing::SmallTape(3.0);
  spec.tone_bursts = true;
  ASSERT_FALSE(testing::MakeTestTape(folder, "clip.avi", spec).empty());
  CSuperClip project(25.0);
  ASSERT_EQ(project.AddProject(folder.WriteFile("p.tml", "clip.avi 10 40\nclip.avi 0 30\n")), S_OK);
  std::map<std::string, std::unique_ptr<CMovieSound>> movies;
  std::vector<std::int16_t> sound(2 * 1920 * 60);
  ASSERT_TRUE(CTapeSound::ReadTape(project, &movies, 0, 1920 * 60, sound.data()));
  EXPECT_LE(std::llabs(Onset(sound, 0) - 15 * 1920), 1);
  // The second clip starts at tape frame 31 with the movie's frame 0 and its burst.
  EXPECT_LE(std::llabs(Onset(sound, 20 * 1920) - 31 * 1920), 1);

  // The worker decodes ahead of the output, and the output takes what is ready.
  CTapeSound worker;
  auto shared = std::make_shared<CSuperClip>(25.0);
  ASSERT_EQ(shared->AddProject(folder.File("p.tml")), S_OK);
  std::vector<std::int16_t> tick(2 * 1920);
  EXPECT_FALSE(worker.Take(shared, 15 * 1920, 1920, tick.data()));  // nothing asked for yet
  worker.Follow(shared, 14 * 1920, true);
  ASSERT_TRUE(worker.WaitIdle(10000));
  ASSERT_TRUE(worker.Take(shared, 15 * 1920, 1920, tick.data()));
  EXPECT_LE(std::llabs(Onset(tick, 0)), 1);
  EXPECT_EQ(worker.underruns(), 1);
}

}  // namespace
}  // namespace vxr
