// Measures what open pages of the web server cost the serial controller: the deck's reply
// latency over a pseudo-terminal (last byte written to last byte read, and the deck's own share
// as its receiver measured it), paced like an edit controller, first with no page open and then
// with N pages on the event stream, each sent the deck's state every time it changes (here on
// every look, as while the tape plays). Prints p50, p99 and max, and the events the pages got.

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/percentile.h"
#include "deck/vtr_deck.h"
#include "platform/diagnostics.h"
#include "platform/thread_name.h"
#include "protocol/control_port.h"
#include "protocol/frame.h"
#include "testing/fake_deck_player.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"
#include "web/web_server.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using vxr::testing::PtyPair;
using Bytes = PtyPair::Bytes;
using Clock = std::chrono::steady_clock;
using vxr::bench::Percentile;

constexpr int kDefaultFrames = 1000;
constexpr int kDefaultPages = 20;
constexpr int kPeriodMs = 20;
constexpr int kReplyTimeoutMs = 1000;

// The deck as the pages see it: its live status, and a frame that moves on every look.
class BenchDeck : public vxr::IWebDeck {
 public:
  explicit BenchDeck(vxr::CVtrDeck& deck) : deck_(deck) {}
  vxr::WebDeckState State() override {
    vxr::WebDeckState state;
    state.has_player = true;
    std::uint32_t frame = 0;
    deck_.ReadLive(state.status.data(), &frame);
    state.frame = looks_.fetch_add(1);
    state.frame_count = 100000;
    state.tape_name = "bench.avi";
    return state;
  }
  std::vector<vxr::WebTape> Library() override { return {}; }
  vxr::WebMetrics Metrics() override { return {}; }
  std::vector<std::string> LogLines() override { return {}; }
  void Submit(const vxr::WebAction&, std::function<void(vxr::WebResult)> done) override {
    done({200, "done"});
  }

 private:
  vxr::CVtrDeck& deck_;
  std::atomic<std::uint32_t> looks_{0};
};

