#include "vboard/program/decoder_limits.h"

#include <algorithm>

namespace vxr {
namespace {

constexpr std::size_t kMegabyte = 1u << 20;
constexpr std::size_t kConvertedShare = 4;  // converted pictures get 1 / kConvertedShare

}  // namespace

DecoderLimits DecoderLimits::ForBudget(std::size_t megabytes, std::size_t read_ahead) {
  DecoderLimits limits;
  const std::size_t bytes = std::max<std::size_t>(megabytes, 1) * kMegabyte;
  limits.max_bytes = bytes / kConvertedShare;
  limits.max_kept_bytes = bytes - limits.max_bytes;
  limits.read_ahead = read_ahead;
  limits.max_pictures = std::max(limits.max_pictures, read_ahead + 1);
  return limits;
}

std::size_t DecoderLimits::KeptRoom(std::size_t picture_bytes) const {
  if (library_pictures == 0) return max_kept_bytes;
  const std::size_t library = picture_bytes > max_kept_bytes / library_pictures
                                  ? max_kept_bytes / 2
                                  : library_pictures * picture_bytes;
  return max_kept_bytes - std::min(library, max_kept_bytes / 2);
}

DecoderLimits DecoderLimits::WithBoardSettings(const BoardConfig& config) const {
  DecoderLimits limits = *this;
  const std::size_t ahead = config.read_ahead.value_or(read_ahead);
  if (config.decode_mb) {
    const DecoderLimits budget = ForBudget(*config.decode_mb, ahead);
    limits.max_bytes = budget.max_bytes;
    limits.max_kept_bytes = budget.max_kept_bytes;
  }
  limits.read_ahead = ahead;
  limits.library_pictures = kLibraryPictures + static_cast<std::size_t>(std::max(threads, 1));
  limits.max_pictures = std::max(limits.max_pictures, ahead + 1);
  return limits;
}

}  // namespace vxr
