#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vxr {

// The newest lines of the deck's log, for the page: bounded, any thread adds and reads.
class CLogRing {
 public:
  static constexpr std::size_t kDefaultLines = 50;
  static constexpr std::size_t kMaxLineBytes = 1024;

  explicit CLogRing(std::size_t capacity = kDefaultLines) : capacity_(capacity) {}

  // One line (or several, split at line breaks); a longer one is cut.
  void Add(std::string_view text);
  // Oldest first.
  std::vector<std::string> Lines() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;  // guards lines_
  std::deque<std::string> lines_;
};

}  // namespace vxr
