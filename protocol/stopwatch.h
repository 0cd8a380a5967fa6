#pragma once

#include <chrono>

namespace vxr {

// Elapsed time since construction on the steady clock: the engine's clock for command time
// stamps and speed play.
class CStopwatch {
 public:
  CStopwatch();
  virtual ~CStopwatch() = default;

  double ElapsedSeconds() const;
  double ElapsedMilliseconds() const;

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace vxr
