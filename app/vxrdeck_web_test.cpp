// The real vxrdeck program, headless, seen and driven through its web server while an edit
// controller drives it over a pseudo-terminal: the token, the page's own requests and another
// site's, LOCAL and REMOTE, the transport, the event stream following the controller, and the
// metrics.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"

namespace vxr {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using testing::WaitFor;

constexpr int kStartMs = 30000;
constexpr int kActMs = 10000;
constexpr const char* kToken = "9f2c-web-test-token";
const testing::Bytes kPlayFrame{0x20, 0x01};

struct Answer {
  int status = 0;
  std::string body;
};

Answer Request(int port, http::verb method, const std::string& target, const std::string& body,
               const std::vector<std::pair<std::string, std::string>>& fields) {
  net::io_context ioc;
  beast::tcp_stream stream(ioc);
  beast::error_code error;
  stream.connect(
      tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)),
      error);
  if (error) return {};
  http::request<http::string_body> request(method, target, 11);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : fields) request.set(name, value);
  request.body() = body;
  request.prepare_payload();
  http::write(stream, request, error);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response, error);
  if (error) return {};
  return {static_cast<int>(response.result_int()), response.body()};
}

TEST(VxrdeckWebTest, PageApiFollowsTheControllerAndActsOnlyWithTheTokenAndWhileLocal) {
  testing::TempFolder folder;
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  testing::ControllerLine line(pty);
  std::string error;
  const std::string tape = testing::MakeTestTape(folder, "a.avi", testing::SmallTape(12.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  const std::string token = folder.WriteFile("token", std::string(kToken) + "\n");
  ::chmod(token.c_str(), 0600);
  testing::DeckProcess program(VXRDECK_PROGRAM, folder.path());
  std::filesystem::create_directories(std::filesystem::path(program.ConfigFile()).parent_path());
  folder.WriteFile("Kavendi/Calvera/vxrdeck.ini", "[Http]\ntoken_file=" + token + "\n");
  ASSERT_TRUE(program.Start({"--headless", "--tape", tape, "--port", pty.SlavePath(), "--http",
                             "127.0.0.1:0", "--library", folder.path()}));
  ASSERT_TRUE(line.WaitUntilServed(kStartMs)) << program.Log();
  int port = 0;
  const std::regex listening("on http://127\\.0\\.0\\.1:([0-9]+)/");
  ASSERT_TRUE(WaitFor(
      [&] {
        std::smatch found;
        const std::string log = program.Log();
        if (std::regex_search(log, found, listening)) port = std::stoi(found[1]);
        return port > 0 || !program.Running();
      },
      kStartMs));
  ASSERT_GT(port, 0) << program.Log();
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  const std::pair<std::string, std::string> bearer{"Authorization",
                                                   std::string("Bearer ") + kToken};
  const auto get = [&](const std::string& target) {
    return Request(port, http::verb::get, target, "", {bearer});
  };
  const auto post = [&](const std::string& target, const std::string& body) {
    return Request(port, http::verb::post, target, body, {bearer, {"Origin", origin}});
  };

  // Without the token nothing; a wrong one is logged without either token's text.
  EXPECT_EQ(Request(port, http::verb::get, "/api/state", "", {}).status, 401);
  EXPECT_EQ(Request(port, http::verb::post, "/api/transport", R"({"command":"play"})",
                    {{"Authorization", "Bearer guess"}})
                .status,
            401);
  const Answer state = get("/api/state");
  ASSERT_EQ(state.status, 200);
  EXPECT_NE(state.body.find("\"control\":\"REMOTE\""), std::string::npos) << state.body;
  EXPECT_NE(state.body.find("\"name\":\"a.avi\""), std::string::npos) << state.body;
  EXPECT_NE(state.body.find("\"length\":\"00:00:12:00\""), std::string::npos) << state.body;

  // The event stream follows the controller's PLAY.
  net::io_context ioc;
  tcp::socket events(ioc);
  events.connect(
      tcp::endpoint(net::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)));
  net::write(events, net::buffer("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                                 "Bearer " +
                                 std::string(kToken) + "\r\n\r\n"));
  std::string received;
  const auto read_until = [&](const std::string& text) {
    std::array<char, 4096> chunk{};
    while (received.find(text) == std::string::npos) {
      beast::error_code read_error;
      const std::size_t n = events.read_some(net::buffer(chunk), read_error);
      if (read_error) return false;
      received.append(chunk.data(), n);
    }
    return true;
  };
  ASSERT_TRUE(read_until("event: log"));
  received.clear();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(line.Send(kPlayFrame).size(), 3u);  // an acknowledgement with its checksum
  ASSERT_TRUE(read_until("\"play\":true"));
  const double seen_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
  std::printf("a serial play showed on the event stream after %.1f ms\n", seen_ms);

  // REMOTE: the page's transport is refused; LOCAL from the page, then its STOP acts.
  EXPECT_EQ(post("/api/transport", R"({"command":"stop"})").status, 409);
  EXPECT_EQ(Request(port, http::verb::post, "/api/remote", R"({"remote":false})",
                    {bearer, {"Origin", "http://evil.example"}})
                .status,
            403);
  EXPECT_EQ(post("/api/remote", R"({"remote":false})").status, 200);
  ASSERT_TRUE(read_until("\"control\":\"LOCAL\""));
  EXPECT_EQ(post("/api/transport", R"({"command":"stop"})").status, 200);
  ASSERT_TRUE(WaitFor([&] { return line.Has(status::Stop); }, kActMs));
  EXPECT_EQ(post("/api/transport", R"({"command":"cue","timecode":"00:00:02:00"})").status, 200);
  ASSERT_TRUE(WaitFor([&] { return line.TimeSense() == 50; }, kActMs));
  EXPECT_EQ(post("/api/load", R"({"id":7})").status, 404);

  // The controller's frames are counted in the metrics; the log shows the refusals.
  const Answer metrics = get("/metrics");
  ASSERT_EQ(metrics.status, 200);
  const std::regex count("vxr_serial_reply_seconds_count ([0-9]+)");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(metrics.body, found, count)) << metrics.body;
  EXPECT_GT(std::stoll(found[1]), 0);
  EXPECT_NE(metrics.body.find("vxr_remote 0"), std::string::npos);
  EXPECT_NE(metrics.body.find("vxr_tape_loaded 1"), std::string::npos);
  const Answer log = get("/api/log");
  EXPECT_NE(log.body.find("wrong token"), std::string::npos) << log.body;
  EXPECT_EQ(program.Log().find(kToken), std::string::npos);
  EXPECT_EQ(program.Log().find("guess"), std::string::npos);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.WaitForExit(kStartMs), 0) << program.Log();
}

TEST(VxrdeckWebTest, AnAddressOffLoopbackWithoutATokenRefusesToStart) {
  testing::TempFolder folder;
  const testing::ProgramRun run =
      testing::RunProgram({VXRDECK_PROGRAM, "--headless", "--http", "0.0.0.0:0"},
                          folder.File("run.log"), kStartMs, {{"XDG_CONFIG_HOME", folder.path()}});
  EXPECT_EQ(run.exit_code, 2) << run.output;
  EXPECT_NE(run.output.find("without a token"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace vxr
