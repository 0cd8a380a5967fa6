#include "web/web_server.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "protocol/status_bits.h"
#include "testing/http_client.h"
#include "testing/wait_for.h"

namespace vxr {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr int kWaitMs = 10000;
constexpr const char* kToken = "s3cret-t0ken";

// A deck whose state the test sets; it records the actions and answers them at once.
class FakeDeck : public IWebDeck {
 public:
  WebDeckState State() override {
    std::lock_guard lock(mutex);
    return state;
  }
  std::vector<WebTape> Library() override {
    return {{1, "news.mxf", 250, "1080i50", ""}, {0, "broken.avi", 0, "", "no video stream"}};
  }
  WebMetrics Metrics() override {
    WebMetrics metrics;
    metrics.ticks_right = 100;
    metrics.ticks_missed = 2;
    metrics.ticks_late = 1;
    metrics.reply_buckets = {{0.0001, 5}, {0.001, 9}};
    metrics.reply_count = 10;
    metrics.reply_sum_seconds = 0.004;
    metrics.frames_answered = 10;
    metrics.outputs = {{"udp://239.0.0.1:5000 \"main\"", 90, 3, 1},
                       {"srt://0.0.0.0:9000?mode=listener", 80, 0, 0, 3}};
    metrics.decoder_bytes = 1 << 20;
    metrics.tape_loaded = true;
    return metrics;
  }
  std::vector<std::string> LogLines() override { return {"first line", "second line"}; }
  void Submit(const WebAction& action, std::function<void(WebResult)> done) override {
    {
      std::lock_guard lock(mutex);
      actions.push_back(action);
      if (hold) {
        held = std::move(done);
        return;
      }
    }
    done({200, "done"});
  }
  WebThumbnail Thumbnail() override {
    std::lock_guard lock(mutex);
    return thumbnail;
  }
  std::size_t ActionCount() {
    std::lock_guard lock(mutex);
    return actions.size();
  }

  std::mutex mutex;  // guards state, thumbnail, actions, hold and held
  WebDeckState state;
  WebThumbnail thumbnail;
  std::vector<WebAction> actions;
  bool hold = false;  // keep the result back until the test gives it
  std::function<void(WebResult)> held;
};

using testing::HttpReply;
using testing::HttpRequest;

class WebServerTest : public ::testing::Test {
 protected:
  void StartServer(WebServerOptions options) {
    server_ = std::make_unique<CWebServer>(deck_, std::move(options), [this](const std::string& l) {
      std::lock_guard lock(log_mutex_);
      log_.push_back(l);
    });
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    port_ = server_->Port();
  }
  std::string Log() {
    std::lock_guard lock(log_mutex_);
    std::string all;
    for (const std::string& line : log_) all += line + "\n";
    return all;
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }

  FakeDeck deck_;
  std::unique_ptr<CWebServer> server_;
  int port_ = 0;
  std::mutex log_mutex_;  // guards log_
  std::vector<std::string> log_;
};

TEST_F(WebServerTest, LoopbackServesTheApiAndRefusesCrossSiteAndForeignHosts) {
  deck_.state.has_player = true;
  deck_.state.frame = 26;
  deck_.state.frame_count = 250;
  deck_.state.tape_id = 1;
  deck_.state.tape_name = "news.mxf";
  deck_.state.status[0] = status::Local.mask;
  deck_.state.status[1] = status::Play.mask;
  StartServer({});

  const HttpReply state = HttpRequest(port_, "GET", "/api/state");
  EXPECT_EQ(state.status, 200);
  EXPECT_NE(state.body.find("\"timecode\":\"00:00:01:01\""), std::string::npos) << state.body;
  EXPECT_NE(state.body.find("\"control\":\"LOCAL\""), std::string::npos);
  EXPECT_NE(state.body.find("\"play\":true"), std::string::npos);
  EXPECT_NE(state.body.find("\"name\":\"news.mxf\""), std::string::npos);

  const HttpReply library = HttpRequest(port_, "GET", "/api/library");
  EXPECT_NE(library.body.find("\"reason\":\"no video stream\""), std::string::npos);
  EXPECT_NE(HttpRequest(port_, "GET", "/api/log").body.find("second line"), std::string::npos);

  // The page's own request and a tool's (no Origin) act; another site's does not.
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/transport", R"({"command":"play"})",
                        {{"Origin", "http://127.0.0.1:" + std::to_string(port_)}})
                .status,
            200);
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/load", R"({"id":1})").status, 200);
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/transport", R"({"command":"stop"})",
                        {{"Origin", "http://evil.example"}})
                .status,
            403);
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/eject", "", {{"Sec-Fetch-Site", "cross-site"}}).status,
            403);
  // A name that is not this deck's (DNS rebinding) is refused for reading too.
  EXPECT_EQ(HttpRequest(port_, "GET", "/api/state", "", {{"Host", "evil.example"}}).status, 421);
  // Tapes only by id; malformed actions are refused before they reach the deck.
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/load", R"({"id":"/etc/passwd"})").status, 400);
  EXPECT_EQ(
      HttpRequest(port_, "POST", "/api/transport", R"({"command":"cue","timecode":"00:00:01:30"})")
          .status,
      400);
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/nothing", "{}").status, 404);
  EXPECT_EQ(HttpRequest(port_, "PUT", "/api/eject").status, 405);
  ASSERT_EQ(deck_.ActionCount(), 2u);
  EXPECT_EQ(deck_.actions[0].kind, WebAction::Kind::kPlay);
  EXPECT_EQ(deck_.actions[1].kind, WebAction::Kind::kLoad);
  EXPECT_EQ(deck_.actions[1].tape_id, 1);
  EXPECT_NE(Log().find("evil.example"), std::string::npos);
  // The one transport command the deck carried out is timed; the load is no transport command.
  const std::string metrics = HttpRequest(port_, "GET", "/metrics").body;
  EXPECT_NE(metrics.find("vxr_web_transport_seconds_count 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("vxr_web_transport_seconds_bucket{le=\"1\"} 1\n"), std::string::npos)
      << metrics;
}

