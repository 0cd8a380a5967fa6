#include "panel/skin_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace vxr {
namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;
constexpr std::size_t kHeadersBytes = kFileHeaderBytes + kInfoHeaderBytes;

std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void WriteU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void WriteU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

BitmapInfoHeader ParseInfoHeader(const std::uint8_t* p) {
  BitmapInfoHeader h;
  h.size = ReadU32(p);
  h.width = static_cast<std::int32_t>(ReadU32(p + 4));
  h.height = static_cast<std::int32_t>(ReadU32(p + 8));
  h.planes = ReadU16(p + 12);
  h.bit_count = ReadU16(p + 14);
  h.compression = ReadU32(p + 16);
  h.size_image = ReadU32(p + 20);
  h.x_pels_per_meter = static_cast<std::int32_t>(ReadU32(p + 24));
  h.y_pels_per_meter = static_cast<std::int32_t>(ReadU32(p + 28));
  h.clr_used = ReadU32(p + 32);
  h.clr_important = ReadU32(p + 36);
  return h;
}

void StoreInfoHeader(const BitmapInfoHeader& h, std::uint8_t* p) {
  WriteU32(p, h.size);
  WriteU32(p + 4, static_cast<std::uint32_t>(h.width));
  WriteU32(p + 8, static_cast<std::uint32_t>(h.height));
  WriteU16(p + 12, h.planes);
  WriteU16(p + 14, h.bit_count);
  WriteU32(p + 16, h.compression);
  WriteU32(p + 20, h.size_image);
  WriteU32(p + 24, static_cast<std::uint32_t>(h.x_pels_per_meter));
  WriteU32(p + 28, static_cast<std::uint32_t>(h.y_pels_per_meter));
  WriteU32(p + 32, h.clr_used);
  WriteU32(p + 36, h.clr_important);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes a file descriptor when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { ::close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

 private:
  int fd_;
};

}  // namespace

std::uint64_t BitmapStride(std::int64_t width) {
  if (width < 0) return 0;
  return 4 * ((3 * static_cast<std::uint64_t>(width) + 3) / 4);
}

std::size_t SkinImage::Stride() const { return static_cast<std::size_t>(BitmapStride(Width())); }

std::size_t SkinImage::PixelBytes() const {
  if (Height() <= 0) return 0;
  return Stride() * static_cast<std::size_t>(Height());
}

void SkinImage::Release() {
  pixels.reset();
  header = BitmapInfoHeader{};
}

bool SkinImage::Allocate(int width, int height) {
  Release();
  if (width < 0 || height < 0) return false;
  header.width = width;
  header.height = height;
  const std::size_t bytes = PixelBytes();
  pixels.reset(new (std::nothrow) std::uint8_t[bytes == 0 ? 1 : bytes]());
  if (!pixels) {
    Release();
    return false;
  }
  return true;
}

bool SkinImage::CopyFrom(const SkinImage& other) {
  if (this == &other) return true;
  Release();
  if (!other.IsLoaded()) return true;
  const std::size_t bytes = other.PixelBytes();
  pixels.reset(new (std::nothrow) std::uint8_t[bytes == 0 ? 1 : bytes]);
  if (!pixels) return false;
  header = other.header;
  if (bytes != 0) std::memcpy(pixels.get(), other.pixels.get(), bytes);
  return true;
}

std::uint8_t* SkinImage::PixelAt(int x, int y) {
  return pixels.get() + static_cast<std::size_t>(Height() - 1 - y) * Stride() +
         3 * static_cast<std::size_t>(x);
}

const std::uint8_t* SkinImage::PixelAt(int x, int y) const {
  return const_cast<SkinImage*>(this)->PixelAt(x, y);
}

