#include "protocol/stopwatch.h"

namespace vxr {

CStopwatch::CStopwatch() : start_(std::chrono::steady_clock::now()) {}

double CStopwatch::ElapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

double CStopwatch::ElapsedMilliseconds() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
      .count();
}

}  // namespace vxr
