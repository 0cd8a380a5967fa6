#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "vboard/media/movie_decoder.h"

struct AVFrame;
struct SwsContext;

namespace vxr {

// A decoded picture kept as the decoder gave it (its own pixel format, a third to a half of the
// bytes of a converted picture for most material), cut to the part the output shows. Pictures
// decoded on the way to another are kept so, and converted only when they are about to be shown.
class CRawPicture {
 public:
  // Keeps part of decoded (all of it when part is empty or the whole picture): a reference to
  // the decoder's buffer when all of it is kept, else a copy of the part. Null when out of memory
  // or the library cannot cut the part.
  static std::shared_ptr<const CRawPicture> Keep(const AVFrame* decoded, const Crop& part);
  ~CRawPicture();
  CRawPicture(const CRawPicture&) = delete;
  CRawPicture& operator=(const CRawPicture&) = delete;

  const AVFrame* frame() const { return frame_; }
  // Where the kept part lies in the material, and the material's size.
  const Crop& part() const { return part_; }
  int material_width() const { return material_width_; }
  int material_height() const { return material_height_; }
  // The bytes the kept picture holds.
  std::size_t Bytes() const { return bytes_; }
  // Kept pictures alive now in the process, each holding a decoder's buffer or a copy (tests
  // and the benchmark).
  static std::int64_t Alive() { return alive_.load(std::memory_order_relaxed); }

 private:
  CRawPicture() { alive_.fetch_add(1, std::memory_order_relaxed); }

  static inline std::atomic<std::int64_t> alive_{0};

  AVFrame* frame_ = nullptr;
  Crop part_;
  int material_width_ = 0;
  int material_height_ = 0;
  std::size_t bytes_ = 0;
};

// Converts decoded pictures to Picture (0xffRRGGBB). Keeps its scaler between calls: one owner
// thread.
class CPictureConverter {
 public:
  CPictureConverter() = default;
  ~CPictureConverter();
  CPictureConverter(const CPictureConverter&) = delete;
  CPictureConverter& operator=(const CPictureConverter&) = delete;

  // frame is the part of material_width x material_height material that starts at (x, y).
  // Null for an unusable picture or when out of memory.
  std::shared_ptr<const Picture> Convert(const AVFrame* frame, int x, int y, int material_width,
                                         int material_height);
  std::shared_ptr<const Picture> Convert(const CRawPicture& raw);

 private:
  SwsContext* scaler_ = nullptr;
};

}  // namespace vxr