bool DecodeBitmap(const std::uint8_t* data, std::size_t size, SkinImage* image) {
  if (image == nullptr) return false;
  image->Release();
  if (data == nullptr || size < kHeadersBytes) return false;
  if (data[0] != 'B' || data[1] != 'M') return false;
  if (static_cast<std::uint64_t>(size) < ReadU32(data + 2)) return false;
  const std::uint64_t pixel_offset = ReadU32(data + 10);

  // Later header versions are longer than 40 bytes; their first 40 bytes have the same layout,
  // and the pixel offset says where the pixels are, so only those 40 bytes are kept.
  const BitmapInfoHeader header = ParseInfoHeader(data + kFileHeaderBytes);
  if (header.bit_count != 24 || header.planes != 1) return false;
  if (header.width < 0 || header.height < 0) return false;

  // All in 64 bits: a hostile width or height must not wrap around and pass the size check.
  const std::uint64_t pixel_bytes =
      BitmapStride(header.width) * static_cast<std::uint64_t>(header.height);
  if (pixel_offset + pixel_bytes > static_cast<std::uint64_t>(size)) return false;

  const std::size_t bytes = static_cast<std::size_t>(pixel_bytes);
  std::unique_ptr<std::uint8_t[]> pixels(new (std::nothrow) std::uint8_t[bytes == 0 ? 1 : bytes]);
  if (!pixels) return false;
  if (bytes != 0) std::memcpy(pixels.get(), data + pixel_offset, bytes);
  image->header = header;
  image->pixels = std::move(pixels);
  return true;
}

std::string NativeSkinPath(std::string_view path) {
  std::string native(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

bool ReadBitmapFile(std::string_view directory, std::string_view name, SkinImage* image) {
  if (image == nullptr) return false;
  image->Release();
  if (directory.size() + name.size() > kMaxSkinPath) return false;
  std::string path = NativeSkinPath(directory);
  path += NativeSkinPath(name);
  if (path.find('\0') != std::string::npos) return false;

  // Only a regular file is read: a folder or a device would report no usable length, and
  // opening without blocking keeps a named pipe from stalling the panel.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const Descriptor descriptor(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size < static_cast<off_t>(kHeadersBytes)) return false;
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[size]);
  if (!data) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data.get() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return DecodeBitmap(data.get(), size, image);
}

std::vector<std::uint8_t> EncodeBitmap(const SkinImage& image) {
  const std::size_t pixel_bytes = image.IsLoaded() ? image.PixelBytes() : 0;
  std::vector<std::uint8_t> file(kHeadersBytes + pixel_bytes, 0);
  file[0] = 'B';
  file[1] = 'M';
  WriteU32(&file[2], static_cast<std::uint32_t>(file.size()));
  WriteU32(&file[10], static_cast<std::uint32_t>(kHeadersBytes));
  BitmapInfoHeader header = image.header;
  header.size = kInfoHeaderBytes;
  header.planes = 1;
  header.bit_count = 24;
  header.compression = 0;
  header.size_image = static_cast<std::uint32_t>(pixel_bytes);
  StoreInfoHeader(header, &file[kFileHeaderBytes]);
  if (pixel_bytes != 0) std::memcpy(&file[kHeadersBytes], image.pixels.get(), pixel_bytes);
  return file;
}

bool WriteBitmapFile(const std::string& path, const SkinImage& image) {
  const std::vector<std::uint8_t> bytes = EncodeBitmap(image);
  File file(std::fopen(NativeSkinPath(path).c_str(), "wb"));
  if (!file) return false;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
  return std::fclose(file.release()) == 0;
}

void BlitImage(int x, int y, SkinImage* destination, const SkinImage& source) {
  if (destination == nullptr || !destination->IsLoaded() || !source.IsLoaded()) return;
  const std::int64_t dest_w = destination->Width();
  const std::int64_t dest_h = destination->Height();
  const std::int64_t src_w = source.Width();
  const std::int64_t src_h = source.Height();
  std::int64_t left = x;
  std::int64_t top = y;
  std::int64_t w = std::min(src_w, dest_w - left);
  std::int64_t h = std::min(src_h, dest_h - top);
  std::int64_t skip_columns = 0;
  std::int64_t skip_rows = 0;
  if (left < 0) {
    skip_columns = -left;
    w -= skip_columns;
    left = 0;
  }
  if (top < 0) {
    skip_rows = -top;
    h -= skip_rows;
    top = 0;
  }
  if (w <= 0 || h <= 0) return;

  const std::size_t src_stride = source.Stride();
  const std::size_t dest_stride = destination->Stride();
  const std::size_t row_bytes = static_cast<std::size_t>(3 * w);
  for (std::int64_t row = 0; row < h; ++row) {
    const std::uint8_t* from = source.pixels.get() +
                               static_cast<std::size_t>(src_h - 1 - skip_rows - row) * src_stride +
                               static_cast<std::size_t>(3 * skip_columns);
    std::uint8_t* to = destination->pixels.get() +
                       static_cast<std::size_t>(dest_h - 1 - top - row) * dest_stride +
                       static_cast<std::size_t>(3 * left);
    std::memcpy(to, from, row_bytes);
  }
}

}  // namespace vxr
