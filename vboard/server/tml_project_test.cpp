#include "vboard/server/tml_project.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "player/clv_results.h"
#include "testing/media/test_tapes.h"
#include "vboard/server/movie.h"
#include "vboard/server/super_clip.h"

namespace vxr {
namespace {

TEST(TmlProject, ReadsClipsCommentsQuotesAndFrames) {
  const std::string text =
      "\xEF\xBB\xBF# opening titles\r\n"
      "intro.avi\r\n"
      "\n"
      "   \"my clips/b roll.avi\"  10 20   # the good part\n"
      "/media/tapes/c.avi 5\n"
      "\tfolder/d\xC3\xA9.avi 0 0";
  std::vector<TmlClip> clips;
  std::string error;
  ASSERT_TRUE(ParseTmlProject(text, "/projects/", &clips, &error)) << error;
  ASSERT_EQ(clips.size(), 4u);
  EXPECT_EQ(clips[0].path, "/projects/intro.avi");
  EXPECT_EQ(clips[0].line, 2);
  EXPECT_FALSE(clips[0].in_frame.has_value());
  EXPECT_EQ(clips[1].path, "/projects/my clips/b roll.avi");
  EXPECT_EQ(clips[1].line, 4);
  EXPECT_EQ(clips[1].in_frame, 10u);
  EXPECT_EQ(clips[1].out_frame, 20u);
  EXPECT_EQ(clips[2].path, "/media/tapes/c.avi");
  EXPECT_EQ(clips[2].in_frame, 5u);
  EXPECT_FALSE(clips[2].out_frame.has_value());
  EXPECT_EQ(clips[3].path, "/projects/folder/d\xC3\xA9.avi");
  EXPECT_EQ(clips[3].out_frame, 0u);
}

TEST(TmlProject, RefusesAnythingElseWithItsLineNumber) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"a.avi\nb.avi 20 10\n", "line 2: the out frame comes before the in frame"},
      {"a.avi 1 2 3\n", "line 1: unexpected text \"3\" after the out frame"},
      {"# c\n\na.avi x\n", "line 3: \"x\" is not a frame number"},
      {"a.avi -5\n", "line 1: \"-5\" is not a frame number"},
      {"a.avi 99999999999\n", "line 1: \"99999999999\" is not a frame number"},
      {"\"a.avi 1\n", "line 1: the quoted path has no closing quote"},
      {"\"a.avi\"1\n", "line 1: text right after the quoted path"},
      {"\"\" 1\n", "line 1: empty path"},
      {"ok.avi\nbad\x01.avi\n", "line 2: not UTF-8 text, or a control character"},
      {"bad\xC3.avi\n", "line 1: not UTF-8 text, or a control character"},
      {"bad\xC0\xAF.avi\n", "line 1: not UTF-8 text, or a control character"},
      {"# only a comment\n\n", "line 2: the project names no clip"},
      {"", "line 0: the project names no clip"},
  };
  for (const auto& c : cases) {
    std::vector<TmlClip> clips = {TmlClip{}};
    std::string error;
    EXPECT_FALSE(ParseTmlProject(c.text, "", &clips, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
    EXPECT_EQ(clips.size(), 1u);  // nothing appended
  }
}

TEST(TmlProject, AddProjectPlaysItsClipsOneAfterAnother) {
  testing::TempFolder folder;
  std::string error;
  ASSERT_FALSE(testing::MakeTestTape(folder, "a.avi", testing::SmallTape(2.0), &error).empty());
  ASSERT_FALSE(testing::MakeTestTape(folder, "b.avi", testing::SmallTape(1.0), &error).empty());
  const std::string project = folder.WriteFile(
      "reel.tml", "a.avi 10 29  # 20 frames\nb.avi\n" + folder.File("a.avi") + " 49\n");
  CSuperClip clip(25.0);
  ASSERT_EQ(clip.AddProject(project), S_OK);
  double seconds = 0;
  ASSERT_EQ(clip.get_Duration(&seconds), S_OK);
  EXPECT_DOUBLE_EQ(seconds, (20 + 25 + 1) / 25.0);
  MaterialPicture picture;
  const struct {
    std::int64_t tape_frame;
    std::size_t clip;
    std::uint32_t movie_frame;
  } expected[] = {{0, 0, 10}, {19, 0, 29}, {20, 1, 0}, {44, 1, 24}, {45, 2, 49}};
  for (const auto& e : expected) {
    ASSERT_TRUE(clip.MaterialAt(e.tape_frame, &picture)) << e.tape_frame;
    EXPECT_EQ(picture.clip, e.clip) << e.tape_frame;
    EXPECT_EQ(picture.movie_frame, e.movie_frame) << e.tape_frame;
  }
  EXPECT_FALSE(clip.MaterialAt(46, &picture));

  // Failures append nothing.
  CSuperClip other(25.0);
  EXPECT_EQ(other.AddProject(folder.File("none.tml")), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(other.AddProject(folder.WriteFile("bad.tml", "a.avi\nb.avi 0 25\n")),
            CLV_E_BAD_PROJECT);
  EXPECT_EQ(other.AddProject(folder.WriteFile("gap.tml", "a.avi\nmissing.avi\n")),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(other.AddProject(folder.WriteFile("syntax.tml", "a.avi 1 2 3\n")), CLV_E_BAD_PROJECT);
  EXPECT_EQ(other.AddProject(folder.path()), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(other.get_Duration(&seconds), CLV_E_NO_MATERIAL);
}

TEST(TmlProject, AMovieNamedByTenThousandClipsIsProbedOnce) {
  testing::TempFolder folder;
  std::string error;
  const std::string movie = testing::MakeTestTape(folder, "a.avi", testing::SmallTape(2.0), &error);
  ASSERT_FALSE(movie.empty()) << error;
  constexpr int kProbes = 20;
  MovieFacts facts;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kProbes; ++i) ASSERT_EQ(ProbeMovie(movie, &facts), S_OK);
  const auto probe = (std::chrono::steady_clock::now() - start) / kProbes;
  std::string text;
  for (std::size_t i = 0; i < kMaxTmlClips; ++i) {
    const std::string frame = std::to_string(i % 50);
    text += "a.avi " + frame + " " + frame + "\n";  // one frame each
  }
  CSuperClip clip(25.0);
  const auto load = std::chrono::steady_clock::now();
  ASSERT_EQ(clip.AddProject(folder.WriteFile("long.tml", text)), S_OK);
  const auto took = std::chrono::steady_clock::now() - load;
  EXPECT_EQ(clip.OutputFrames(), static_cast<std::int64_t>(kMaxTmlClips));
  // Probing every line would take 10000 probes; once per movie takes far less than 1000.
  EXPECT_LT(took, probe * 1000) << "one probe takes "
                                << std::chrono::duration<double, std::milli>(probe).count()
                                << " ms";
}

}  // namespace
}  // namespace vxr
