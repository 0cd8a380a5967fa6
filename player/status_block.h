#pragma once

#include <cstdint>
#include <mutex>

namespace vxr {

// The deck's 16 status bytes as the player keeps them. Every change and every copy runs under
// StatusLock, so a reader always sees a block that one group of changes left whole. The lock is
// never held while waiting, and nothing that takes another lock runs under it.
class CStatusBlock {
 public:
  static constexpr unsigned kBytes = 16;

  // Runs change(bytes) under the lock; it returns what change returns.
  template <typename Changer>
  auto Change(Changer&& change) {
    std::lock_guard lock(StatusLock);
    return change(m_bytes);
  }
  // Runs read(bytes) under the lock, for a consistent look.
  template <typename Reader>
  auto Read(Reader&& read) const {
    std::lock_guard lock(StatusLock);
    return read(static_cast<const std::uint8_t*>(m_bytes));
  }
  // Copies count bytes from byte start to destination after running refresh(bytes) under the
  // same lock. False, with nothing copied, when the range is not inside the block; the check
  // cannot wrap whatever count is.
  template <typename Refresh>
  bool Copy(std::uint8_t* destination, unsigned start, unsigned count, Refresh&& refresh) {
    if (!InRange(start, count) || destination == nullptr) return false;
    std::lock_guard lock(StatusLock);
    refresh(m_bytes);
    CopyOut(destination, start, count);
    return true;
  }

  static bool InRange(unsigned start, unsigned count) {
    return start < kBytes && count != 0 && count <= kBytes - start;
  }

 private:
  void CopyOut(std::uint8_t* destination, unsigned start, unsigned count) const;

  mutable std::mutex StatusLock;  // guards m_bytes
  std::uint8_t m_bytes[kBytes] = {};
};

}  // namespace vxr