// N pages on the event stream, read on a thread of their own.
class Pages {
 public:
  Pages(int port, int count) {
    for (int i = 0; i < count; ++i) {
      auto socket = std::make_unique<tcp::socket>(ioc_);
      socket->connect(
          tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)));
      net::write(*socket,
                 net::buffer(std::string("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
      sockets_.push_back(std::move(socket));
      buffers_.emplace_back();
    }
    for (std::size_t i = 0; i < sockets_.size(); ++i) Read(i);
    thread_ = std::thread([this] {
      vxr::SetCurrentThreadName("bench pages");
      ioc_.run();
    });
  }
  ~Pages() {
    net::post(ioc_, [this] {
      for (auto& socket : sockets_) socket->close();
    });
    thread_.join();
  }
  long long Bytes() const { return bytes_.load(); }

 private:
  void Read(std::size_t i) {
    sockets_[i]->async_read_some(net::buffer(buffers_[i]),
                                 [this, i](boost::system::error_code error, std::size_t n) {
                                   if (error) return;
                                   bytes_ += static_cast<long long>(n);
                                   Read(i);
                                 });
  }

  net::io_context ioc_;
  std::vector<std::unique_ptr<tcp::socket>> sockets_;
  std::vector<std::array<char, 8192>> buffers_;
  std::atomic<long long> bytes_{0};
  std::thread thread_;
};

struct Result {
  std::vector<double> latencies_us;
  vxr::CLatencyRecord::Summary on_deck;
  int missing = 0;
};

Result Run(PtyPair& pty, vxr::CVtrDeck& deck, int frames) {
  const std::vector<Bytes> mix = {{0x61, 0x0C, 0x01, 0x6E}, {0x61, 0x20, 0x0A, 0x8B}};
  Result result;
  vxr::CControlPort port;
  if (port.StartReceiver(&deck, pty.SlavePath().c_str()) != 0 ||
      !vxr::testing::WaitFor([&port] { return port.IsRunning(); }, 5000, 1)) {
    result.missing = frames;
    return result;
  }
  Clock::time_point next = Clock::now();
  for (int i = 0; i < frames; ++i) {
    next += std::chrono::milliseconds(kPeriodMs);
    std::this_thread::sleep_until(next);
    const Bytes& frame = mix[static_cast<std::size_t>(i) % mix.size()];
    if (!pty.Write(frame)) {
      ++result.missing;
      continue;
    }
    const Clock::time_point sent = Clock::now();
    const Bytes reply = pty.ReadFrame(kReplyTimeoutMs);
    const Clock::time_point answered = Clock::now();
    if (reply.empty()) {
      ++result.missing;
      continue;
    }
    result.latencies_us.push_back(
        std::chrono::duration<double, std::micro>(answered - sent).count());
  }
  port.StopReceiver();
  result.on_deck = port.ReplyTimes().Summarize();
  return result;
}

void Print(const std::string& mode, const Result& result) {
  const double max = result.latencies_us.empty() ? 0
                                                 : *std::max_element(result.latencies_us.begin(),
                                                                     result.latencies_us.end());
  auto us = [](vxr::CLatencyRecord::Duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
  };
  std::printf(
      "%-9s round trip p50 %7.1f us  p99 %7.1f us  max %8.1f us | on the deck p50 %6.1f us  "
      "p99 %6.1f us  max %7.1f us | missing %d\n",
      mode.c_str(), Percentile(result.latencies_us, 0.50), Percentile(result.latencies_us, 0.99),
      max, us(result.on_deck.p50), us(result.on_deck.p99), us(result.on_deck.max), result.missing);
}

int Usage(int code) {
  std::printf(
      "Usage: web_pages [--frames N] [--pages N]\n"
      "  --frames N  serial frames in each run, one per 20 ms (default 1000)\n"
      "  --pages N   pages on the event stream in the second run (default 20)\n");
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  int frames = kDefaultFrames;
  int pages = kDefaultPages;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--frames" || arg == "--pages") && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 1 || value > 1000000) return Usage(2);
      (arg == "--frames" ? frames : pages) = static_cast<int>(value);
    } else {
      return Usage(arg == "--help" || arg == "-h" ? 0 : 2);
    }
  }
  vxr::SetDiagnosticSink([](std::string_view, std::string_view) {});
  PtyPair pty;
  if (!pty.ok()) {
    std::fprintf(stderr, "web_pages: no pseudo-terminal available\n");
    return 1;
  }
  auto player = std::make_unique<vxr::testing::FakeDeckPlayer>();
  player->SetStatusByte(0, 0x00);
  player->SetStatusByte(1, 0x01);  // playing
  auto holder = std::make_shared<std::unique_ptr<vxr::testing::FakeDeckPlayer>>(std::move(player));
  vxr::CVtrDeck deck(
      [holder]() -> std::unique_ptr<vxr::CDeckPlayer> { return std::move(*holder); });
  if (deck.CreatePlayer() != 0) {
    std::fprintf(stderr, "web_pages: the deck has no player\n");
    return 1;
  }
  BenchDeck web_deck(deck);
  vxr::CWebServer server(web_deck, vxr::WebServerOptions(), [](const std::string&) {});
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "web_pages: %s\n", error.c_str());
    return 1;
  }
  std::printf("serial replies over %s, one frame per %d ms, %d frames a run\n",
              pty.SlavePath().c_str(), kPeriodMs, frames);
  Print("no pages", Run(pty, deck, frames));
  {
    Pages open(server.Port(), pages);
    const Result result = Run(pty, deck, frames);
    Print(std::to_string(pages) + " pages", result);
    std::printf("the pages received %.1f KiB of events\n",
                static_cast<double>(open.Bytes()) / 1024);
  }
  deck.ReleasePlayer();
  server.Stop();
  return 0;
}
