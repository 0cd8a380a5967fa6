#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vxr {

// The 40-byte info header of a Windows bitmap file, field for field.
struct BitmapInfoHeader {
  std::uint32_t size = 40;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint16_t planes = 1;
  std::uint16_t bit_count = 24;
  std::uint32_t compression = 0;
  std::uint32_t size_image = 0;
  std::int32_t x_pels_per_meter = 0;
  std::int32_t y_pels_per_meter = 0;
  std::uint32_t clr_used = 0;
  std::uint32_t clr_important = 0;
};

// Longest full image path (directory and name) the panel opens, in bytes.
inline constexpr std::size_t kMaxSkinPath = 259;

// One skin image: the file's info header and its bottom-up 24-bit pixel block (rows from the
// bottom of the picture up, pixels blue-green-red, rows padded to a multiple of 4 bytes).
// The image owns its pixel block; an image without one is "not loaded".
struct SkinImage {
  BitmapInfoHeader header;
  std::unique_ptr<std::uint8_t[]> pixels;

  bool IsLoaded() const { return pixels != nullptr; }
  int Width() const { return header.width; }
  int Height() const { return header.height; }
  std::size_t Stride() const;
  std::size_t PixelBytes() const;
  void Release();

  // A blank loaded image of the given size (all pixels black); false when the size is negative
  // or the block cannot be allocated.
  bool Allocate(int width, int height);
  // A deep copy (false when the block cannot be allocated).
  bool CopyFrom(const SkinImage& other);

  // Pixel access for composing and tests; (x, y) from the top-left corner, no range check.
  std::uint8_t* PixelAt(int x, int y);
  const std::uint8_t* PixelAt(int x, int y) const;
};

// Bytes per row of a 24-bit image: 4 * ((3 * width + 3) / 4), in 64 bits so that no width that
// a file can declare wraps around.
std::uint64_t BitmapStride(std::int64_t width);

// Accepts or rejects the bytes of a bitmap file. On success the image holds the file's header
// (its first 40 bytes, whatever size the file's header declares) and a copy of its pixel block;
// on failure the image is released.
bool DecodeBitmap(const std::uint8_t* data, std::size_t size, SkinImage* image);

// Reads directory + name (no separator added; a backslash counts as '/'). A full path longer
// than kMaxSkinPath bytes is refused. On failure the image is released and no file stays open.
bool ReadBitmapFile(std::string_view directory, std::string_view name, SkinImage* image);

// The file form of an image (a 24-bit bitmap file with a 40-byte header), for the skin
// generator and tests.
std::vector<std::uint8_t> EncodeBitmap(const SkinImage& image);
bool WriteBitmapFile(const std::string& path, const SkinImage& image);

// Copies source into destination with its top-left corner at (x, y) of the destination
// (y downwards), opaquely, clipped to the destination on every side.
void BlitImage(int x, int y, SkinImage* destination, const SkinImage& source);

// The path that is opened for a skin path: backslashes read as '/'.
std::string NativeSkinPath(std::string_view path);

}  // namespace vxr
