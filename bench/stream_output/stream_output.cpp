// stream_output: the real vxrdeck program playing a tape while it sends its program stream to a
// receiver on this machine, at 720x576 and 1920x1080. Prints the stream's own figures (pictures
// sent and dropped, encode time, tick to sent), what the receiver got (pictures, the sound's
// offset from the picture), what a transport stream analyser reads from the packets (the
// largest PCR interval, how far the presentation times are ahead of the clock, the largest
// 10 ms burst against the stream's rate), the program's CPU share, the control port's reply latency
// on both sides while streaming, and the CPU of the ffmpeg command-line tool coding the same tape
// with the same settings, when it is installed. Then the same with an SRT listener serving four
// callers at once: what each received and the program's CPU share; then RIST, paced by the deck,
// to a receiver made with FFmpeg's protocol: what its packets show and the program's CPU share.
//
//   stream_output [--seconds N] [--format pal|1080-25]...      (default 60 s, both formats)
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/status_bits.h"
#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/media/rist_receiver.h"
#include "testing/media/srt_test_caller.h"
#include "testing/media/stream_receiver.h"
#include "testing/media/test_tapes.h"
#include "testing/media/ts_reader.h"
#include "testing/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;
using vxr::testing::Bytes;

constexpr int kPollMs = 20;  // an edit controller's status pace

struct Format {
  std::string name;
  int width;
  int height;
  const char* bitrate;  // the deck's default for the size, for the ffmpeg tool
};

// User plus system CPU of a process so far, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

std::string LineAfter(const std::string& log, const std::string& start) {
  const std::size_t at = log.rfind(start);
  if (at == std::string::npos) return "(not reported)";
  return log.substr(at, log.find('\n', at) - at);
}

// The ffmpeg tool coding the tape as the deck does, in real time; its CPU per second.
double FfmpegCpuPerSecond(const std::string& tape, const Format& format, int seconds) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) return -1;
  const std::string url =
      "udp://127.0.0.1:" + std::to_string(vxr::FreeLoopbackUdpPort()) + "?pkt_size=1316";
  const std::string t = std::to_string(seconds);
  std::vector<std::string> args = {"ffmpeg",
                                   "-hide_banner",
                                   "-loglevel",
                                   "error",
                                   "-re",
                                   "-i",
                                   tape,
                                   "-t",
                                   t,
                                   "-c:v",
                                   "libx264",
                                   "-preset",
                                   "veryfast",
                                   "-tune",
                                   "zerolatency",
                                   "-g",
                                   "25",
                                   "-bf",
                                   "0",
                                   "-b:v",
                                   format.bitrate,
                                   "-maxrate",
                                   format.bitrate,
                                   "-bufsize",
                                   format.bitrate,
                                   "-pix_fmt",
                                   "yuv420p",
                                   "-c:a",
                                   "aac",
                                   "-b:a",
                                   "192k",
                                   "-ar",
                                   "48000",
                                   "-ac",
                                   "2",
                                   "-f",
                                   "mpegts",
                                   url};
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("ffmpeg", argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                     usage.ru_stime.tv_usec / 1e6;
  return wall > 0 ? cpu / wall : -1;
}

// What a transport stream analyser reads from the received datagrams (or messages).
void PrintPackets(const std::vector<vxr::TsDatagram>& datagrams) {
  const vxr::TsReport report = vxr::ReadTransportStream(datagrams);
  double rate = 0;
  for (double r : report.pcr_rates) rate += r / static_cast<double>(report.pcr_rates.size());
  const double burst_bits =
      static_cast<double>(vxr::LargestBurstBits(datagrams, std::chrono::milliseconds(10)));
  std::printf(
      "packets: %zu datagrams (%zu not 1316 bytes), %zu TS packets, %zu null, %zu continuity "
      "errors; rate %.3f Mb/s\n",
      report.datagrams, report.odd_datagrams, report.packets, report.null_packets,
      report.continuity_errors, rate / 1e6);
  std::printf(
      "PCR interval max %.1f ms; PTS ahead of PCR at a frame's first packet min %.1f median "
      "%.1f ms, at its last min %.1f ms; largest 10 ms burst %.0f kbit (%.2f x the rate's "
      "%.0f kbit)\n",
      Percentile(report.pcr_intervals_ms, 1.0), Percentile(report.pts_margins_ms, 0.0),
      Percentile(report.pts_margins_ms, 0.5), Percentile(report.pts_end_margins_ms, 0.0),
      burst_bits / 1000, rate > 0 ? burst_bits / (rate / 100) : 0.0, rate / 100 / 1000);
}

