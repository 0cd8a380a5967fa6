#include "panel/skin_image.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "panel/image_painter.h"
#include "panel/skin_test_support.h"

namespace vxr {
namespace {

using testing::CoordinateImage;
using testing::PixelOf;
using testing::Rgb;
using testing::SkinFolder;
using testing::SolidImage;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Put16(Bytes& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

Bytes ValidFile(int width = 3, int height = 2) {
  return EncodeBitmap(CoordinateImage(width, height, 7));
}

bool Accepts(const Bytes& bytes) {
  SkinImage image;
  return DecodeBitmap(bytes.data(), bytes.size(), &image);
}

TEST(SkinImageTest, StrideRoundsThreeBytesPerPixelUpToFour) {
  EXPECT_EQ(BitmapStride(3), 12u);
  EXPECT_EQ(BitmapStride(1), 4u);
  EXPECT_EQ(BitmapStride(4), 12u);
  EXPECT_EQ(BitmapStride(0), 0u);
  // No wrap-around for the widest width a file can declare.
  EXPECT_EQ(BitmapStride(0x7FFFFFFF), 4ull * ((3ull * 0x7FFFFFFF + 3) / 4));
}

TEST(SkinImageTest, DecodesWhatItEncodesWithRowsBottomUp) {
  const Bytes file = ValidFile(3, 2);
  ASSERT_EQ(file.size(), 54u + 12u * 2u);
  SkinImage image;
  ASSERT_TRUE(DecodeBitmap(file.data(), file.size(), &image));
  EXPECT_EQ(image.Width(), 3);
  EXPECT_EQ(image.Height(), 2);
  EXPECT_EQ(PixelOf(image, 2, 1), (Rgb{2, 1, 7}));
  // The first row in the file is the bottom row of the picture.
  EXPECT_EQ(file[54 + 2], 0);  // red of (0, 1)
  EXPECT_EQ(file[54 + 1], 1);  // green of (0, 1) = its y
}

TEST(SkinImageTest, RejectsFilesThatAreNotPlain24BitBottomUp) {
  Bytes eight_bit = ValidFile();
  Put16(eight_bit, 28, 8);
  Bytes thirty_two = ValidFile();
  Put16(thirty_two, 28, 32);
  Bytes two_planes = ValidFile();
  Put16(two_planes, 26, 2);
  Bytes not_bm = ValidFile();
  not_bm[0] = 'M';
  not_bm[1] = 'B';
  Bytes top_down = ValidFile();
  Put32(top_down, 22, static_cast<std::uint32_t>(-2));
  Bytes negative_width = ValidFile();
  Put32(negative_width, 18, static_cast<std::uint32_t>(-3));
  for (const Bytes* bytes :
       {&eight_bit, &thirty_two, &two_planes, &not_bm, &top_down, &negative_width}) {
    EXPECT_FALSE(Accepts(*bytes));
  }
}

TEST(SkinImageTest, RejectsShortAndTruncatedFilesAcceptsExtraBytes) {
  EXPECT_FALSE(Accepts(Bytes{}));
  Bytes header_only = ValidFile();
  header_only.resize(53);
  EXPECT_FALSE(Accepts(header_only));

  // Smaller than the declared size, although the pixels would fit.
  Bytes declared_larger = ValidFile();
  Put32(declared_larger, 2, static_cast<std::uint32_t>(declared_larger.size() + 1));
  EXPECT_FALSE(Accepts(declared_larger));

  // Pixels running past the end.
  Bytes truncated = ValidFile();
  truncated.pop_back();
  Put32(truncated, 2, static_cast<std::uint32_t>(truncated.size()));
  EXPECT_FALSE(Accepts(truncated));

  Bytes extra = ValidFile();
  extra.insert(extra.end(), 100, 0xEE);
  SkinImage image;
  ASSERT_TRUE(DecodeBitmap(extra.data(), extra.size(), &image));
  EXPECT_EQ(PixelOf(image, 1, 0), (Rgb{1, 0, 7}));
}

TEST(SkinImageTest, HostileSizesDoNotWrapPastTheSizeCheck) {
  // Each of these passes a 32-bit check: 3 * width, stride * height or offset + size wraps.
  Bytes wide = ValidFile(1, 1);
  Put32(wide, 18, 0x55555556u);
  Bytes tall = ValidFile(1, 1);
  Put32(tall, 22, 0x40000001u);
  Bytes far_offset = ValidFile(1, 1);
  Put32(far_offset, 10, 0xFFFFFFF0u);
  for (const Bytes* bytes : {&wide, &tall, &far_offset}) EXPECT_FALSE(Accepts(*bytes));
}

TEST(SkinImageTest, LongerInfoHeaderIsReadAsFortyBytesWithItsPixelOffset) {
  const SkinImage source = CoordinateImage(2, 2, 9);
  Bytes file(14 + 124 + 8 * 2, 0);
  const Bytes plain = EncodeBitmap(source);
  std::memcpy(file.data(), plain.data(), 54);
  Put32(file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(file, 10, 14 + 124);
  Put32(file, 14, 124);
  std::memcpy(file.data() + 14 + 124, plain.data() + 54, 16);
  SkinImage image;
  ASSERT_TRUE(DecodeBitmap(file.data(), file.size(), &image));
  EXPECT_EQ(image.Width(), 2);
  EXPECT_EQ(PixelOf(image, 1, 1), (Rgb{1, 1, 9}));
  EXPECT_FALSE(SkinImageToQImage(image).isNull());
}

TEST(SkinImageTest, ReadBitmapFileJoinsDirectoryAndNameAndReleasesOnFailure) {
  SkinFolder folder;
  folder.WriteImage("a.bmp", CoordinateImage(4, 3, 1));
  SkinImage image;
  ASSERT_TRUE(ReadBitmapFile(folder.Dir(), "a.bmp", &image));
  EXPECT_EQ(image.Width(), 4);

  // A backslash in the skin's names reads as '/'.
  std::filesystem::create_directory(folder.Path("sub"));
  folder.WriteImage("sub/b.bmp", CoordinateImage(2, 2, 2));
  EXPECT_TRUE(ReadBitmapFile(folder.Dir(), "sub\\b.bmp", &image));

  EXPECT_FALSE(ReadBitmapFile(folder.Dir(), "missing.bmp", &image));
  EXPECT_FALSE(image.IsLoaded());
  EXPECT_FALSE(ReadBitmapFile(folder.Dir(), "", &image));  // the folder itself
  // A named pipe is refused at once instead of waiting for a writer.
  ASSERT_EQ(::mkfifo(folder.Path("pipe.bmp").c_str(), 0600), 0);
  EXPECT_FALSE(ReadBitmapFile(folder.Dir(), "pipe.bmp", &image));
  folder.WriteText("bad.bmp", "BM but not an image at all, just some text to read past 54 bytes");
  EXPECT_FALSE(ReadBitmapFile(folder.Dir(), "bad.bmp", &image));
  EXPECT_FALSE(image.IsLoaded());
}

TEST(SkinImageTest, FullPathLongerThanTheLimitIsRefused) {
  SkinFolder folder;
  const std::string dir = folder.Dir();
  ASSERT_LT(dir.size() + 10, kMaxSkinPath);
  // A name that makes the path exactly the limit reads; one character more is refused.
  const std::string fits(kMaxSkinPath - dir.size() - 4, 'n');
  folder.WriteImage(fits + ".bmp", SolidImage(1, 1, {1, 2, 3}));
  SkinImage image;
  EXPECT_TRUE(ReadBitmapFile(dir, fits + ".bmp", &image));
  const std::string longer = fits + "n";
  folder.WriteImage(longer + ".bmp", SolidImage(1, 1, {1, 2, 3}));
  EXPECT_FALSE(ReadBitmapFile(dir, longer + ".bmp", &image));
}

TEST(BlitImageTest, NegativePositionCopiesTheSourcesLowerRightPart) {
  SkinImage destination = SolidImage(100, 100, {200, 200, 200});
  const SkinImage source = CoordinateImage(10, 10, 5);
  BlitImage(-3, -2, &destination, source);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 7; ++x) {
      ASSERT_EQ(PixelOf(destination, x, y),
                (Rgb{static_cast<std::uint8_t>(x + 3), static_cast<std::uint8_t>(y + 2), 5}))
          << x << "," << y;
    }
  }
  EXPECT_EQ(PixelOf(destination, 7, 0), (Rgb{200, 200, 200}));
  EXPECT_EQ(PixelOf(destination, 0, 8), (Rgb{200, 200, 200}));
}

TEST(BlitImageTest, ClipsAtTheRightAndBottomWithoutWritingPastRows) {
  // The destination's rows carry padding (5 px = 15 bytes, stride 16); the byte after each
  // row's pixels is a sentinel that must survive.
  SkinImage destination = SolidImage(5, 4, {1, 1, 1});
  for (int y = 0; y < 4; ++y) destination.PixelAt(0, y)[15] = 0xAB;
  BlitImage(3, 2, &destination, SolidImage(10, 10, {9, 9, 9}));
  for (int y = 0; y < 4; ++y) {
    EXPECT_EQ(destination.PixelAt(0, y)[15], 0xAB);
    for (int x = 0; x < 5; ++x) {
      const bool inside = x >= 3 && y >= 2;
      EXPECT_EQ(PixelOf(destination, x, y), inside ? (Rgb{9, 9, 9}) : (Rgb{1, 1, 1}));
    }
  }
  // Entirely outside, on every side, and at extreme positions: nothing changes.
  const SkinImage before = SolidImage(5, 4, {1, 1, 1});
  SkinImage untouched = SolidImage(5, 4, {1, 1, 1});
  for (auto [x, y] :
       {std::pair{5, 0}, {0, 4}, {-10, 0}, {0, -10}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}}) {
    BlitImage(x, y, &untouched, SolidImage(10, 10, {9, 9, 9}));
  }
  EXPECT_EQ(0, std::memcmp(before.pixels.get(), untouched.pixels.get(), before.PixelBytes()));
}

TEST(SkinImageTest, QtPictureHasTheRowsTopDownAndTheColoursInOrder) {
  const QImage picture = SkinImageToQImage(CoordinateImage(3, 2, 40));
  ASSERT_EQ(picture.size(), QSize(3, 2));
  EXPECT_EQ(picture.pixelColor(2, 1), QColor(2, 1, 40));
  EXPECT_EQ(picture.pixelColor(0, 0), QColor(0, 0, 40));
  EXPECT_TRUE(SkinImageToQImage(SkinImage{}).isNull());
}

// A few hundred damaged files: each is accepted or rejected, never read out of bounds (the
// sanitizer build checks that), and an accepted one's pixels lie inside the file.
TEST(SkinImageTest, MutatedFilesNeverReadOutOfBounds) {
  std::mt19937 random(12345);
  const Bytes good = ValidFile(5, 3);
  int accepted = 0;
  for (int round = 0; round < 600; ++round) {
    Bytes bytes = good;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      switch (random() % 4) {
        case 0:  // a random byte in the headers
          bytes[random() % 54] = static_cast<std::uint8_t>(random());
          break;
        case 1:  // a random 32-bit field value
          Put32(bytes, 2 + 4 * (random() % 8), static_cast<std::uint32_t>(random()));
          break;
        case 2:  // cut the file
          bytes.resize(random() % (bytes.size() + 1));
          break;
        default:  // grow the file
          bytes.resize(bytes.size() + random() % 64, 0x55);
          break;
      }
      if (bytes.size() < 54) break;
    }
    // Exact-size copies, so that the sanitizer sees any read past the end.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size() + 1]);
    std::memcpy(exact.get(), bytes.data(), bytes.size());
    SkinImage image;
    if (DecodeBitmap(exact.get(), bytes.size(), &image)) {
      ++accepted;
      EXPECT_LE(image.PixelBytes() + (bytes[10] | bytes[11] << 8 | bytes[12] << 16 |
                                      static_cast<std::uint32_t>(bytes[13]) << 24),
                bytes.size());
      (void)SkinImageToQImage(image);
    } else {
      EXPECT_FALSE(image.IsLoaded());
    }
  }
  EXPECT_GT(accepted, 0);  // the mutations leave some files good
}

}  // namespace
}  // namespace vxr
