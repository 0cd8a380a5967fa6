// Mutated and random files against the movie probe and the project reader: every one must give
// a defined result, and nothing may crash or leak (run under the sanitizers).
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "player/clv_results.h"
#include "testing/media/test_tapes.h"
#include "vboard/server/movie.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/tml_project.h"

namespace vxr {
namespace {

// One of several kinds of damage, chosen by the generator.
std::string Mutate(const std::string& original, std::mt19937& random) {
  std::string bytes = original;
  const auto pick = [&](std::size_t limit) {
    return limit == 0 ? std::size_t{0}
                      : std::uniform_int_distribution<std::size_t>(0, limit - 1)(random);
  };
  const auto byte = [&] { return static_cast<char>(pick(256)); };
  switch (pick(6)) {
    case 0:  // scattered byte changes
      for (std::size_t n = 1 + pick(20); n > 0 && !bytes.empty(); --n)
        bytes[pick(bytes.size())] = byte();
      break;
    case 1:  // changes in the header, where the sizes and counts are
      for (std::size_t n = 1 + pick(8); n > 0 && !bytes.empty(); --n) {
        bytes[pick(std::min<std::size_t>(bytes.size(), 512))] = byte();
      }
      break;
    case 2:  // cut short
      bytes.resize(pick(bytes.size() + 1));
      break;
    case 3: {  // random bytes inserted
      std::string chunk(1 + pick(64), '\0');
      for (char& c : chunk) c = byte();
      bytes.insert(pick(bytes.size() + 1), chunk);
      break;
    }
    case 4: {  // a stretch copied over another
      if (bytes.size() < 2) break;
      const std::size_t from = pick(bytes.size()), to = pick(bytes.size());
      const std::size_t length = std::min({pick(256) + 1, bytes.size() - from, bytes.size() - to});
      bytes.replace(to, length, bytes.substr(from, length));
      break;
    }
    default: {  // noise only
      bytes.assign(pick(4096), '\0');
      for (char& c : bytes) c = byte();
      break;
    }
  }
  return bytes;
}

TEST(Fuzz, MutatedMoviesGiveDefinedResults) {
  testing::TempFolder folder;
  TapeSpec spec = testing::SmallTape(0.4);
  std::string error;
  const std::string tape = testing::MakeTestTape(folder, "seed.avi", spec, &error);
  ASSERT_FALSE(tape.empty()) << error;
  const std::string seed = testing::ReadFileBytes(tape);
  const std::set<HRESULT> allowed = {S_OK, CLV_E_NOT_A_MOVIE, CLV_E_NO_VIDEO, CLV_E_DAMAGED_MOVIE};
  std::mt19937 random(20261208);
  std::set<HRESULT> seen;
  for (int i = 0; i < 300; ++i) {
    const std::string path = folder.WriteFile("mutant.avi", Mutate(seed, random));
    CMovie movie;
    const HRESULT result = movie.OpenFile(path);
    ASSERT_TRUE(allowed.count(result)) << "case " << i << " gave " << std::hex << result;
    seen.insert(result);
    if (SUCCEEDED(result)) {
      std::int32_t width = 0, height = 0;
      std::uint32_t frames = 0;
      double fps = 0;
      ASSERT_EQ(movie.GetMovieInfo(0, &width, &height, &fps, &frames, nullptr, nullptr, nullptr),
                S_OK);
      EXPECT_GE(width, 1);
      EXPECT_GE(height, 1);
      EXPECT_GE(frames, 1u);
      EXPECT_GE(fps, 1.0);
    }
  }
  EXPECT_GE(seen.size(), 3u);  // the mutations reach more than one kind of refusal
}

TEST(Fuzz, MutatedProjectsGiveDefinedResults) {
  testing::TempFolder folder;
  std::string error;
  ASSERT_FALSE(testing::MakeTestTape(folder, "a.avi", testing::SmallTape(0.4), &error).empty());
  const std::string seed =
      "# reel one\r\na.avi 0 4\n\"a.avi\" 2   # again\n  a.avi\n" + folder.File("a.avi") + " 9 9\n";
  const std::set<HRESULT> allowed = {S_OK,
                                     CLV_E_BAD_PROJECT,
                                     CLV_E_NOT_A_MOVIE,
                                     CLV_E_NO_VIDEO,
                                     CLV_E_DAMAGED_MOVIE,
                                     HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                                     HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)};
  std::mt19937 random(4);
  int parsed = 0;
  for (int i = 0; i < 400; ++i) {
    const std::string text = Mutate(seed, random);
    std::vector<TmlClip> clips;
    std::string reason;
    if (ParseTmlProject(text, folder.path() + "/", &clips, &reason)) {
      ++parsed;
      EXPECT_FALSE(clips.empty());
    } else {
      EXPECT_EQ(reason.rfind("line ", 0), 0u) << reason;
      EXPECT_TRUE(clips.empty());
    }
    if (i % 4 == 0) {
      CSuperClip clip(25.0);
      const HRESULT result = clip.AddProject(folder.WriteFile("mutant.tml", text));
      ASSERT_TRUE(allowed.count(result)) << "case " << i << " gave " << std::hex << result;
      double seconds = 0;
      EXPECT_EQ(SUCCEEDED(clip.get_Duration(&seconds)), SUCCEEDED(result));
    }
  }
  EXPECT_GT(parsed, 0);
  EXPECT_LT(parsed, 400);
}

}  // namespace
}  // namespace vxr
