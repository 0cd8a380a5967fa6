#pragma once

// Test and benchmark helpers for decoded pictures: reading a test tape's frame-number strip
// back from pictures in the monitor's layout, and damaging test tapes in place.

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "testing/media/tape_picture.h"
#include "vboard/media/movie_decoder.h"

namespace vxr::testing {

// The frame-number strip of a test-tape picture that sits at (x, y) of a picture in the layout
// of Picture (0xffRRGGBB, width pixels a row); the tape's pictures are grey, so green is luma.
inline std::optional<std::uint32_t> StripAt(const std::uint32_t* pixels, int width, int height,
                                            int x, int y, int tape_width, int tape_height) {
  if (x < 0 || y < 0 || x + tape_width > width || y + tape_height > height) return std::nullopt;
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(tape_width) * tape_height);
  for (int row = 0; row < tape_height; ++row) {
    for (int column = 0; column < tape_width; ++column) {
      const std::uint32_t pixel =
          pixels[static_cast<std::size_t>(y + row) * width + static_cast<std::size_t>(x + column)];
      luma[static_cast<std::size_t>(row) * tape_width + column] =
          static_cast<std::uint8_t>(pixel >> 8);
    }
  }
  return ReadFrameStrip(luma.data(), tape_width, tape_width, tape_height);
}

inline std::optional<std::uint32_t> StripOf(const Picture& picture) {
  return StripAt(picture.pixels.data(), picture.width, picture.height, 0, 0, picture.width,
                 picture.height);
}

// Where the pictures (chunks "00dc") of an AVI movie lie in its bytes: offset and size of each
// picture's data, in file order.
inline std::vector<std::pair<std::size_t, std::size_t>> AviPictures(const std::string& bytes) {
  std::vector<std::pair<std::size_t, std::size_t>> pictures;
  const std::size_t movi = bytes.find("movi");
  const std::size_t index = bytes.rfind("idx1");  // the index after the pictures names them too
  const std::size_t end = index == std::string::npos ? bytes.size() : index;
  for (std::size_t at = bytes.find("00dc", movi); at != std::string::npos && at + 8 <= end;
       at = bytes.find("00dc", at + 8)) {
    std::size_t size = 0;
    for (int i = 3; i >= 0; --i) size = size * 256 + static_cast<unsigned char>(bytes[at + 4 + i]);
    if (size == 0 || at + 8 + size > end) break;
    pictures.emplace_back(at + 8, size);
    at += size;
  }
  return pictures;
}

// Overwrites pictures first .. last - 1 of an AVI movie with noise from the given fraction of
// their data on; false when the movie has fewer pictures.
inline bool DamageAviPictures(std::string* bytes, std::size_t first, std::size_t last, double from,
                              unsigned seed) {
  const auto pictures = AviPictures(*bytes);
  if (pictures.size() < last) return false;
  std::mt19937 noise(seed);
  for (std::size_t n = first; n < last; ++n) {
    const auto [offset, size] = pictures[n];
    for (std::size_t i = offset + static_cast<std::size_t>(size * from); i < offset + size; ++i) {
      (*bytes)[i] = static_cast<char>(noise());
    }
  }
  return true;
}

}  // namespace vxr::testing