// The vxrdeck program with a test tape of the format (seconds of it and ten more, with tone
// bursts), controlled over a pty, sending its program to one output.
class StreamingDeck {
 public:
  // Makes the tape; false (said) when it cannot.
  bool MakeTape(const Format& format, int seconds) {
    vxr::TapeSpec spec;
    spec.width = format.width;
    spec.height = format.height;
    spec.frames = static_cast<std::uint32_t>((seconds + 10) * 25);
    spec.tone_bursts = true;
    std::string error;
    tape_ = vxr::testing::MakeTestTape(folder_, "reel.avi", spec, &error);
    if (tape_.empty()) std::printf("%s: no tape: %s\n", format.name.c_str(), error.c_str());
    return !tape_.empty();
  }
  // Starts the program and waits for its status; false (said) when it does not start.
  bool Start(const Format& format, const std::string& output) {
    deck_ = std::make_unique<vxr::testing::DeckProcess>(
        VXRDECK_PROGRAM, folder_.path(),
        std::map<std::string, std::string>{{"VXR_BOARD_FORMAT", format.name}});
    if (deck_->Start(
            {"--tape", tape_, "--port", pty_.SlavePath(), "--remote", "--output", output}) &&
        vxr::testing::WaitFor([&] { return line_.Status(1) == Bytes{0x00}; }, 30000)) {
      return true;
    }
    std::printf("%s: the deck did not start\n%s", format.name.c_str(), deck_->Log().c_str());
    return false;
  }
  // Plays for seconds, calling meanwhile over and over (or waiting), then ends the program: the
  // program's CPU over the play, in percent of one core.
  double PlayThenEnd(int seconds, const std::function<void()>& meanwhile = {}) {
    line_.Send({0x20, 0x01});  // play
    const double cpu_start = CpuSeconds(deck_->Pid());
    const auto start = Clock::now();
    if (meanwhile) {
      while (Clock::now() - start < std::chrono::seconds(seconds)) meanwhile();
    } else {
      std::this_thread::sleep_for(std::chrono::seconds(seconds));
    }
    const double cpu = CpuSeconds(deck_->Pid()) - cpu_start;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    deck_->Signal(SIGTERM);
    deck_->WaitForExit(10000);
    return 100 * cpu / wall;
  }
  const std::string& tape() const { return tape_; }
  const std::string& folder() const { return folder_.path(); }
  vxr::testing::ControllerLine& line() { return line_; }
  vxr::testing::DeckProcess& deck() { return *deck_; }

 private:
  vxr::testing::TempFolder folder_;
  std::string tape_;
  vxr::testing::PtyPair pty_;
  vxr::testing::ControllerLine line_{pty_};
  std::unique_ptr<vxr::testing::DeckProcess> deck_;
};

