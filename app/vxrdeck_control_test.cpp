// The real vxrdeck program, headless, driven over the studio's TCP control protocol while an
// edit controller watches it over a pseudo-terminal: a tape loaded from the library, cued,
// played and stopped, and the controller's status, the network's and the board's output record
// agree.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "protocol/status_bits.h"
#include "testing/control_client.h"
#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"
#include "testing/orderly_end.h"
#include "testing/pty_pair.h"

namespace vxr {
namespace {

using testing::WaitFor;

constexpr int kStartMs = 30000;
constexpr int kActMs = 10000;
constexpr int kReplyMs = 10000;
constexpr int kPollMs = 50;

// The tape frame of the output record's last line; -1 without one.
std::int64_t LastRecordedFrame(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::int64_t frame = -1;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::int64_t tick = 0, ns = 0;
    std::string tape_frame;
    if (!(fields >> tick >> ns >> tape_frame)) continue;
    frame = tape_frame == "-" ? -1 : std::stoll(tape_frame);
  }
  return frame;
}

// The value of a field in a reply block ("clip id" -> "2").
std::string Field(const std::string& reply, const std::string& key) {
  const std::size_t at = reply.find("\r\n" + key + ": ");
  if (at == std::string::npos) return std::string();
  const std::size_t start = at + key.size() + 4;
  return reply.substr(start, reply.find("\r\n", start) - start);
}

std::string Reply(testing::CControlClient& client, const std::string& command) {
  return client.Command(command, kReplyMs);
}

TEST(VxrdeckControlTest, TapeTwoLoadedFromTheLibraryCuesPlaysAndStopsAsTheControllerSees) {
  testing::TempFolder folder;
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  testing::ControllerLine line(pty);
  std::string error;
  const std::string first =
      testing::MakeTestTape(folder, "a.avi", testing::SmallTape(12.0), &error);
  ASSERT_FALSE(first.empty()) << error;
  const std::string second =
      testing::MakeTestTape(folder, "b.avi", testing::SmallTape(8.0), &error);  // 200 frames
  ASSERT_FALSE(second.empty()) << error;
  const std::string record = folder.File("record.log");
  testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"VXR_BOARD_LOG", record}});
  ASSERT_TRUE(program.Start({"--headless", "--tape", first, "--port", pty.SlavePath(), "--control",
                             "127.0.0.1:0", "--library", folder.path()}));
  ASSERT_TRUE(line.WaitUntilServed(kStartMs)) << program.Log();
  int port = 0;
  const std::regex listening("control protocol on 127\\.0\\.0\\.1:([0-9]+)");
  ASSERT_TRUE(WaitFor(
      [&] {
        std::smatch found;
        const std::string log = program.Log();
        if (std::regex_search(log, found, listening)) port = std::stoi(found[1]);
        return port > 0 || !program.Running();
      },
      kStartMs));
  ASSERT_GT(port, 0) << program.Log();

  testing::CControlClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(Field(client.ReadReply(kReplyMs), "model"), "vxrdeck");
  // The two tapes were just written: they are offered once they have stood still.
  ASSERT_TRUE(WaitFor([&] { return Field(Reply(client, "clips count\n"), "clip count") == "2"; },
                      kActMs, kPollMs));
  EXPECT_EQ(Reply(client, "clips get\n"),
            "205 clips info:\r\nclip count: 2\r\n1: a.avi 00:00:00:00 00:00:12:00\r\n"
            "2: b.avi 00:00:00:00 00:00:08:00\r\n\r\n");
  EXPECT_EQ(Field(Reply(client, "transport info\n"), "clip id"), "1");

  // Tape 2 in, as a block the way widely used clients send it; the controller sees the new
  // tape parked at its start.
  EXPECT_EQ(Reply(client, "goto:\r\nclip id: 2\r\n\r\n"), "200 ok\r\n");
  EXPECT_EQ(Field(Reply(client, "transport info\n"), "clip id"), "2");
  EXPECT_FALSE(line.Has(status::Tape_OUT));
  EXPECT_EQ(line.TimeSense(), 0);

  // Cue, play, stop.
  EXPECT_EQ(Reply(client, "goto: timecode: 00:00:02:00\n"), "200 ok\r\n");
  ASSERT_TRUE(
      WaitFor([&] { return line.Has(status::CueUp_Complete) && line.TimeSense() == 50; }, kActMs));
  EXPECT_EQ(Reply(client, "play\n"), "200 ok\r\n");
  ASSERT_TRUE(WaitFor([&] { return line.Has(status::Play) && line.TimeSense() > 60; }, kActMs));
  EXPECT_EQ(Field(Reply(client, "transport info\n"), "status"), "play");
  EXPECT_EQ(Reply(client, "stop\n"), "200 ok\r\n");
  ASSERT_TRUE(WaitFor([&] { return line.Has(status::Stop) && line.Has(status::Still); }, kActMs));
  const std::int64_t stopped = line.TimeSense();
  EXPECT_GT(stopped, 60);
  EXPECT_LT(stopped, 200);
  const std::string info = Reply(client, "transport info\n");
  EXPECT_EQ(Field(info, "status"), "stopped");
  char timecode[16];
  std::snprintf(timecode, sizeof timecode, "00:00:%02d:%02d", static_cast<int>(stopped / 25),
                static_cast<int>(stopped % 25));
  EXPECT_EQ(Field(info, "timecode"), timecode);
  // The board's output stands on the frame both report.
  EXPECT_TRUE(WaitFor([&] { return LastRecordedFrame(record) == stopped; }, kActMs));

  // A network play within a play range runs from the in point and ends parked on the out point.
  EXPECT_EQ(Reply(client, "playrange set: in: 00:00:01:00 out: 00:00:03:00\n"), "200 ok\r\n");
  EXPECT_EQ(Reply(client, "play\n"), "200 ok\r\n");
  ASSERT_TRUE(WaitFor([&] { return line.Has(status::Play); }, kActMs));
  ASSERT_TRUE(WaitFor(
      [&] { return !line.Has(status::Play) && line.Has(status::Still) && line.TimeSense() == 75; },
      kActMs))
      << line.TimeSense();
  EXPECT_TRUE(WaitFor([&] { return LastRecordedFrame(record) == 75; }, kActMs));
  EXPECT_EQ(Reply(client, "playrange clear\n"), "200 ok\r\n");

  // goto naming the tape that is in cues it to its start without loading it again.
  EXPECT_EQ(Reply(client, "goto: clip id: 2\n"), "200 ok\r\n");
  ASSERT_TRUE(WaitFor([&] { return line.TimeSense() == 0; }, kActMs));
  EXPECT_EQ(program.Log().find("tape " + second + " loaded"),
            program.Log().rfind("tape " + second + " loaded"));

  testing::OrderlyEnd end;
  end.recent_files = std::vector<std::string>{second, first};
  EXPECT_TRUE(testing::EndsInOrder(program, end));
}

}  // namespace
}  // namespace vxr
