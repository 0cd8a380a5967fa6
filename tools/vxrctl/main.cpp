// vxrctl: a command-line edit controller. Sends named commands of the serial VTR control
// protocol to a deck and prints each reply decoded.

#include <getopt.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools/vxrctl/controller_frames.h"
#include "tools/vxrctl/edit_controller.h"

namespace {

using vxr::vxrctl::Bytes;
using vxr::vxrctl::CEditController;
using vxr::vxrctl::ReplyKind;
using vxr::vxrctl::Request;

constexpr int kExitReply = 0;
constexpr int kExitNak = 1;
constexpr int kExitNoReply = 2;
constexpr int kExitUsage = 3;
constexpr int kExitPort = 4;
constexpr int kWatchPeriodMs = 20;

constexpr const char* kHelp =
    R"(vxrctl - a command-line edit controller for the serial VTR control protocol

Usage: vxrctl [OPTIONS] COMMAND [ARGUMENTS]

Sends one command to a deck and prints its reply decoded, or watches the deck.

Options:
  -p, --port NAME     the controller's port: COM1 to COM256 (/dev/ttyS0 to /dev/ttyS255),
                      a device path such as /dev/ttyUSB0 or /dev/pts/7, or a name under /dev/.
                      Default: the VXRCTL_PORT environment variable.
  -t, --timeout MS    how long to wait for each reply, in milliseconds (default 200).
  -v, --verbose       also print the frames sent and received, in hexadecimal.
  -h, --help          print this text.

Commands:
  devtype               device type request
  play, stop, ff, rew, eject
                        the transport commands
  jog SPEED             jog at SPEED times play speed; a minus sign runs in reverse
                        (jog 1, jog -0.5, jog 0 for still)
  shuttle SPEED         shuttle likewise (shuttle +10, shuttle -2.5)
  cue HH:MM:SS:FF       cue up with data (hours 0 to 39, frames 0 to 29)
  status [START COUNT]  status sense: COUNT bytes (0 to 15) from byte START (default 0 9);
                        prints the bytes and the names of the bits that are set
  time [SELECTOR]       current time sense; SELECTOR is one hex byte (default 01, LTC);
                        prints HH:MM:SS:FF and whether the time is locked
  preset N              preset value (0 to 0x3B for the deck)
  timer-mode N          timer mode (0 or 1 for the deck)
  raw HEX...            any frame, as hexadecimal bytes; the checksum is added when the
                        frame lacks exactly that byte, else the bytes go out as written
  watch [COUNT]         poll status (bytes 0 to 8) and LTC time every 20 ms, as an edit
                        controller does, and print one line each time either changes;
                        COUNT polls, or until interrupted

Numbers (START, COUNT, N) are decimal, or hexadecimal with 0x; a leading zero is no octal
prefix (preset 010 is ten).

Replies are printed as: ACK; NAK XX with its reasons; device type; status bits by name;
timecode with its lock state; user bits; time data not available.

Exit status: 0 a reply (ACK or data), 1 NAK, 2 no reply or a malformed reply,
3 a usage error, 4 the port cannot be opened.

Example with a pseudo-terminal pair:
  socat pty,raw,echo=0,link=/tmp/vxr-deck pty,raw,echo=0,link=/tmp/vxr-ctl &
  (the deck serves /tmp/vxr-deck)
  vxrctl -p /tmp/vxr-ctl status
  vxrctl -p /tmp/vxr-ctl cue 00:00:10:00
  vxrctl -p /tmp/vxr-ctl watch
)";

std::atomic<bool> interrupted{false};

void OnSignal(int) { interrupted = true; }

int ExitCodeFor(ReplyKind kind) {
  switch (kind) {
    case ReplyKind::kAck:
    case ReplyKind::kData:
      return kExitReply;
    case ReplyKind::kNak:
      return kExitNak;
    case ReplyKind::kMalformed:
      return kExitNoReply;
  }
  return kExitNoReply;
}

