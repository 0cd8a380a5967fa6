// Measures the web page's thumbnail sink: a 1920x1080 program at 50 ticks a second, every tick
// a new picture with its sound, handed to the sink one after another on a stepped clock (each
// taken before the next, so none is dropped). The process's CPU time over the run, divided by
// the program time it covered, is the sink's share of a core (the feeding thread only pushes
// and waits). Prints that, the time a picture takes and the JPEG's size.
//
//   thumbnail [--seconds S]   (program seconds, default 20)

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "sinks/thumbnail/thumbnail_output.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kTicksPerSecond = 50;
constexpr std::int64_t kTickNs = 1'000'000'000 / kTicksPerSecond;
constexpr int kDefaultSeconds = 20;
constexpr int kPictures = 16;  // distinct pictures cycled through
constexpr int kWaitMs = 60000;
constexpr double kTargetPercent = 5.0;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A gradient with a bright box that moves with n: detail for the JPEG encoder to work on.
std::shared_ptr<const std::vector<std::uint32_t>> Picture(int n) {
  auto pixels =
      std::make_shared<std::vector<std::uint32_t>>(static_cast<std::size_t>(kWidth) * kHeight);
  const int box_x = (n * 97) % (kWidth - 200);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint32_t r = static_cast<std::uint32_t>(x * 255 / kWidth);
      std::uint32_t g = static_cast<std::uint32_t>(y * 255 / kHeight);
      std::uint32_t b = static_cast<std::uint32_t>(((x ^ y) + n * 8) & 0xFF);
      if (x >= box_x && x < box_x + 200 && y >= 400 && y < 600) r = g = b = 0xF0;
      (*pixels)[static_cast<std::size_t>(y) * kWidth + x] = 0xFF000000u | r << 16 | g << 8 | b;
    }
  }
  return pixels;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = kDefaultSeconds;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
  }
  std::vector<std::shared_ptr<const std::vector<std::uint32_t>>> pictures;
  for (int n = 0; n < kPictures; ++n) pictures.push_back(Picture(n));
  std::vector<std::int16_t> sound(
      static_cast<std::size_t>(vxr::kProgramSoundRate / kTicksPerSecond) *
      vxr::kProgramSoundChannels);
  for (std::size_t i = 0; i < sound.size(); ++i) {
    sound[i] = static_cast<std::int16_t>(8000.0 * std::sin(static_cast<double>(i) * 0.01));
  }

  vxr::CThumbnailOutput sink;
  const int ticks = seconds * kTicksPerSecond;
  const double cpu_start = CpuSeconds();
  for (int tick = 0; tick < ticks; ++tick) {
    auto frame = std::make_shared<vxr::ProgramFrame>();
    frame->tick = tick;
    frame->steady_ns = tick * kTickNs;
    frame->tape_frame = tick;
    frame->timecode = std::to_string(tick);
    frame->width = kWidth;
    frame->height = kHeight;
    frame->pixels = pictures[static_cast<std::size_t>(tick) % pictures.size()];
    frame->sound = sound;
    sink.Push(std::move(frame));
    if (!sink.WaitIdle(kWaitMs)) {
      std::fprintf(stderr, "thumbnail: the sink did not take tick %d\n", tick);
      return 1;
    }
  }
  const double cpu = CpuSeconds() - cpu_start;
  const vxr::ThumbnailPicture picture = sink.Picture();
  const vxr::ProgramSinkStats stats = sink.Stats();
  sink.Stop();
  const double percent = 100.0 * cpu / seconds;
  std::printf("thumbnail sink, %dx%d at %d ticks a second, %d program seconds\n", kWidth, kHeight,
              kTicksPerSecond, seconds);
  std::printf("  pictures: %lld (%.1f a second), %dx%d, last JPEG %zu bytes\n",
              static_cast<long long>(stats.sent), static_cast<double>(stats.sent) / seconds,
              picture.width, picture.height, picture.jpeg ? picture.jpeg->size() : 0);
  std::printf(
      "  CPU: %.3f s for %d s of program = %.2f %% of a core (target < %.0f %%), "
      "%.2f ms a picture\n",
      cpu, seconds, percent, kTargetPercent,
      stats.sent > 0 ? 1000.0 * cpu / static_cast<double>(stats.sent) : 0.0);
  std::printf("  %s\n", sink.Figures().c_str());
  return 0;
}
