// Any bytes as a bitmap file: ReadBitmapFile either refuses them and leaves no image, or gives a
// 24-bit image whose pixel block is exactly as large as its size says; reading the file and
// decoding the same bytes in memory agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_files.h"
#include "panel/skin_image.h"

namespace {

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "bitmap: %s\n", what);
  std::abort();
}

// Reads every pixel byte, so that a block shorter than its size is caught by the sanitizer.
unsigned SumPixels(const vxr::SkinImage& image) {
  unsigned sum = 0;
  const std::size_t bytes = image.PixelBytes();
  for (std::size_t i = 0; i < bytes; ++i) sum += image.pixels[i];
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  const std::string& folder = vxr::fuzz::WorkFolder();
  vxr::fuzz::WriteWholeFile(folder + "b.bmp", data, size);

  vxr::SkinImage from_file;
  const bool read = vxr::ReadBitmapFile(folder, "b.bmp", &from_file);
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  vxr::SkinImage decoded;
  const bool decodes = vxr::DecodeBitmap(copy.get(), size, &decoded);

  if (read != decodes) Fault("file and memory disagree");
  if (read != from_file.IsLoaded()) Fault("result and image disagree");
  if (!read) return 0;
  const vxr::BitmapInfoHeader& header = from_file.header;
  if (header.bit_count != 24 || header.planes != 1 || header.width < 0 || header.height < 0) {
    Fault("an image the panel cannot draw was accepted");
  }
  if (from_file.PixelBytes() !=
      vxr::BitmapStride(header.width) * static_cast<std::uint64_t>(header.height)) {
    Fault("pixel block size");
  }
  if (from_file.PixelBytes() > size) Fault("more pixels than the file holds");
  if (SumPixels(from_file) != SumPixels(decoded)) Fault("file and memory pixels differ");
  return 0;
}