void Run(const Format& format, int seconds) {
  StreamingDeck streaming;
  if (!streaming.MakeTape(format, seconds)) return;
  const int port = vxr::FreeLoopbackUdpPort();
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  const int socket_fd = vxr::OpenUdpReceiver(port);
  if (socket_fd < 0) {
    std::printf("%s: cannot receive on port %d\n", format.name.c_str(), port);
    return;
  }
  if (!streaming.Start(format, url)) return;
  vxr::testing::ControllerLine& line = streaming.line();
  vxr::testing::DeckProcess& deck = streaming.deck();
  const std::string& tape = streaming.tape();
  // The packets as they come, read one by one, then decoded from a file as a receiver would.
  auto receiving = std::async(std::launch::async, [&] {
    return vxr::ReceiveDatagrams(socket_fd, std::numeric_limits<std::size_t>::max(),
                                 std::chrono::milliseconds(3000),
                                 std::chrono::seconds(seconds + 60));
  });
  std::vector<double> replies;
  const double cpu_percent = streaming.PlayThenEnd(seconds, [&] {
    double ms = 0;
    line.SendTimed({0x61, 0x20, 0x03}, &ms);
    replies.push_back(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  });
  const std::vector<vxr::TsDatagram> datagrams = receiving.get();
  close(socket_fd);
  const std::string capture = streaming.folder() + "/received.ts";
  {
    std::ofstream out(capture, std::ios::binary);
    for (const vxr::TsDatagram& datagram : datagrams) {
      out.write(reinterpret_cast<const char*>(datagram.bytes.data()),
                static_cast<std::streamsize>(datagram.bytes.size()));
    }
  }
  const vxr::ReceivedStream received = vxr::ReceiveStream(
      capture, 1000000, std::chrono::milliseconds(3000), std::chrono::seconds(seconds + 60));

  // The sound's offset from the picture: each tone burst against the picture of its frame.
  std::vector<double> offsets_ms;
  const auto& pictures = received.pictures;
  for (std::size_t i = 1; i + 1 < pictures.size(); ++i) {
    const auto& p = pictures[i];
    if (!p.strip || *p.strip % 25 != 0 || !pictures[i - 1].strip ||
        *pictures[i - 1].strip + 1 != *p.strip) {
      continue;
    }
    const auto expected =
        static_cast<std::int64_t>(std::llround((p.seconds - received.sound_start) * 48000));
    const std::int64_t onset = vxr::FindToneOnset(received.sound, expected - 2400, 0.05f);
    if (onset >= 0) offsets_ms.push_back((onset - expected) / 48.0);
  }
  double worst_offset = 0;
  for (double o : offsets_ms) worst_offset = std::max(worst_offset, std::fabs(o));

  const std::string log = deck.Log();
  std::printf("== %s %dx%d, %d s of play\n", format.name.c_str(), format.width, format.height,
              seconds);
  std::printf("stream: %s\n", LineAfter(log, "output udp").c_str());
  // An outage of the stream (a lost destination, a refused write) in the stream's own words.
  for (std::size_t at = log.find("Err Output"); at != std::string::npos;
       at = log.find("Err Output", at + 1)) {
    std::printf("  %s\n", log.substr(at, log.find('\n', at) - at).c_str());
  }
  std::printf(
      "received: %zu pictures, %.1f s of sound; A/V offset over %zu bursts: worst %.3f ms\n",
      pictures.size(), received.sound.size() / 48000.0, offsets_ms.size(), worst_offset);
  PrintPackets(datagrams);
  const double cpu_per_second = cpu_percent / 100;
  std::printf("deck CPU: %.1f %% of one core (%.2f s CPU per s of stream)\n", cpu_percent,
              cpu_per_second);
  std::printf("reply latency while streaming, controller ms: p50 %.3f  p99 %.3f  max %.3f\n",
              Percentile(replies, 0.5), Percentile(replies, 0.99), Percentile(replies, 1.0));
  std::printf("  on the deck: %s\n", LineAfter(log, "Receiver on").c_str());
  const double tool = FfmpegCpuPerSecond(tape, format, seconds);
  if (tool >= 0) {
    std::printf("ffmpeg tool, same tape and settings: %.2f s CPU per s (deck / tool = %.2f)\n",
                tool, tool > 0 ? cpu_per_second / tool : 0.0);
  } else {
    std::printf("ffmpeg tool: not installed, no comparison\n");
  }
}

// The deck as an SRT listener with callers receiving at once: the callers served, what each
// received (bytes, continuity errors) and the program's CPU share.
void RunSrtListener(const Format& format, int seconds, int caller_count) {
  StreamingDeck streaming;
  const int port = vxr::FreeLoopbackUdpPort();
  if (!streaming.MakeTape(format, seconds) ||
      !streaming.Start(format, "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener")) {
    return;
  }
  vxr::testing::DeckProcess& deck = streaming.deck();
  std::string error;
  std::vector<std::unique_ptr<vxr::CSrtTestCaller>> callers;
  for (int i = 0; i < caller_count; ++i) {
    auto caller = std::make_unique<vxr::CSrtTestCaller>();
    int reason = 0;
    // The listener binds with the program's first tick.
    if (!vxr::testing::WaitFor([&] { return caller->Connect(port, {}, &error, &reason); }, 30000)) {
      std::printf("SRT %s: caller %d could not connect: %s\n", format.name.c_str(), i,
                  error.c_str());
      return;
    }
    callers.push_back(std::move(caller));
  }
  const double cpu_percent = streaming.PlayThenEnd(seconds);
  double least_mb = std::numeric_limits<double>::max();
  std::size_t most_gaps = 0;
  for (auto& caller : callers) {
    caller->Close();
    const vxr::TsReport report = vxr::ReadTransportStream(caller->Messages());
    least_mb = std::min(least_mb, static_cast<double>(caller->ReceivedBytes()) / 1e6);
    most_gaps = std::max(most_gaps, report.continuity_errors);
  }
  std::printf("== SRT listener, %s, %d callers at once, %d s of play\n", format.name.c_str(),
              caller_count, seconds);
  std::printf("stream: %s\n", LineAfter(deck.Log(), "output srt").c_str());
  std::printf(
      "callers: each received at least %.1f MB, continuity errors at most %zu; deck CPU %.1f %% "
      "of one core\n",
      least_mb, most_gaps, cpu_percent);
}

// The deck sending RIST, paced by its own sender, to a receiver made with FFmpeg's protocol:
// what the packets show (the largest 10 ms burst above all) and the program's CPU share.
void RunRist(const Format& format, int seconds) {
  StreamingDeck streaming;
  if (!streaming.MakeTape(format, seconds)) return;
  const int port = vxr::FreeLoopbackUdpPort();
  std::promise<void> listening;
  auto listened = listening.get_future();
  auto receiving = std::async(std::launch::async, [&] {
    return vxr::ReceiveRist("rist://@127.0.0.1:" + std::to_string(port),
                            std::chrono::milliseconds(3000), std::chrono::seconds(seconds + 60),
                            &listening);
  });
  listened.wait();
  if (!streaming.Start(format, "rist://127.0.0.1:" + std::to_string(port))) return;
  vxr::testing::DeckProcess& deck = streaming.deck();
  const double cpu_percent = streaming.PlayThenEnd(seconds);
  const std::vector<vxr::TsDatagram> messages = receiving.get();
  std::printf("== RIST, %s, %d s of play\n", format.name.c_str(), seconds);
  std::printf("stream: %s\n", LineAfter(deck.Log(), "output rist").c_str());
  PrintPackets(messages);
  std::printf("deck CPU: %.1f %% of one core\n", cpu_percent);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 60;
  std::vector<Format> formats;
  const Format pal{"pal", 720, 576, "5M"};
  const Format hd{"1080-25", 1920, 1080, "12M"};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::max(5, std::atoi(argv[++i]));
    } else if (arg == "--format" && i + 1 < argc) {
      const std::string name = argv[++i];
      if (name == "pal")
        formats.push_back(pal);
      else if (name == "1080-25")
        formats.push_back(hd);
      else
        return std::fprintf(stderr, "stream_output: unknown format %s\n", name.c_str()), 2;
    } else {
      std::fprintf(stderr, "usage: stream_output [--seconds N] [--format pal|1080-25]...\n");
      return 2;
    }
  }
  if (formats.empty()) formats = {pal, hd};
  constexpr int kSrtCallers = 4;
  for (const Format& format : formats) Run(format, seconds);
  for (const Format& format : formats) RunSrtListener(format, seconds, kSrtCallers);
  for (const Format& format : formats) RunRist(format, seconds);
  return 0;
}
