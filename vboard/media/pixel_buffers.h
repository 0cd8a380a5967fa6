#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vxr {

// Pixel buffers of pictures that were let go, kept for the next pictures of the same size (any
// thread). A fresh buffer costs a page fault every 4 KiB as it is first written (8 MiB at 1080:
// two thousand of them, milliseconds on a loaded or virtual machine), and a motion converts and
// composes a picture and lets one go every tick. kMaxSpares are kept at the most, and none
// after Release.
class CPixelBuffers {
 public:
  static constexpr std::size_t kMaxSpares = 2;

  // A buffer of exactly count pixels, its contents left from before: a spare one, else a new
  // one.
  static std::vector<std::uint32_t> Take(std::size_t count);
  // Keeps buffer as a spare; the oldest spare goes when there are kMaxSpares already.
  static void Give(std::vector<std::uint32_t> buffer);
  // A shared buffer of count pixels whose storage comes back as a spare when the last owner
  // lets it go.
  static std::shared_ptr<std::vector<std::uint32_t>> Shared(std::size_t count);
  // Frees the spares, for when no pictures are coming soon.
  static void Release();
  static std::size_t Spares();
};

}  // namespace vxr
