// screen_output: the screen and sound outputs fed as the board's output clock feeds them, at
// 720x576 and 1920x1080, each for a number of seconds. A clock thread pushes a new program
// picture and the tick's sound at every output tick (it never waits on either sink); the
// user-interface thread takes and draws pictures full screen on the last screen; a device
// thread takes the sound every 10 ms, as a sound device below QAudioSink would: it keeps a
// buffer of one tick full, plays it at 48 kHz and reports its bytes free and processedUSecs
// through the sink's interface, so that the sound output estimates how far its sound is from
// the screen's picture and brings it there. Prints the pictures drawn per second against the
// output rate, the pictures not handed to the display within their tick, the tick-to-handover
// time, the sound queue's depth and underruns, and the estimated sound-against-picture offset.
//
//   screen_output [--seconds N] [--format pal|ntsc|1080-25|1080-29.97]... [--refresh-hz N]
//                                                         (default 60 s, pal and 1080-25)
// --refresh-hz adds one refresh of an N Hz screen to the picture's delay, as where OpenGL
// presents at the screen's next refresh (the offscreen platform and Xvfb have none).
// Runs on the offscreen platform (two screens) unless QT_QPA_PLATFORM says otherwise, e.g.
// QT_QPA_PLATFORM=xcb under Xvfb.
#include "sinks/qt/screen_output.h"

#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_name.h"
#include "sinks/qt/sound_output.h"
#include "testing/media/tape_picture.h"
#include "testing/offscreen_screens.h"
#include "vboard/program/sound_cadence.h"
#include "vboard/server/board_config.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTapeWidth = 320;  // the tape's picture in the middle of the output
constexpr int kTapeHeight = 240;
constexpr int kPictures = 50;  // distinct pictures, cycled so that every tick brings a new one
constexpr int kDeviceReadMs = 10;
constexpr double kMs = 1e6;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Output-sized pictures with a test-tape picture in the middle, as the board composes them.
std::vector<std::shared_ptr<const std::vector<std::uint32_t>>> MakePictures(
    const vxr::OutputFormat& format) {
  std::vector<std::shared_ptr<const std::vector<std::uint32_t>>> pictures;
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kTapeWidth) * kTapeHeight);
  for (int n = 0; n < kPictures; ++n) {
    vxr::DrawTapePicture(luma.data(), kTapeWidth, kTapeWidth, kTapeHeight,
                         static_cast<std::uint32_t>(n), format.TimecodeFps());
    auto pixels = std::make_shared<std::vector<std::uint32_t>>(
        static_cast<std::size_t>(format.width) * format.height, 0xff000000u);
    const int x0 = (format.width - kTapeWidth) / 2, y0 = (format.height - kTapeHeight) / 2;
    for (int y = 0; y < kTapeHeight; ++y) {
      for (int x = 0; x < kTapeWidth; ++x) {
        (*pixels)[static_cast<std::size_t>(y0 + y) * format.width + x0 + x] =
            0xff000000u | luma[static_cast<std::size_t>(y) * kTapeWidth + x] * 0x010101u;
      }
    }
    pictures.push_back(pixels);
  }
  return pictures;
}

