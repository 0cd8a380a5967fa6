#include "vboard/media/picture_converter.h"

#include <new>
#include <utility>

#include "vboard/media/pixel_buffers.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace vxr {
namespace {

constexpr int kMaxSide = 16384;

bool Usable(const AVFrame* frame) {
  return frame != nullptr && frame->width >= 1 && frame->height >= 1 && frame->width <= kMaxSide &&
         frame->height <= kMaxSide && frame->format >= 0;
}

std::size_t BufferBytes(const AVFrame* frame) {
  std::size_t bytes = 0;
  for (const AVBufferRef* buffer : frame->buf) {
    if (buffer != nullptr) bytes += buffer->size;
  }
  for (int i = 0; i < frame->nb_extended_buf; ++i) bytes += frame->extended_buf[i]->size;
  return bytes;
}

struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FrameHandle = std::unique_ptr<AVFrame, FrameFreer>;

}  // namespace

std::shared_ptr<const CRawPicture> CRawPicture::Keep(const AVFrame* decoded, const Crop& part) {
  if (!Usable(decoded)) return nullptr;
  const bool whole =
      part.width <= 0 || part.height <= 0 || part == Crop{0, 0, decoded->width, decoded->height};
  if (!whole && (part.x < 0 || part.y < 0 || part.x + part.width > decoded->width ||
                 part.y + part.height > decoded->height)) {
    return nullptr;
  }
  FrameHandle kept(av_frame_alloc());
  if (!kept) return nullptr;
  if (whole) {
    if (av_frame_ref(kept.get(), decoded) < 0) return nullptr;
  } else {
    // A copy of the part only: a reference would hold the whole larger picture.
    FrameHandle cut(av_frame_alloc());
    if (!cut || av_frame_ref(cut.get(), decoded) < 0) return nullptr;
    cut->crop_left = static_cast<std::size_t>(part.x);
    cut->crop_top = static_cast<std::size_t>(part.y);
    cut->crop_right = static_cast<std::size_t>(decoded->width - part.x - part.width);
    cut->crop_bottom = static_cast<std::size_t>(decoded->height - part.y - part.height);
    if (av_frame_apply_cropping(cut.get(), AV_FRAME_CROP_UNALIGNED) < 0 ||
        cut->width != part.width || cut->height != part.height) {
      return nullptr;
    }
    kept->format = cut->format;
    kept->width = cut->width;
    kept->height = cut->height;
    if (av_frame_get_buffer(kept.get(), 0) < 0 || av_frame_copy(kept.get(), cut.get()) < 0 ||
        av_frame_copy_props(kept.get(), cut.get()) < 0) {
      return nullptr;
    }
  }
  std::shared_ptr<CRawPicture> raw(new (std::nothrow) CRawPicture());
  if (!raw) return nullptr;
  raw->part_ = whole ? Crop{0, 0, decoded->width, decoded->height} : part;
  raw->material_width_ = decoded->width;
  raw->material_height_ = decoded->height;
  raw->bytes_ = BufferBytes(kept.get());
  raw->frame_ = kept.release();
  return raw;
}

CRawPicture::~CRawPicture() {
  av_frame_free(&frame_);
  alive_.fetch_sub(1, std::memory_order_relaxed);
}

CPictureConverter::~CPictureConverter() { sws_freeContext(scaler_); }

std::shared_ptr<const Picture> CPictureConverter::Convert(const CRawPicture& raw) {
  return Convert(raw.frame(), raw.part().x, raw.part().y, raw.material_width(),
                 raw.material_height());
}

std::shared_ptr<const Picture> CPictureConverter::Convert(const AVFrame* frame, int x, int y,
                                                          int material_width, int material_height) {
  if (!Usable(frame)) return nullptr;
  scaler_ = sws_getCachedContext(
      scaler_, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
      frame->height, AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (scaler_ == nullptr) return nullptr;
  const std::size_t count = static_cast<std::size_t>(frame->width) * frame->height;
  std::shared_ptr<Picture> converted(new (std::nothrow) Picture(), [](Picture* picture) {
    if (!picture->pixels.empty()) CPixelBuffers::Give(std::move(picture->pixels));
    delete picture;
  });
  if (!converted) return nullptr;
  converted->pixels = CPixelBuffers::Take(count);
  converted->width = frame->width;
  converted->height = frame->height;
  converted->x = x;
  converted->y = y;
  converted->material_width = material_width;
  converted->material_height = material_height;
  std::uint8_t* planes[4] = {reinterpret_cast<std::uint8_t*>(converted->pixels.data()), nullptr,
                             nullptr, nullptr};
  int strides[4] = {frame->width * 4, 0, 0, 0};
  if (sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, planes, strides) !=
      frame->height) {
    return nullptr;
  }
  // Pictures without alpha may leave the top byte as it was; the layout wants it full.
  for (std::uint32_t& pixel : converted->pixels) pixel |= 0xff000000u;
  return converted;
}

}  // namespace vxr
