#include "vboard/program/output_motion.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vxr {
namespace {

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

}  // namespace

OutputMotion OutputMotion::Measured(const std::deque<std::int64_t>& seen) {
  OutputMotion motion;
  if (seen.size() < 2) return motion;
  std::vector<double> steps;
  for (std::size_t i = 1; i < seen.size(); ++i) {
    steps.push_back(static_cast<double>(seen[i] - seen[i - 1]));
  }
  motion.pace = Median(steps);
  motion.still = seen.size() > kPaceTicks && std::all_of(seen.begin(), seen.end(), [&](auto frame) {
                   return frame == seen.front();
                 });
  motion.winding = seen.size() > kPaceTicks / 2 && std::fabs(motion.pace) >= kKeyFramePace;
  return motion;
}

OutputMotion OutputMotion::Read(const CTimeline::Outlook& outlook, const OutputMotion& measured) {
  if (!outlook.advancing.has_value()) return measured;
  OutputMotion motion;
  motion.commanded = true;
  if (!*outlook.advancing) {
    motion.still = true;
    return motion;
  }
  std::vector<double> steps;
  std::int64_t before = outlook.on_output.frame;
  for (const CTimeline::TapePicture& picture : outlook.next) {
    if (picture.tape != outlook.on_output.tape || before < 0 || picture.frame < 0) break;
    steps.push_back(static_cast<double>(picture.frame - before));
    before = picture.frame;
  }
  if (steps.empty()) return measured;
  motion.pace = Median(steps);
  const auto moving = std::count_if(steps.begin(), steps.end(), [](double s) { return s != 0; });
  if (moving == 0) {
    motion.still = true;
    return motion;
  }
  if (motion.pace == 0.0) {
    // Slow motion: some ticks move, some hold.
    double sum = 0.0;
    for (const double step : steps) sum += step;
    motion.pace = sum / static_cast<double>(steps.size());
    if (measured.pace != 0.0 && (measured.pace > 0) == (motion.pace > 0)) {
      motion.pace = measured.pace;
    }
  }
  motion.winding = std::fabs(motion.pace) >= kKeyFramePace;
  return motion;
}

}  // namespace vxr