TEST_F(WebServerTest, TokenIsNeededByBearerOrLoginCookieAndNeverLogged) {
  WebServerOptions options;
  options.token = kToken;
  StartServer(options);

  EXPECT_EQ(HttpRequest(port_, "GET", "/api/state").status, 401);
  EXPECT_NE(HttpRequest(port_, "GET", "/api/session").body.find("\"authorized\":false"),
            std::string::npos);
  // The page itself (which asks for the token) needs none.
  const HttpReply page = HttpRequest(port_, "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<script src=\"/app.js\""), std::string::npos);
  EXPECT_NE(HttpRequest(port_, "GET", "/app.js").body.find("EventSource"), std::string::npos);
  EXPECT_EQ(HttpRequest(port_, "GET", "/metrics", "", {{"Authorization", "Bearer nope"}}).status,
            401);
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/transport", R"({"command":"play"})",
                        {{"Authorization", std::string("Bearer ") + kToken + "x"}})
                .status,
            401);
  EXPECT_EQ(HttpRequest(port_, "GET", "/api/state", "",
                        {{"Authorization", std::string("Bearer ") + kToken}})
                .status,
            200);
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/login", R"({"token":"wrong"})").status, 401);
  const HttpReply login =
      HttpRequest(port_, "POST", "/api/login", std::string(R"({"token":")") + kToken + "\"}");
  ASSERT_EQ(login.status, 200);
  EXPECT_NE(login.set_cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(login.set_cookie.find("SameSite=Strict"), std::string::npos);
  const std::string cookie = login.set_cookie.substr(0, login.set_cookie.find(';'));
  EXPECT_EQ(cookie.find(kToken), std::string::npos);
  EXPECT_EQ(HttpRequest(port_, "GET", "/api/state", "", {{"Cookie", cookie}}).status, 200);
  EXPECT_EQ(HttpRequest(port_, "GET", "/api/state", "", {{"Cookie", "vxr_session=abc"}}).status,
            401);
  EXPECT_EQ(deck_.ActionCount(), 0u);
  const std::string log = Log();
  EXPECT_NE(log.find("wrong token"), std::string::npos);
  EXPECT_NE(log.find("no token"), std::string::npos);
  EXPECT_EQ(log.find(kToken), std::string::npos) << log;
}