// Sends one request and returns the decoded reply; prints the raw frames when verbose.
vxr::vxrctl::ReplyText Exchange(CEditController& controller, const Request& request, int timeout_ms,
                                bool verbose) {
  Bytes reply;
  if (verbose) std::printf("> %s\n", vxr::vxrctl::Hex(request.frame).c_str());
  if (!controller.Transact(request.frame, timeout_ms, &reply)) {
    return {ReplyKind::kMalformed, "the frame could not be written"};
  }
  if (verbose && !reply.empty()) std::printf("< %s\n", vxr::vxrctl::Hex(reply).c_str());
  return vxr::vxrctl::DescribeReply(request, reply);
}

int Watch(CEditController& controller, long count, int timeout_ms, bool verbose) {
  Request status;
  Request time;
  std::string error;
  vxr::vxrctl::BuildRequest({"status", "0", "9"}, &status, &error);
  vxr::vxrctl::BuildRequest({"time"}, &time, &error);

  const auto start = std::chrono::steady_clock::now();
  auto next = start;
  std::string last;
  for (long poll = 0; (count < 0 || poll < count) && !interrupted.load(); ++poll) {
    const auto time_reply = Exchange(controller, time, timeout_ms, verbose);
    const auto status_reply = Exchange(controller, status, timeout_ms, verbose);
    const std::string line = time_reply.text + " | " + status_reply.text;
    if (line != last) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("%9.3f  %s\n", seconds, line.c_str());
      std::fflush(stdout);
      last = line;
    }
    next += std::chrono::milliseconds(kWatchPeriodMs);
    std::this_thread::sleep_until(next);
  }
  return kExitReply;
}

}  // namespace

int main(int argc, char** argv) {
  const char* port = std::getenv("VXRCTL_PORT");
  int timeout_ms = 200;
  bool verbose = false;

  static const option kOptions[] = {{"port", required_argument, nullptr, 'p'},
                                    {"timeout", required_argument, nullptr, 't'},
                                    {"verbose", no_argument, nullptr, 'v'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  // '+' stops at the command, so "jog -0.5" keeps its argument.
  for (int c; (c = getopt_long(argc, argv, "+p:t:vh", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'p':
        port = optarg;
        break;
      case 't': {
        char* end = nullptr;
        const long value = std::strtol(optarg, &end, 10);
        if (*end != '\0' || value < 1 || value > 60000) {
          std::fprintf(stderr, "vxrctl: --timeout takes 1 to 60000 milliseconds\n");
          return kExitUsage;
        }
        timeout_ms = static_cast<int>(value);
        break;
      }
      case 'v':
        verbose = true;
        break;
      case 'h':
        std::fputs(kHelp, stdout);
        return kExitReply;
      default:
        std::fprintf(stderr, "Try 'vxrctl --help'.\n");
        return kExitUsage;
    }
  }
  const std::vector<std::string> words(argv + optind, argv + argc);
  if (words.empty()) {
    std::fprintf(stderr, "vxrctl: no command given. Try 'vxrctl --help'.\n");
    return kExitUsage;
  }

  long watch_count = -1;
  Request request;
  if (words[0] == "watch") {
    char* end = nullptr;
    if (words.size() > 2 ||
        (words.size() == 2 &&
         ((watch_count = std::strtol(words[1].c_str(), &end, 10)) < 1 || *end != '\0'))) {
      std::fprintf(stderr, "vxrctl: watch takes no arguments or a COUNT of polls\n");
      return kExitUsage;
    }
  } else {
    std::string error;
    if (!vxr::vxrctl::BuildRequest(words, &request, &error)) {
      std::fprintf(stderr, "vxrctl: %s. Try 'vxrctl --help'.\n", error.c_str());
      return kExitUsage;
    }
  }
  if (port == nullptr || *port == '\0') {
    std::fprintf(stderr, "vxrctl: no port given: use --port NAME or set VXRCTL_PORT\n");
    return kExitUsage;
  }

  CEditController controller;
  const std::uint32_t error = controller.Open(port);
  if (error != 0) {
    std::fprintf(stderr, "vxrctl: cannot open %s (%s): Windows error %u\n", port,
                 vxr::CSerialLink::DevicePath(port).c_str(), static_cast<unsigned>(error));
    return kExitPort;
  }

  if (words[0] == "watch") {
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    return Watch(controller, watch_count, timeout_ms, verbose);
  }
  const auto reply = Exchange(controller, request, timeout_ms, verbose);
  std::printf("%s\n", reply.text.c_str());
  return ExitCodeFor(reply.kind);
}
