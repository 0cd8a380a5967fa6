#include "vboard/media/pixel_buffers.h"

#include <mutex>
#include <new>
#include <utility>

namespace vxr {
namespace {

struct SparePool {
  std::mutex mutex;                                 // guards buffers
  std::vector<std::vector<std::uint32_t>> buffers;  // oldest first
};

SparePool& TheSpares() {
  static SparePool* const spares = new SparePool();  // outlives every picture, even at exit
  return *spares;
}

}  // namespace

std::vector<std::uint32_t> CPixelBuffers::Take(std::size_t count) {
  SparePool& spares = TheSpares();
  {
    std::lock_guard lock(spares.mutex);
    for (auto it = spares.buffers.begin(); it != spares.buffers.end(); ++it) {
      if (it->size() == count) {
        std::vector<std::uint32_t> buffer = std::move(*it);
        spares.buffers.erase(it);
        return buffer;
      }
    }
  }
  return std::vector<std::uint32_t>(count);
}

void CPixelBuffers::Give(std::vector<std::uint32_t> buffer) {
  if (buffer.empty()) return;
  std::vector<std::uint32_t> oldest;  // freed outside the lock
  SparePool& spares = TheSpares();
  std::lock_guard lock(spares.mutex);
  if (spares.buffers.size() >= kMaxSpares) {
    oldest = std::move(spares.buffers.front());
    spares.buffers.erase(spares.buffers.begin());
  }
  spares.buffers.push_back(std::move(buffer));
}

std::shared_ptr<std::vector<std::uint32_t>> CPixelBuffers::Shared(std::size_t count) {
  auto* buffer = new std::vector<std::uint32_t>(Take(count));
  return std::shared_ptr<std::vector<std::uint32_t>>(buffer, [](std::vector<std::uint32_t>* p) {
    Give(std::move(*p));
    delete p;
  });
}

void CPixelBuffers::Release() {
  std::vector<std::vector<std::uint32_t>> buffers;  // freed outside the lock
  SparePool& spares = TheSpares();
  std::lock_guard lock(spares.mutex);
  buffers.swap(spares.buffers);
}

std::size_t CPixelBuffers::Spares() {
  SparePool& spares = TheSpares();
  std::lock_guard lock(spares.mutex);
  return spares.buffers.size();
}

}  // namespace vxr