TEST_F(WebServerTest, LimitsRefuseLargeRequestsSlowClientsAndTooManyConnections) {
  WebServerOptions options;
  options.max_connections = 2;
  options.request_timeout = std::chrono::milliseconds(300);
  StartServer(options);

  EXPECT_EQ(HttpRequest(port_, "GET", "/api/state", "", {{"X-Big", std::string(9000, 'a')}}).status,
            431);
  EXPECT_EQ(HttpRequest(port_, "POST", "/api/transport", std::string(70000, ' ')).status, 413);

  // Two connections that send only half a request fill the server; a third is closed at once,
  // and the two are closed once their request time is over.
  net::io_context ioc;
  std::vector<std::unique_ptr<tcp::socket>> slow;
  for (int i = 0; i < 2; ++i) {
    slow.push_back(std::make_unique<tcp::socket>(ioc));
    slow.back()->connect(
        tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port_)));
    net::write(*slow.back(), net::buffer(std::string("GET /api/state HTTP/1.1\r\n")));
  }
  ASSERT_TRUE(testing::WaitFor([&] { return HttpRequest(port_, "GET", "/api/state").status == 0; },
                               kWaitMs));
  for (auto& socket : slow) {
    char byte = 0;
    beast::error_code error;
    socket->read_some(net::buffer(&byte, 1), error);
    EXPECT_EQ(error, net::error::eof);
  }
  EXPECT_TRUE(testing::WaitFor(
      [&] { return HttpRequest(port_, "GET", "/api/state").status == 200; }, kWaitMs));
}

TEST_F(WebServerTest, EventStreamPushesStateChangesAndEndsWithTheServer) {
  WebServerOptions options;
  options.token = kToken;
  StartServer(options);

  testing::EventStreamClient events;
  ASSERT_TRUE(events.Open(port_, {{"Authorization", std::string("Bearer ") + kToken}}));
  const auto read_until = [&](const std::string& text) { return events.ReadUntil(text); };
  const std::string& received = events.Received();
  ASSERT_TRUE(read_until("\"control\":\"REMOTE\""));
  EXPECT_NE(received.find("text/event-stream"), std::string::npos);
  EXPECT_NE(received.find("event: log"), std::string::npos);
  {
    std::lock_guard lock(deck_.mutex);
    deck_.state.has_player = true;
    deck_.state.frame = 50;
  }
  server_->Wake();
  ASSERT_TRUE(read_until("\"timecode\":\"00:00:02:00\""));
  server_->Stop();
  EXPECT_FALSE(read_until("never sent"));
}

TEST_F(WebServerTest, ThumbnailIsServedWhenThereIsOneAndItsNewsComesByTheEventStream) {
  WebServerOptions options;
  options.token = kToken;
  StartServer(options);
  const testing::HttpFields bearer{{"Authorization", std::string("Bearer ") + kToken}};

  // No program at all, then a program without its first picture yet: both say why, as JSON.
  HttpReply reply = HttpRequest(port_, "GET", "/api/thumbnail.jpg", "", bearer);
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.content_type, "application/json");
  EXPECT_NE(reply.body.find("no program picture"), std::string::npos);
  {
    std::lock_guard lock(deck_.mutex);
    deck_.thumbnail.made = true;
  }
  reply = HttpRequest(port_, "GET", "/api/thumbnail.jpg", "", bearer);
  EXPECT_EQ(reply.status, 503);
  EXPECT_NE(reply.body.find("no program picture yet"), std::string::npos);

  // Without the token: refused like every other GET, and the picture not given away.
  {
    std::lock_guard lock(deck_.mutex);
    deck_.thumbnail.sequence = 1;
    deck_.thumbnail.jpeg = std::make_shared<const std::string>(std::string("\xff\xd8jpeg\0", 7));
    deck_.thumbnail.timecode = "00:00:01:00";
    deck_.thumbnail.meter_sequence = 3;
    deck_.thumbnail.peaks_dbfs = {-6.0206, -96.0};
  }
  EXPECT_EQ(HttpRequest(port_, "GET", "/api/thumbnail.jpg").status, 401);
  EXPECT_EQ(
      HttpRequest(port_, "GET", "/api/thumbnail.jpg", "",
                  {{"Authorization", std::string("Bearer ") + kToken}, {"Host", "evil.example:80"}})
          .status,
      421);
  reply = HttpRequest(port_, "GET", "/api/thumbnail.jpg", "", bearer);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.content_type, "image/jpeg");
  EXPECT_EQ(reply.cache_control, "no-store");
  EXPECT_EQ(reply.body, std::string("\xff\xd8jpeg\0", 7));
  EXPECT_EQ(reply.Field("X-Thumbnail-Sequence"), "1");
  EXPECT_EQ(reply.Field("X-Thumbnail-Timecode"), "00:00:01:00");

  // The stream opens with the thumbnail's news, and tells of the next picture.
  testing::EventStreamClient events;
  ASSERT_TRUE(events.Open(port_, bearer));
  ASSERT_TRUE(events.ReadUntil("event: thumbnail"));
  ASSERT_TRUE(events.ReadUntil("\"peaks_dbfs\":[-6E0,-9.6E1]"));
  EXPECT_NE(events.Received().find("\"sequence\":1,"), std::string::npos);
  {
    std::lock_guard lock(deck_.mutex);
    deck_.thumbnail.sequence = 2;
    deck_.thumbnail.timecode = "00:00:01:05";
  }
  server_->Wake();
  ASSERT_TRUE(events.ReadUntil("\"sequence\":2,\"timecode\":\"00:00:01:05\""));

  // A page that asks after the news of picture 1 gets the newest picture and is told which one
  // it got, so that it never names a picture by another's timecode.
  {
    std::lock_guard lock(deck_.mutex);
    deck_.thumbnail.sequence = 3;
    deck_.thumbnail.jpeg = std::make_shared<const std::string>("\xff\xd8three");
    deck_.thumbnail.timecode = "00:00:01:10";
  }
  reply = HttpRequest(port_, "GET", "/api/thumbnail.jpg?n=1", "", bearer);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "\xff\xd8three");
  EXPECT_EQ(reply.Field("x-thumbnail-sequence"), "3");
  EXPECT_EQ(reply.Field("x-thumbnail-timecode"), "00:00:01:10");
}

