#include "web/log_ring.h"

namespace vxr {

void CLogRing::Add(std::string_view text) {
  std::lock_guard lock(mutex_);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) {
      lines_.emplace_back(line.substr(0, kMaxLineBytes));
      while (lines_.size() > capacity_) lines_.pop_front();
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

std::vector<std::string> CLogRing::Lines() const {
  std::lock_guard lock(mutex_);
  return std::vector<std::string>(lines_.begin(), lines_.end());
}

}  // namespace vxr