void RunFormat(const vxr::OutputFormat& format, int seconds, double refresh_hz) {
  std::string error;
  // The board's clock in the program: the steady clock, which NowNs reads too.
  const auto board_clock = std::make_shared<vxr::CSteadyClock>();
  const std::shared_ptr<vxr::CScreenOutput> screen =
      vxr::CScreenOutput::Create(vxr::ScreenSettings{-1, true}, format, board_clock, &error);
  if (!screen) {
    std::fprintf(stderr, "screen_output: %s\n", error.c_str());
    return;
  }
  auto sound = std::make_shared<vxr::CSoundOutput>(format, board_clock);
  const std::int64_t refresh_us =
      refresh_hz > 0 ? static_cast<std::int64_t>(1e6 / refresh_hz) : std::int64_t{0};
  sound->SetPictureDelay([source = screen->PictureDelaySource(), refresh_us] {
    const std::int64_t delay = source();
    return delay < 0 ? delay : delay + refresh_us;
  });
  const auto pictures = MakePictures(format);
  const std::int64_t ticks = static_cast<std::int64_t>(seconds) * format.rate_num / format.rate_den;
  std::atomic<bool> done{false};
  std::atomic<std::int64_t> late_pushes{0};  // the clock thread itself behind its tick

  // The estimated offset, sampled once a second after the first two (sound late when > 0).
  std::vector<double> offsets_ms;
  std::thread device([&] {
    vxr::SetCurrentThreadName("bench device");
    const std::int64_t buffer_samples = sound->TickSamples();
    std::vector<std::int16_t> buffer(static_cast<std::size_t>(buffer_samples) *
                                     vxr::kProgramSoundChannels);
    const auto start = Clock::now();
    auto next = start;
    std::int64_t written = 0;
    int reads = 0;
    while (!done) {
      next += std::chrono::milliseconds(kDeviceReadMs);
      std::this_thread::sleep_until(next);
      const std::int64_t played = std::min<std::int64_t>(
          written,
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count() *
              vxr::kProgramSoundRate / 1'000'000);
      const int want = static_cast<int>(buffer_samples - (written - played));
      if (want > 0) {
        sound->Pull(buffer.data(), want);
        written += want;
      }
      constexpr std::int64_t kBytes = vxr::kProgramSoundChannels * sizeof(std::int16_t);
      sound->Sync({buffer_samples * kBytes, (buffer_samples - (written - played)) * kBytes,
                   played * 1'000'000 / vxr::kProgramSoundRate});
      if (++reads % (1000 / kDeviceReadMs) == 0 && reads > 2 * 1000 / kDeviceReadMs) {
        const vxr::CSoundOutput::Counts now = sound->counts();
        if (now.sync_measured) offsets_ms.push_back(now.offset_us / 1000.0);
      }
    }
  });
  std::thread clock([&] {
    vxr::SetCurrentThreadName("bench clock");
    const std::int64_t epoch = NowNs();
    for (std::int64_t tick = 0; tick < ticks; ++tick) {
      const std::int64_t at = epoch + tick * format.rate_den * 1'000'000'000 / format.rate_num;
      std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(at)));
      if (NowNs() - at > 1'000'000'000LL * format.rate_den / format.rate_num) ++late_pushes;
      auto frame = std::make_shared<vxr::ProgramFrame>();
      frame->tick = tick;
      frame->steady_ns = at;
      frame->tape_frame = tick;
      // Room for four fields of any int, so that no build's format check can call it cut short.
      char timecode[4 * 12];
      const int fps = format.TimecodeFps();
      std::snprintf(timecode, sizeof timecode, "%02d:%02d:%02d:%02d",
                    static_cast<int>(tick / fps / 3600), static_cast<int>(tick / fps / 60 % 60),
                    static_cast<int>(tick / fps % 60), static_cast<int>(tick % fps));
      frame->timecode = timecode;
      frame->width = format.width;
      frame->height = format.height;
      frame->pixels = pictures[static_cast<std::size_t>(tick % kPictures)];
      frame->sound.assign(static_cast<std::size_t>(
                              vxr::SoundSamplesInTick(tick, format.rate_num, format.rate_den)) *
                              vxr::kProgramSoundChannels,
                          0);
      screen->Push(frame);
      sound->Push(frame);
    }
    done = true;
  });

  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done) loop.quit();
  });
  poll.start(kDeviceReadMs);
  const auto started = Clock::now();
  loop.exec();
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  clock.join();
  device.join();
  QCoreApplication::processEvents();

  const vxr::CScreenOutput::Counts counts = screen->counts();
  const vxr::CLatencyRecord::Summary handover = screen->TickToHandover();
  const vxr::CSoundOutput::Counts audio = sound->counts();
  std::printf("%s %dx%d at %.3f/s on %s (%s), %.1f s\n", format.name, format.width, format.height,
              format.FramesPerSecond(), screen->Name().c_str(),
              screen->UsesOpenGl() ? "OpenGL" : "plain window", elapsed);
  std::printf("  ticks %lld, handed over %lld, drawn %lld = %.2f/s (output rate %.3f/s)\n",
              static_cast<long long>(counts.received), static_cast<long long>(counts.handed),
              static_cast<long long>(counts.presented), counts.presented / elapsed,
              format.FramesPerSecond());
  std::printf(
      "  not handed over within their tick: %lld (%lld late, %lld replaced by a newer "
      "one); clock thread behind its tick: %lld\n",
      static_cast<long long>(counts.late + counts.replaced), static_cast<long long>(counts.late),
      static_cast<long long>(counts.replaced), static_cast<long long>(late_pushes.load()));
  std::printf("  tick to handover: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
              handover.p50.count() / kMs, handover.p99.count() / kMs, handover.max.count() / kMs);
  std::printf(
      "  sound: %lld ticks, %lld samples in, %lld out, queue now %lld, at most %lld "
      "samples (%.1f ms), underruns %lld, skipped %lld samples\n",
      static_cast<long long>(audio.queue.ticks), static_cast<long long>(audio.queue.samples_in),
      static_cast<long long>(audio.queue.samples_out),
      static_cast<long long>(audio.queue.depth_samples),
      static_cast<long long>(audio.queue.max_depth_samples),
      audio.queue.max_depth_samples * 1000.0 / vxr::kProgramSoundRate,
      static_cast<long long>(audio.queue.underruns),
      static_cast<long long>(audio.queue.skipped_samples));
  double worst = 0.0, sum = 0.0;
  for (const double offset : offsets_ms) {
    sum += offset;
    if (std::abs(offset) > std::abs(worst)) worst = offset;
  }
  std::printf(
      "  sound against picture: sound %.1f ms after its tick (queue and device), picture %.1f "
      "ms; offset now %+.1f ms, mean %+.1f ms, worst %+.1f ms over %zu samples (one frame "
      "%.1f ms); skipped %lld times, held %lld times (%lld samples)\n",
      audio.sound_delay_us / 1000.0, audio.picture_delay_us / 1000.0, audio.offset_us / 1000.0,
      offsets_ms.empty() ? 0.0 : sum / static_cast<double>(offsets_ms.size()), worst,
      offsets_ms.size(), 1000.0 / format.FramesPerSecond(),
      static_cast<long long>(audio.sync_drops), static_cast<long long>(audio.sync_holds),
      static_cast<long long>(audio.queue.held_samples));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  double refresh_hz = 0;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--seconds" && i + 1 < argc) {
      seconds = std::max(1, std::atoi(argv[++i]));
    } else if (argument == "--refresh-hz" && i + 1 < argc) {
      refresh_hz = std::atof(argv[++i]);
    } else if (argument == "--format" && i + 1 < argc) {
      names.push_back(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: screen_output [--seconds N] [--format NAME]... [--refresh-hz N]\n");
      return 2;
    }
  }
  if (names.empty()) names = {"pal", "1080-25"};
  vxr::testing::TwoScreenApplication();
  const QList<QScreen*> screens = QGuiApplication::screens();
  std::printf("platform %s, %lld screen(s); the last is used\n",
              QGuiApplication::platformName().toStdString().c_str(),
              static_cast<long long>(screens.size()));
  for (const std::string& name : names) {
    vxr::OutputFormat format;
    if (!vxr::FindOutputFormat(name, &format)) {
      std::fprintf(stderr, "screen_output: unknown format %s\n", name.c_str());
      return 2;
    }
    RunFormat(format, seconds, refresh_hz);
  }
  return 0;
}
