// The real vxrdeck program, headless, seen and driven through its web server while an edit
// controller drives it over a pseudo-terminal: the token, the page's own requests and another
// site's, LOCAL and REMOTE, the transport, the event stream following the controller, and the
// metrics.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/http_client.h"
#include "testing/media/test_tapes.h"
#include "testing/pty_pair.h"

namespace vxr {
namespace {

using testing::WaitFor;

constexpr int kStartMs = 30000;
constexpr int kActMs = 10000;
constexpr const char* kToken = "9f2c-web-test-token";
const testing::Bytes kPlayFrame{0x20, 0x01};

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
  const int port = program.LoggedPort("on http://127\\.0\\.0\\.1:([0-9]+)/", kStartMs);
  ASSERT_GT(port, 0) << program.Log();
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  const std::pair<std::string, std::string> bearer{"Authorization",
                                                   std::string("Bearer ") + kToken};
  const auto get = [&](const std::string& target) {
    return testing::HttpRequest(port, "GET", target, "", {bearer});
  };
  const auto post = [&](const std::string& target, const std::string& body) {
    return testing::HttpRequest(port, "POST", target, body, {bearer, {"Origin", origin}});
  };

  // Without the token nothing; a wrong one is logged without either token's text.
  EXPECT_EQ(testing::HttpRequest(port, "GET", "/api/state", "", {}).status, 401);
  EXPECT_EQ(testing::HttpRequest(port, "POST", "/api/transport", R"({"command":"play"})",
                                 {{"Authorization", "Bearer guess"}})
                .status,
            401);
  const testing::HttpReply state = get("/api/state");
  ASSERT_EQ(state.status, 200);
  EXPECT_NE(state.body.find("\"control\":\"REMOTE\""), std::string::npos) << state.body;
  EXPECT_NE(state.body.find("\"name\":\"a.avi\""), std::string::npos) << state.body;
  EXPECT_NE(state.body.find("\"length\":\"00:00:12:00\""), std::string::npos) << state.body;

  // The event stream follows the controller's PLAY.
  testing::EventStreamClient events;
  ASSERT_TRUE(events.Open(port, {bearer}));
  const auto read_until = [&](const std::string& text) { return events.ReadUntil(text); };
  ASSERT_TRUE(read_until("event: log"));
  events.Clear();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(line.Send(kPlayFrame).size(), 3u);  // an acknowledgement with its checksum
  ASSERT_TRUE(read_until("\"play\":true"));
  const double seen_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
  std::printf("a serial play showed on the event stream after %.1f ms\n", seen_ms);

  // REMOTE: the page's transport is refused; LOCAL from the page, then its STOP acts.
  EXPECT_EQ(post("/api/transport", R"({"command":"stop"})").status, 409);
  EXPECT_EQ(testing::HttpRequest(port, "POST", "/api/remote", R"({"remote":false})",
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

  // The program's thumbnail: a JPEG once the board has a picture, and its news on the stream.
  ASSERT_TRUE(WaitFor([&] { return get("/api/thumbnail.jpg").status == 200; }, kActMs));
  const testing::HttpReply thumbnail = get("/api/thumbnail.jpg");
  EXPECT_EQ(thumbnail.content_type, "image/jpeg");
  EXPECT_EQ(thumbnail.cache_control, "no-store");
  EXPECT_EQ(thumbnail.body.substr(0, 2), "\xff\xd8");
  // Each picture names itself; the one of tape frame 50, where the cue left the tape, comes.
  EXPECT_GT(std::stoll("0" + thumbnail.Field("X-Thumbnail-Sequence")), 0);
  EXPECT_TRUE(WaitFor(
      [&] { return get("/api/thumbnail.jpg").Field("X-Thumbnail-Timecode") == "00:00:02:00"; },
      kActMs));
  ASSERT_TRUE(read_until("event: thumbnail"));
  EXPECT_NE(events.Received().find("\"made\":true"), std::string::npos);
  // The page's own thumbnail is not one of the deck's outputs.
  EXPECT_EQ(get("/api/state").body.find("web thumbnail"), std::string::npos);

  // The controller's frames are counted in the metrics; the log shows the refusals.
  const testing::HttpReply metrics = get("/metrics");
  ASSERT_EQ(metrics.status, 200);
  const std::regex count("vxr_serial_reply_seconds_count ([0-9]+)");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(metrics.body, found, count)) << metrics.body;
  EXPECT_GT(std::stoll(found[1]), 0);
  // The page's STOP and CUE acted (the STOP refused under remote control is not counted): the
  // deck timed each from its request to the transport having acted.
  const std::regex transport_count("vxr_web_transport_seconds_count ([0-9]+)");
  const std::regex transport_sum("vxr_web_transport_seconds_sum ([0-9.e+-]+)");
  const std::regex within_frame("vxr_web_transport_seconds_bucket\\{le=\"0.04\"\\} ([0-9]+)");
  std::smatch count_found, sum_found, frame_found;
  ASSERT_TRUE(std::regex_search(metrics.body, count_found, transport_count)) << metrics.body;
  ASSERT_TRUE(std::regex_search(metrics.body, sum_found, transport_sum)) << metrics.body;
  ASSERT_TRUE(std::regex_search(metrics.body, frame_found, within_frame)) << metrics.body;
  EXPECT_EQ(std::stoll(count_found[1]), 2);
  std::printf(
      "page transport commands: %s acted, %.2f ms on average from the request, %s within "
      "one output frame (40 ms)\n",
      count_found[1].str().c_str(), std::stod(sum_found[1]) * 1000.0 / 2,
      frame_found[1].str().c_str());
  EXPECT_NE(metrics.body.find("vxr_remote 0"), std::string::npos);
  EXPECT_NE(metrics.body.find("vxr_tape_loaded 1"), std::string::npos);
  const testing::HttpReply log = get("/api/log");
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