TEST_F(WebServerTest, AResultThatComesAfterTheServerStoppedIsDropped) {
  deck_.hold = true;
  StartServer({});
  HttpReply reply;
  reply.status = -1;
  std::thread client(
      [&] { reply = HttpRequest(port_, "POST", "/api/transport", R"({"command":"play"})"); });
  ASSERT_TRUE(testing::WaitFor([&] { return deck_.ActionCount() == 1; }, kWaitMs));
  // The request waits for the deck; the server's end closes it unanswered.
  server_->Stop();
  client.join();
  EXPECT_EQ(reply.status, 0);
  std::function<void(WebResult)> done;
  {
    std::lock_guard lock(deck_.mutex);
    done = std::move(deck_.held);
  }
  ASSERT_TRUE(done);
  done({200, "late"});
}

TEST_F(WebServerTest, MetricsAreReadByThePrometheusParser) {
  StartServer({});
  const HttpReply metrics = HttpRequest(port_, "GET", "/metrics");
  ASSERT_EQ(metrics.status, 200);
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("vxr_metrics_" + std::to_string(port_) + ".txt");
  std::ofstream(file) << metrics.body;
  // Every family parsed, with the counters' and the histogram's samples as a scraper sees them.
  const std::string script =
      "import sys\n"
      "from prometheus_client.parser import text_string_to_metric_families as parse\n"
      "families = {f.name: f for f in parse(open(sys.argv[1]).read())}\n"
      "for f in sorted(families): print(f, families[f].type, len(families[f].samples))\n"
      "s = {(x.name, tuple(sorted(x.labels.items()))): x.value for f in families.values() for x in "
      "f.samples}\n"
      "print('shown', s[('vxr_output_ticks_total', (('record', 'shown'),))])\n"
      "print('inf', s[('vxr_serial_reply_seconds_bucket', (('le', '+Inf'),))])\n"
      "print('sent', s[('vxr_output_pictures_sent_total', (('output', 'udp://239.0.0.1:5000 "
      "\"main\"'),))])\n";
  const std::filesystem::path script_file = file.string() + ".py";
  std::ofstream(script_file) << script;
  const std::string command =
      std::string(VXR_PYTHON3) + " " + script_file.string() + " " + file.string() + " 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) output += line;
    EXPECT_EQ(::pclose(pipe), 0) << output;
  }
  std::filesystem::remove(file);
  std::filesystem::remove(script_file);
  EXPECT_NE(output.find("vxr_output_ticks counter 4"), std::string::npos) << output;
  EXPECT_NE(output.find("vxr_serial_reply_seconds histogram 5"), std::string::npos) << output;
  EXPECT_NE(output.find("vxr_web_transport_seconds histogram 13"), std::string::npos) << output;
  EXPECT_NE(output.find("vxr_decoder_memory_bytes gauge 1"), std::string::npos) << output;
  // Only the listener has callers to count.
  EXPECT_NE(output.find("vxr_output_callers gauge 1"), std::string::npos) << output;
  EXPECT_NE(output.find("shown 100.0"), std::string::npos) << output;
  EXPECT_NE(output.find("inf 10.0"), std::string::npos) << output;
  EXPECT_NE(output.find("sent 90.0"), std::string::npos) << output;
}

}  // namespace
}  // namespace vxr
