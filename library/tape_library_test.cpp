#include "library/tape_library.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace vxr {
namespace {

namespace fs = std::filesystem;

class TapeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vxr_library_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "tapes");
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(root_ / "tapes" / name, std::ios::trunc) << bytes;
  }
  // Probes by content: "bad" cannot be played; anything else lasts as many seconds as it has
  // bytes.
  TapeProbe CountingProbe() {
    return [this](LibraryTape* tape) {
      ++probes_;
      std::ifstream in(tape->path);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (text == "bad") {
        tape->problem = "not a movie";
        return;
      }
      tape->playable = true;
      tape->seconds = static_cast<double>(text.size());
      tape->codec = "mpeg4";
    };
  }
  std::vector<std::string> OfferedNames(const CTapeLibrary& library) {
    std::vector<std::string> names;
    for (const LibraryTape& tape : library.Offered()) names.push_back(tape.name);
    return names;
  }

  fs::path root_;
  int probes_ = 0;
};

TEST_F(TapeLibraryTest, OffersSettledTapesInNameOrderAndFollowsTheFolder) {
  Write("b.AVI", "12");
  Write("a.avi", "1");
  Write("c.Tml", "123");
  Write("d.mov", "1234");
  Write("notes.txt", "x");
  Write("broken.avi", "bad");
  CTapeLibrary library({(root_ / "tapes").string()}, (root_ / "state").string(), CountingProbe());
  // Just written: a copy may be in progress, so nothing is offered before a scan finds the
  // files unchanged.
  EXPECT_FALSE(library.Rescan());
  EXPECT_TRUE(library.Offered().empty());
  EXPECT_EQ(probes_, 0);
  EXPECT_TRUE(library.Rescan());
  EXPECT_EQ(OfferedNames(library), (std::vector<std::string>{"a.avi", "b.AVI", "c.Tml", "d.mov"}));
  EXPECT_EQ(library.Offered()[3].kind, "MOV");
  EXPECT_EQ(library.Offered()[1].seconds, 2.0);
  ASSERT_EQ(library.All().size(), 5u);  // the broken one is kept with its reason
  EXPECT_EQ(library.All()[2].name, "broken.avi");
  EXPECT_EQ(library.All()[2].problem, "not a movie");
  const std::uint64_t generation = library.Generation();
  EXPECT_EQ(probes_, 5);

  // Unchanged: nothing probed again, nothing new.
  EXPECT_FALSE(library.Rescan());
  EXPECT_EQ(probes_, 5);
  EXPECT_EQ(library.Generation(), generation);

  // Renamed, removed and grown: renumbered once the new state has stood still.
  fs::rename(root_ / "tapes" / "a.avi", root_ / "tapes" / "z.avi");
  fs::remove(root_ / "tapes" / "c.Tml");
  Write("b.AVI", "123456");
  EXPECT_TRUE(library.Rescan());  // the two gone; z and the grown b wait
  EXPECT_EQ(OfferedNames(library), (std::vector<std::string>{"d.mov"}));
  EXPECT_TRUE(library.Rescan());
  EXPECT_EQ(OfferedNames(library), (std::vector<std::string>{"b.AVI", "d.mov", "z.avi"}));
  EXPECT_EQ(library.Offered()[0].seconds, 6.0);
  EXPECT_GT(library.Generation(), generation);
  EXPECT_EQ(library.IdOf((root_ / "tapes" / "z.avi").string()), 3);
}

TEST_F(TapeLibraryTest, LoadPathsAreTheTapeOrAProjectMadeForAMovie) {
  Write("a.avi", "1");
  Write("take \"2\".mkv", "12");
  Write("clip.MP4", "123");
  CTapeLibrary library({(root_ / "tapes").string()}, (root_ / "state").string(), CountingProbe());
  library.Rescan();
  library.Rescan();
  ASSERT_EQ(library.Offered().size(), 3u);
  std::string error;
  EXPECT_EQ(library.LoadPath(1, &error), (root_ / "tapes" / "a.avi").string());
  const std::string project = library.LoadPath(2, &error);
  ASSERT_FALSE(project.empty()) << error;
  EXPECT_EQ(fs::path(project).parent_path(), root_ / "state");
  EXPECT_EQ(fs::path(project).extension(), ".tml");
  std::ifstream in(project);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\"" + (root_ / "tapes" / "clip.MP4").string() + "\"\n"), std::string::npos);
  EXPECT_EQ(library.IdOf(project), 2);
  EXPECT_TRUE(library.LoadPath(9, &error).empty());
  EXPECT_FALSE(error.empty());
  // The real probe keeps what it cannot play out, with its reason.
  LibraryTape quoted;
  quoted.path = (root_ / "tapes" / "take \"2\".mkv").string();
  quoted.kind = "MKV";
  CTapeLibrary::ProbeTape(&quoted);
  EXPECT_FALSE(quoted.playable);
  EXPECT_FALSE(quoted.problem.empty());
  EXPECT_EQ(CTapeLibrary::KindOf("X.MxF"), "MXF");
  EXPECT_EQ(CTapeLibrary::KindOf(".avi"), "");
}

}  // namespace
}  // namespace vxr
