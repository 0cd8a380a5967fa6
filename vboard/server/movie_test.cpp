#include "vboard/server/movie.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <set>

#include "player/clv_results.h"
#include "testing/media/test_tapes.h"
#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

// A PCM WAV file: a movie container with sound and no picture.
std::string WavBytes() {
  std::string bytes = "RIFF";
  const auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(v >> (8 * i)));
  };
  const auto u16 = [&](std::uint16_t v) {
    bytes.push_back(static_cast<char>(v));
    bytes.push_back(static_cast<char>(v >> 8));
  };
  const std::uint32_t samples = 8000;
  u32(36 + samples * 2);
  bytes += "WAVEfmt ";
  u32(16);
  u16(1);
  u16(1);
  u32(8000);
  u32(16000);
  u16(2);
  u16(16);
  bytes += "data";
  u32(samples * 2);
  bytes.append(samples * 2, '\0');
  return bytes;
}

TEST(Movie, ATenSecondTapeReportsItsLengthSizeAndRate) {
  testing::TempFolder folder;
  for (const auto& [num, den] : {std::pair{25, 1}, {30000, 1001}}) {
    std::string error;
    const std::string path =
        testing::MakeTestTape(folder, "ten.avi", testing::SmallTape(10.0, num, den), &error);
    ASSERT_FALSE(path.empty()) << error;
    CMovie movie;
    ASSERT_EQ(movie.OpenFile(path), S_OK);
    std::int32_t width = 0, height = 0;
    double fps = 0, duration = 0, aspect = 0;
    std::uint32_t frames = 0, flags = 99;
    ASSERT_EQ(movie.GetMovieInfo(0, &width, &height, &fps, &frames, &duration, &flags, &aspect),
              S_OK);
    EXPECT_EQ(width, 64);
    EXPECT_EQ(height, 48);
    EXPECT_DOUBLE_EQ(fps, static_cast<double>(num) / den);
    EXPECT_EQ(frames, num == 25 ? 250u : 300u);
    EXPECT_EQ(flags, 0u);
    EXPECT_NEAR(aspect, 64.0 / 48.0, 1e-9);
    EXPECT_EQ(movie.GetMovieInfo(1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              E_INVALIDARG);

    // Added to a super clip at the same output rate: the deck's length formula is exact.
    const double rate = static_cast<double>(num) / den;
    CSuperClip clip(rate);
    auto shared = std::make_shared<CMovie>();
    ASSERT_EQ(shared->OpenFile(path), S_OK);
    ASSERT_EQ(clip.AddMovie(shared), S_OK);
    double seconds = 0;
    ASSERT_EQ(clip.get_Duration(&seconds), S_OK);
    EXPECT_NEAR(seconds, num == 25 ? 10.0 : 10.01, 1e-9);
    EXPECT_EQ(static_cast<std::int64_t>(std::trunc(seconds * rate)), frames);
    EXPECT_EQ(clip.GetFilledDataInfo(&flags, &width, &height), S_OK);
    EXPECT_EQ(width, 64);
  }
}

TEST(Movie, FilesThatAreNoUsableMovieFailWithDistinctResults) {
  testing::TempFolder folder;
  std::string error;
  const std::string good =
      testing::MakeTestTape(folder, "good.avi", testing::SmallTape(2.0), &error);
  ASSERT_FALSE(good.empty()) << error;
  const std::string bytes = testing::ReadFileBytes(good);
  ::mkdir(folder.File("folder.avi").c_str(), 0700);

  const struct {
    std::string path;
    HRESULT expected;
  } cases[] = {
      {folder.File("missing.avi"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {folder.File("no/such/folder.avi"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {folder.File("folder.avi"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {folder.WriteFile("empty.avi", ""), CLV_E_NOT_A_MOVIE},
      {folder.WriteFile("text.avi", "This is not a movie.\nJust words.\n"), CLV_E_NOT_A_MOVIE},
      {folder.WriteFile("sound.avi", WavBytes()), CLV_E_NO_VIDEO},
      {folder.WriteFile("truncated.avi", bytes.substr(0, bytes.size() / 2)), CLV_E_DAMAGED_MOVIE},
      {"", E_INVALIDARG},
  };
  std::set<HRESULT> seen;
  for (const auto& c : cases) {
    CMovie movie;
    EXPECT_EQ(movie.OpenFile(c.path), c.expected) << c.path;
    EXPECT_EQ(movie.GetMovieInfo(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              CLV_E_NO_MATERIAL);
    EXPECT_LT(c.expected, 0);
    seen.insert(c.expected);
  }
  EXPECT_EQ(seen.size(), 6u);

  // A failed reopen closes the movie that was open.
  CMovie movie;
  ASSERT_EQ(movie.OpenFile(good), S_OK);
  EXPECT_EQ(movie.OpenFile(folder.File("empty.avi")), CLV_E_NOT_A_MOVIE);
  EXPECT_FALSE(movie.Facts().has_value());
  CSuperClip clip(25.0);
  EXPECT_EQ(clip.AddMovie(std::make_shared<CMovie>()), CLV_E_NO_MATERIAL);
  EXPECT_EQ(clip.AddMovie(nullptr), E_POINTER);
  double seconds = 0;
  EXPECT_EQ(clip.get_Duration(&seconds), CLV_E_NO_MATERIAL);
  EXPECT_EQ(clip.GetFilledDataInfo(nullptr, nullptr, nullptr), CLV_E_NO_MATERIAL);
}

TEST(SuperClip, DurationNeverFallsShortOfItsWholeFrameCount) {
  const double ntsc = 30000.0 / 1001.0;
  int raised = 0;
  for (std::uint32_t frames = 1; frames <= 20000; ++frames) {
    CSuperClip clip(ntsc);
    ClipEntry entry;
    entry.movie.rate_num = 30000;
    entry.movie.rate_den = 1001;
    entry.movie.frame_count = frames;
    entry.last_frame = frames - 1;
    clip.Append({entry});
    double seconds = 0;
    ASSERT_EQ(clip.get_Duration(&seconds), S_OK);
    ASSERT_EQ(static_cast<std::uint32_t>(std::trunc(seconds * ntsc)), frames) << frames;
    ASSERT_EQ(clip.OutputFrames(), frames);
    if (seconds != frames / ntsc) ++raised;
  }
  EXPECT_GT(raised, 0);  // the plain quotient does fall short for some lengths
}

}  // namespace
}  // namespace vxr
