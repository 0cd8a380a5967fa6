#pragma once

#include <cstdint>
#include <vector>

#include "vboard/media/movie_decoder.h"
#include "vboard/server/board_config.h"
#include "vboard/server/board_state.h"
#include "vboard/server/timeline.h"

namespace vxr {

// Where material sits on the output: output pixel (ox, oy) shows material pixel (x + ox, y + oy);
// output pixels beyond the material stay black.
struct Placement {
  int output_width = 0;
  int output_height = 0;
  int x = 0;
  int y = 0;
  bool operator==(const Placement&) const = default;
};

// How the board frames material, whatever its size: the board window the player set (routed
// into the output by bit 1 of the routing property), else the timeline's source rectangle,
// else the output-sized window centred on the material.
struct Framing {
  int output_width = 0;
  int output_height = 0;
  bool centred = true;
  int x = 0;  // the window's origin in the material, when not centred
  int y = 0;

  Placement Place(int width, int height) const;
  // The part of width x height material the output shows: at most output-sized.
  Crop VisiblePart(int width, int height) const;
  // A picture's bytes at the most (RGB32) for material of at most width x height.
  std::size_t MaxPictureBytes(int width, int height) const;
  bool operator==(const Framing&) const = default;
};

Framing FramingOf(const BoardResources& resources, const CTimeline::Rect& source,
                  const OutputFormat& format);

// FramingOf(...).Place(width, height): larger material is thus cut to the centred window,
// smaller material is centred on black.
Placement PlaceMaterial(const BoardResources& resources, const CTimeline::Rect& source,
                        const OutputFormat& format, int width, int height);

// Whether a picture holds every pixel of its material that the framing shows.
bool HoldsVisiblePart(const Picture& picture, const Framing& framing);

// The output picture: material placed on black, output_width x output_height pixels in the
// layout of Picture. A null material gives black. A picture cut from its material (Picture::x,
// y) shows where that part of the material lies; the rest is black.
void ComposeOutput(const Picture* material, const Placement& placement,
                   std::vector<std::uint32_t>* output);
// Whether ComposeOutput would give the picture's own pixels: it fills the output exactly, so
// that the output can share them instead of copying.
bool FillsOutput(const Picture& material, const Placement& placement);

}  // namespace vxr
