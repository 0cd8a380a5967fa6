#include "testing/media/tape_picture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "testing/media/tape_reader.h"
#include "testing/media/test_tapes.h"

namespace vxr {
namespace {

// A plane with sentinel rows and columns around the picture, to catch drawing outside it.
struct GuardedPlane {
  static constexpr int kGuard = 16;
  static constexpr std::uint8_t kSentinel = 0xA7;
  int width, height, stride;
  std::vector<std::uint8_t> bytes;

  GuardedPlane(int w, int h)
      : width(w),
        height(h),
        stride(w + 2 * kGuard),
        bytes(static_cast<std::size_t>(stride * (h + 2 * kGuard)), kSentinel) {}
  std::uint8_t* picture() { return bytes.data() + kGuard * stride + kGuard; }
  bool GuardsIntact() const {
    for (int y = 0; y < height + 2 * kGuard; ++y) {
      for (int x = 0; x < stride; ++x) {
        const bool inside = y >= kGuard && y < kGuard + height && x >= kGuard && x < kGuard + width;
        if (!inside && bytes[static_cast<std::size_t>(y * stride + x)] != kSentinel) return false;
      }
    }
    return true;
  }
};

TEST(TapePicture, StripReadsBackTheFrameNumberAtEverySize) {
  const std::uint32_t numbers[] = {0, 1, 249, 1499, 107892, 0xFFFFFF};
  for (const auto& [w, h] : {std::pair{64, 48}, {720, 576}, {1920, 1080}, {97, 61}}) {
    for (std::uint32_t number : numbers) {
      GuardedPlane plane(w, h);
      DrawTapePicture(plane.picture(), plane.stride, w, h, number, 25);
      EXPECT_EQ(ReadFrameStrip(plane.picture(), plane.stride, w, h), number)
          << w << "x" << h << " frame " << number;
      EXPECT_TRUE(plane.GuardsIntact()) << w << "x" << h;
    }
  }
}

TEST(TapePicture, BlankOrDamagedStripsAreNotRead) {
  GuardedPlane plane(64, 48);
  std::fill(plane.bytes.begin(), plane.bytes.end(), 0);
  EXPECT_EQ(ReadFrameStrip(plane.picture(), plane.stride, 64, 48), std::nullopt);
  std::fill(plane.bytes.begin(), plane.bytes.end(), 255);
  EXPECT_EQ(ReadFrameStrip(plane.picture(), plane.stride, 64, 48), std::nullopt);

  DrawTapePicture(plane.picture(), plane.stride, 64, 48, 1234, 25);
  // Flip one data block (column 3 of the first row): the check bits catch it.
  for (int y = 0; y < 8; ++y) {
    for (int x = 24; x < 32; ++x) {
      std::uint8_t& pixel = plane.picture()[y * plane.stride + x];
      pixel = pixel > 128 ? 16 : 240;
    }
  }
  EXPECT_EQ(ReadFrameStrip(plane.picture(), plane.stride, 64, 48), std::nullopt);
  EXPECT_EQ(ReadFrameStrip(plane.picture(), plane.stride, 32, 48), std::nullopt);
  EXPECT_EQ(ReadFrameStrip(nullptr, plane.stride, 64, 48), std::nullopt);
}

TEST(TapeWriter, EveryFrameOfAWrittenTapeReadsAsItsOwnNumber) {
  testing::TempFolder folder;
  for (const auto& [num, den] : {std::pair{25, 1}, {30000, 1001}}) {
    std::string error;
    const std::string path =
        testing::MakeTestTape(folder, "tape.avi", testing::SmallTape(1.0, num, den), &error);
    ASSERT_FALSE(path.empty()) << error;
    std::vector<std::optional<std::uint32_t>> numbers;
    ASSERT_TRUE(ReadTapeFrameNumbers(path, &numbers, &error)) << error;
    ASSERT_EQ(numbers.size(), num == 25 ? 25u : 30u);
    for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], i) << "frame " << i;
  }
}

TEST(TapeWriter, RefusesSpecsItCannotWriteAndLeavesNoFile) {
  testing::TempFolder folder;
  TapeSpec spec = testing::SmallTape(1.0);
  spec.rate_num = 50;
  std::string error;
  EXPECT_TRUE(testing::MakeTestTape(folder, "a.avi", spec, &error).empty());
  EXPECT_NE(error.find("rate"), std::string::npos);
  spec = testing::SmallTape(1.0);
  spec.width = 63;
  EXPECT_TRUE(testing::MakeTestTape(folder, "b.avi", spec, &error).empty());
  spec = testing::SmallTape(1.0);
  EXPECT_FALSE(WriteTestTape(folder.File("missing/c.avi"), spec, &error));
  std::vector<std::optional<std::uint32_t>> numbers;
  EXPECT_FALSE(ReadTapeFrameNumbers(folder.File("a.avi"), &numbers, &error));
}

}  // namespace
}  // namespace vxr
