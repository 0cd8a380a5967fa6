#include "vboard/program/placement.h"

#include <algorithm>

namespace vxr {
namespace {

constexpr std::int32_t kRoutingWindowBit = 0x02;  // the board window feeds the output

}  // namespace

Placement Framing::Place(int width, int height) const {
  Placement placement{output_width, output_height, x, y};
  if (centred) {
    placement.x = (width - output_width) / 2;
    placement.y = (height - output_height) / 2;
  }
  return placement;
}

Crop Framing::VisiblePart(int width, int height) const {
  const Placement placement = Place(width, height);
  // In 64 bits: window origins come from the player and may be anything.
  const std::int64_t x0 = std::clamp<std::int64_t>(placement.x, 0, width);
  const std::int64_t y0 = std::clamp<std::int64_t>(placement.y, 0, height);
  const std::int64_t x1 =
      std::clamp<std::int64_t>(std::int64_t{placement.x} + output_width, 0, width);
  const std::int64_t y1 =
      std::clamp<std::int64_t>(std::int64_t{placement.y} + output_height, 0, height);
  if (x1 <= x0 || y1 <= y0) return Crop{0, 0, 0, 0};
  return Crop{static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
              static_cast<int>(y1 - y0)};
}

std::size_t Framing::MaxPictureBytes(int width, int height) const {
  return static_cast<std::size_t>(std::clamp(width, 1, std::max(output_width, 1))) *
         static_cast<std::size_t>(std::clamp(height, 1, std::max(output_height, 1))) *
         sizeof(std::uint32_t);
}

Framing FramingOf(const BoardResources& resources, const CTimeline::Rect& source,
                  const OutputFormat& format) {
  Framing framing;
  framing.output_width = format.width;
  framing.output_height = format.height;
  const auto routing = resources.properties.find(kPropertyRouting);
  const bool window = resources.acquired.count(kResourceWindow) != 0 && resources.rect.width > 0 &&
                      routing != resources.properties.end() &&
                      (routing->second & kRoutingWindowBit) != 0;
  if (window) {
    framing.centred = false;
    framing.x = resources.rect.x;
    framing.y = resources.rect.y;
  } else if (source.width > 0 && source.height > 0) {
    framing.centred = false;
    framing.x = source.x;
    framing.y = source.y;
  }
  return framing;
}

Placement PlaceMaterial(const BoardResources& resources, const CTimeline::Rect& source,
                        const OutputFormat& format, int width, int height) {
  return FramingOf(resources, source, format).Place(width, height);
}

bool HoldsVisiblePart(const Picture& picture, const Framing& framing) {
  const Crop need = framing.VisiblePart(picture.MaterialWidth(), picture.MaterialHeight());
  if (need.width <= 0 || need.height <= 0) return true;
  return picture.x <= need.x && picture.y <= need.y &&
         std::int64_t{picture.x} + picture.width >= std::int64_t{need.x} + need.width &&
         std::int64_t{picture.y} + picture.height >= std::int64_t{need.y} + need.height;
}

void ComposeOutput(const Picture* material, const Placement& placement,
                   std::vector<std::uint32_t>* output) {
  const int width = std::max(placement.output_width, 0);
  const int height = std::max(placement.output_height, 0);
  output->assign(static_cast<std::size_t>(width) * height, 0xff000000u);
  if (material == nullptr || material->width < 1 || material->height < 1 ||
      material->pixels.size() <
          static_cast<std::size_t>(material->width) * static_cast<std::size_t>(material->height)) {
    return;
  }
  // Output pixel (ox, oy) shows picture pixel (px + ox, py + oy), in 64 bits: offsets come from
  // the player and may be anything.
  const std::int64_t px = std::int64_t{placement.x} - material->x;
  const std::int64_t py = std::int64_t{placement.y} - material->y;
  const std::int64_t x0 = std::max<std::int64_t>(0, -px);
  const std::int64_t x1 = std::min<std::int64_t>(width, std::int64_t{material->width} - px);
  const std::int64_t y0 = std::max<std::int64_t>(0, -py);
  const std::int64_t y1 = std::min<std::int64_t>(height, std::int64_t{material->height} - py);
  if (x1 <= x0 || y1 <= y0) return;
  for (std::int64_t y = y0; y < y1; ++y) {
    const std::uint32_t* from = material->pixels.data() + (y + py) * material->width + (x0 + px);
    std::copy(from, from + (x1 - x0), output->data() + y * width + x0);
  }
}

bool FillsOutput(const Picture& material, const Placement& placement) {
  return material.width == placement.output_width && material.height == placement.output_height &&
         material.x == placement.x && material.y == placement.y &&
         material.pixels.size() == static_cast<std::size_t>(std::max(material.width, 0)) *
                                       static_cast<std::size_t>(std::max(material.height, 0));
}

}  // namespace vxr
