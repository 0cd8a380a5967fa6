// The real vxrdeck program streaming its program output to a receiver on this machine, driven
// by an edit controller over a pseudo-terminal; the board's output record is the oracle.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/status_bits.h"
#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/media/stream_receiver.h"
#include "testing/media/test_tapes.h"
#include "testing/orderly_end.h"
#include "testing/pty_pair.h"

namespace vxr {
namespace {

using testing::Bytes;
using testing::WaitFor;

constexpr int kStartMs = 30000;
constexpr int kActMs = 10000;

struct RecordLine {
  std::int64_t tape_frame = -1;
  std::string timecode;
  std::string word;
};

// The output record: tick -> what the output carried.
std::map<std::int64_t, RecordLine> ReadRecord(const std::string& path) {
  std::map<std::int64_t, RecordLine> record;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::int64_t tick = 0, ns = 0;
    std::string frame;
    RecordLine entry;
    if (!(fields >> tick >> ns >> frame >> entry.timecode >> entry.word)) continue;
    entry.tape_frame = frame == "-" ? -1 : std::stoll(frame);
    record[tick] = entry;
  }
  return record;
}

TEST(VxrdeckStreamTest,
     AReceiverGetsPicturesSoundAndTimecodeAsTheRecordSaysThroughPlayStillJogShuttleAndEject) {
  testing::TempFolder folder;
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  testing::ControllerLine line(pty);
  TapeSpec spec;
  spec.frames = 300;
  spec.tone_bursts = true;
  std::string error;
  const std::string tape = testing::MakeTestTape(folder, "reel.avi", spec, &error);
  ASSERT_FALSE(tape.empty()) << error;
  const int port = FreeLoopbackUdpPort();
  const std::string url = "udp://127.0.0.1:" + std::to_string(port);
  const std::string record_path = folder.File("record.log");
  testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"VXR_BOARD_LOG", record_path}});
  ASSERT_TRUE(program.Start(
      {"--tape", tape, "--port", pty.SlavePath(), "--remote", "--output", url + "?burntc=1"}));
  ASSERT_TRUE(WaitFor(
      [&] {
        const Bytes s = line.Status(1);
        return !program.Running() || (s.size() == 1 && s[0] == 0x00);
      },
      kStartMs))
      << program.Log();
  ASSERT_TRUE(program.Running()) << program.Log();

  // The receiver joins the running stream.
  auto receiving = std::async(std::launch::async, [&] {
    return ReceiveStream(url + "?timeout=3000000&fifo_size=1000000", 100000,
                         std::chrono::milliseconds(3000), std::chrono::seconds(120));
  });
  const Bytes ack = {0x10, 0x01, 0x11};
  std::int64_t still = -1;
  int step = 0;
  // Ticks the output has recorded so far.
  auto record_ticks = [&] { return static_cast<std::int64_t>(ReadRecord(record_path).size()); };
  // Cue to 00:00:02:00, play two seconds, stop (the picture stands still), jog forward and back
  // at play speed, shuttle forward, eject. The deck ends whatever happened, so that the receiver
  // ends too.
  const bool driven = [&] {
    ++step;
    if (line.Send({0x24, 0x31, 0x00, 0x02, 0x00, 0x00}) != ack) return false;
    ++step;
    if (!WaitFor([&] { return line.Has(status::CueUp_Complete); }, kActMs)) return false;
    ++step;
    if (line.Send({0x20, 0x01}) != ack) return false;
    ++step;
    if (!WaitFor([&] { return line.TimeSense() >= 100; }, kActMs)) return false;
    ++step;
    if (line.Send({0x20, 0x00}) != ack) return false;
    ++step;
    if (!WaitFor([&] { return line.Has(status::Stop); }, kActMs)) return false;
    still = line.TimeSense();
    ++step;
    if (line.Send({0x21, 0x11, 0x40}) != ack) return false;  // jog forward, +1.0
    ++step;
    if (!WaitFor([&] { return line.TimeSense() >= still + 25; }, kActMs)) return false;
    ++step;
    if (line.Send({0x21, 0x21, 0x40}) != ack) return false;  // jog back, -1.0
    ++step;
    if (!WaitFor([&] { return line.TimeSense() <= still + 10; }, kActMs)) return false;
    ++step;
    if (line.Send({0x21, 0x13, 0x49}) != ack) return false;  // shuttle forward, about +2
    ++step;
    if (!WaitFor([&] { return line.TimeSense() >= still + 40; }, kActMs)) return false;
    ++step;
    if (line.Send({0x20, 0x0F}) != ack) return false;  // eject: the stream goes on
    ++step;
    const std::int64_t ejected_at = record_ticks();
    return WaitFor([&] { return line.Has(status::Tape_OUT) && record_ticks() > ejected_at + 25; },
                   kActMs);
  }();
  const std::int64_t where = line.TimeSense();
  const Bytes status = line.Status(9);
  EXPECT_TRUE(testing::EndsInOrder(program, {}));
  ASSERT_TRUE(driven) << "the deck did not follow the controller at step " << step << ", time "
                      << where << " after " << still << ", status "
                      << ::testing::PrintToString(status);

  const ReceivedStream received = receiving.get();
  ASSERT_TRUE(received.opened) << received.error;
  const std::map<std::int64_t, RecordLine> record = ReadRecord(record_path);
  ASSERT_FALSE(record.empty());
  ASSERT_GT(received.pictures.size(), 50u);

  // Line the stream up with the record: a picture's presentation time is its tick, counted
  // from wherever the stream started, and it carries its tick's timecode whatever picture the
  // output had ready (on a late or missed tick, one other than the tick's frame). Each picture
  // whose timecode the record holds on one tick only votes for that count's origin. Pictures
  // the receiver decoded from lost packets (this machine did not schedule it in time) say
  // nothing about what the deck sent, and are left out.
  std::map<std::string, int> ticks_of_timecode;
  std::map<std::string, std::int64_t> tick_of_timecode;
  for (const auto& [tick, entry] : record) {
    ++ticks_of_timecode[entry.timecode];
    tick_of_timecode[entry.timecode] = tick;
  }
  struct Vote {
    int count = 0;
    std::int64_t tick = 0;  // one voter's tick and presentation time
    double seconds = 0;
  };
  std::map<std::int64_t, Vote> votes;  // origin -> pictures agreeing
  for (const ReceivedPicture& picture : received.pictures) {
    if (picture.damaged || ticks_of_timecode[picture.timecode] != 1) continue;
    const std::int64_t tick = tick_of_timecode[picture.timecode];
    Vote& vote = votes[tick - std::llround(picture.seconds * 25)];
    ++vote.count;
    vote.tick = tick;
    vote.seconds = picture.seconds;
  }
  Vote anchor;
  for (const auto& [origin, vote] : votes) {
    if (vote.count > anchor.count) anchor = vote;
  }
  ASSERT_GT(anchor.count, 0) << "no picture of play received";
  const std::int64_t anchor_tick = anchor.tick;
  const double anchor_seconds = anchor.seconds;
  // One picture a tick, in order, from the first received to the end of the stream: each with
  // its tick's timecode, and where the record says the tick's frame was shown, that picture.
  int timecodes = 0;
  int shown = 0;
  int gaps = 0;
  int damaged = 0;
  bool previous_damaged = true;
  std::int64_t last_tick = -1;
  for (const ReceivedPicture& picture : received.pictures) {
    if (picture.gap_before && !previous_damaged) ++gaps;
    previous_damaged = picture.damaged;
    if (picture.damaged) {
      ++damaged;
      continue;
    }
    const std::int64_t tick = anchor_tick + std::llround((picture.seconds - anchor_seconds) * 25);
    EXPECT_GT(tick, last_tick) << "pictures out of order";
    last_tick = tick;
    const auto entry = record.find(tick);
    if (entry == record.end()) continue;
    EXPECT_EQ(picture.timecode, entry->second.timecode) << "tick " << tick;
    ++timecodes;
    if (entry->second.word != "shown") continue;
    ASSERT_TRUE(picture.strip) << "tick " << tick;
    EXPECT_EQ(*picture.strip, entry->second.tape_frame) << "tick " << tick;
    ++shown;
  }
  // Every picture missing from the stream is one the deck says it dropped (its encoder fell
  // behind the output clock); on a machine that keeps up there are none.
  std::smatch figures;
  const std::string log = program.Log();
  ASSERT_TRUE(std::regex_search(log, figures, std::regex(R"(pictures sent, (\d+) dropped)")))
      << log;
  EXPECT_LE(gaps, std::stoi(figures[1]));
  EXPECT_GT(timecodes, 50) << damaged << " pictures decoded from lost packets";
  EXPECT_GT(shown, 0);

  // Sound with the picture: during play every tone burst starts with its frame's picture.
  int bursts = 0;
  for (const auto& [tick, entry] : record) {
    if (entry.tape_frame % 25 != 0 || entry.tape_frame < 75 || entry.tape_frame > 100) continue;
    const auto before = record.find(tick - 1);
    const auto after = record.find(tick + 1);
    if (before == record.end() || after == record.end() ||
        before->second.tape_frame != entry.tape_frame - 1 ||
        after->second.tape_frame != entry.tape_frame + 1) {
      continue;  // not moving forward at play speed here
    }
    const double picture_time = anchor_seconds + (tick - anchor_tick) / 25.0;
    const auto expected =
        static_cast<std::int64_t>(std::llround((picture_time - received.sound_start) * 48000));
    if (SoundDamaged(received, expected - 2400, expected + 2400)) continue;
    const std::int64_t onset = FindToneOnset(received.sound, expected - 2400, 0.05f);
    ASSERT_GE(onset, 0);
    EXPECT_LE(std::fabs((onset - expected) / 48.0), 1.0) << "frame " << entry.tape_frame;
    ++bursts;
  }
  EXPECT_GE(bursts, 1);
  // In still no sound is heard.
  float loudest_in_still = 0;
  for (const auto& [tick, entry] : record) {
    const auto before = record.find(tick - 2);
    if (entry.tape_frame != still || before == record.end() || before->second.tape_frame != still) {
      continue;
    }
    const auto at = static_cast<std::int64_t>(std::llround(
        (anchor_seconds + (tick - anchor_tick) / 25.0 - received.sound_start) * 48000));
    if (SoundDamaged(received, at, at + 1920)) continue;
    for (std::int64_t i = at; i < at + 1920 && i < static_cast<std::int64_t>(received.sound.size());
         ++i) {
      if (i >= 0) loudest_in_still = std::max(loudest_in_still, std::fabs(received.sound[i]));
    }
  }
  EXPECT_LT(loudest_in_still, 0.01f);
}

}  // namespace
}  // namespace vxr

namespace vxr {
namespace {

TEST(VxrdeckStreamTest, MalformedOutputsAreRefusedAtStartAndAPassphraseIsKeptPrivate) {
  testing::TempFolder folder;
  {
    testing::DeckProcess program(VXRDECK_PROGRAM, folder.path());
    ASSERT_TRUE(program.Start({"--output", "udp://127.0.0.1"}));
    EXPECT_EQ(program.WaitForExit(kStartMs), 2);
    EXPECT_NE(program.Log().find("output 'udp://127.0.0.1': no port"), std::string::npos)
        << program.Log();
  }
  // The INI's list: a passphrase (its name in any case) makes the file its owner's alone, even
  // when the run is refused for the list's second, malformed, entry; the message names the file
  // and hides the secret.
  testing::DeckProcess program(VXRDECK_PROGRAM, folder.path());
  ASSERT_EQ(::system(("mkdir -p '" + folder.path() + "/Kavendi/Calvera'").c_str()), 0);
  {
    std::ofstream ini(program.ConfigFile());
    ini << "[Outputs]\n1=srt://127.0.0.1:9000?PassPhrase=secret-passphrase-1\n2=rtmp://x:1/a\n";
  }
  ::chmod(program.ConfigFile().c_str(), 0644);
  ASSERT_TRUE(program.Start({}));
  EXPECT_EQ(program.WaitForExit(kStartMs), 2);
  EXPECT_NE(program.Log().find(program.ConfigFile() + " [Outputs]: output 'rtmp://x:1/a'"),
            std::string::npos)
      << program.Log();
  EXPECT_EQ(program.Log().find("secret-passphrase-1"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(program.ConfigFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // What the deck and FFmpeg would read differently, or FFmpeg would refuse only on connecting,
  // refuses the run at start, named, and no secret is repeated however its name is spelt.
  struct Refused {
    const char* output;
    const char* says;
  };
  for (const Refused& bad : {
           Refused{"srt://127.0.0.1:9000?mode=listener&mode=caller",
                   "option 'mode' is given twice"},
           Refused{"udp://127.0.0.1:5000?acodec=mp2&ab=200k",
                   "sound encoder: Invalid argument (FFmpeg: bitrate 200 is not allowed in mp2)"},
           Refused{"srt://127.0.0.1:9000?pkt_size=9000", "a number from 188 to 1456"},
           Refused{"srt://127.0.0.1:9000?Pasphrase=secret-passphrase-2",
                   "output 'srt://127.0.0.1:9000?Pasphrase=***': unknown option 'pasphrase'"},
           Refused{"srt://127.0.0.1:9000?passphrase-file=no-such.passphrase",
                   "passphrase-file 'no-such.passphrase' cannot be read"},
       }) {
    testing::DeckProcess refused(VXRDECK_PROGRAM, folder.path());
    ASSERT_TRUE(refused.Start({"--output", bad.output}));
    EXPECT_EQ(refused.WaitForExit(kStartMs), 2) << bad.output;
    EXPECT_NE(refused.Log().find(bad.says), std::string::npos) << refused.Log();
    EXPECT_EQ(refused.Log().find("secret-passphrase-2"), std::string::npos) << refused.Log();
  }
}

// The deck's peak resident memory in kilobytes (VmHWM); -1 when it cannot be read.
long PeakResidentKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string CommandLine(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An SRT listener at a 1080 board while no caller has come: the program is not held for it (50
// queued pictures were 400 MiB), so the deck's peak stays near that of a deck without outputs.
// Its passphrase comes from a file in the credentials folder: the command line (readable by
// every user through /proc) and the log hold no secret, and a caller with the passphrase gets
// the stream.
TEST(VxrdeckStreamTest, AWaitingListenerHoldsNoBacklogAndItsPassphraseStaysOffTheCommandLine) {
  constexpr std::int64_t kRecordedTicks = 150;  // six seconds: three times the old backlog
  // Less than half of what 50 queued 1080 pictures took; room for the encoders and the monitor.
  constexpr long kAllowanceKb = 200 * 1024;
  const std::string secret = "file-passphrase-for-the-stream";
  testing::TempFolder folder;
  std::string error;
  const std::string tape = testing::MakeTestTape(folder, "reel.avi", TapeSpec{}, &error);
  ASSERT_FALSE(tape.empty()) << error;
  const std::string credentials = folder.File("credentials");
  ASSERT_EQ(::mkdir(credentials.c_str(), 0700), 0);
  std::ofstream(credentials + "/stream.passphrase") << secret << "\n";
  const int port = FreeLoopbackUdpPort();
  auto run_until_recorded = [&](testing::DeckProcess& program, const std::string& record,
                                std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--no-sound", "--no-monitor", "--tape", tape});
    EXPECT_TRUE(program.Start(arguments));
    return WaitFor(
               [&] {
                 return !program.Running() ||
                        static_cast<std::int64_t>(ReadRecord(record).size()) >= kRecordedTicks;
               },
               kStartMs + kRecordedTicks * 1000) &&
           program.Running();
  };
  long without_outputs = -1;
  {
    const std::string record = folder.File("alone.log");
    testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(),
                                 {{"VXR_BOARD_FORMAT", "1080-25"}, {"VXR_BOARD_LOG", record}});
    ASSERT_TRUE(run_until_recorded(program, record, {})) << program.Log();
    without_outputs = PeakResidentKb(program.Pid());
    EXPECT_TRUE(testing::EndsInOrder(program, {}));
  }
  const std::string record = folder.File("listener.log");
  testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(),
                               {{"VXR_BOARD_FORMAT", "1080-25"},
                                {"VXR_BOARD_LOG", record},
                                {"CREDENTIALS_DIRECTORY", credentials}});
  const std::string output = "srt://127.0.0.1:" + std::to_string(port) +
                             "?mode=listener&passphrase-file=stream.passphrase";
  ASSERT_TRUE(run_until_recorded(program, record, {"--output", output})) << program.Log();
  const long waiting = PeakResidentKb(program.Pid());
  std::cout << "peak resident memory at 1080: " << without_outputs / 1024
            << " MiB without outputs, " << waiting / 1024
            << " MiB with an SRT listener waiting for its caller\n";
  ASSERT_GT(without_outputs, 0);
  EXPECT_LT(waiting, without_outputs + kAllowanceKb);
  const std::string command_line = CommandLine(program.Pid());
  EXPECT_NE(command_line.find("passphrase-file=stream.passphrase"), std::string::npos);
  EXPECT_EQ(command_line.find(secret), std::string::npos);

  const ReceivedStream received =
      ReceiveStream("srt://127.0.0.1:" + std::to_string(port) + "?passphrase=" + secret, 10,
                    std::chrono::milliseconds(5000), std::chrono::seconds(60));
  EXPECT_TRUE(testing::EndsInOrder(program, {}));
  ASSERT_TRUE(received.opened) << received.error;
  EXPECT_GE(received.pictures.size(), 10u);
  EXPECT_NE(program.Log().find("passphrase=***"), std::string::npos) << program.Log();
  EXPECT_EQ(program.Log().find(secret), std::string::npos) << program.Log();
}

}  // namespace
}  // namespace vxr
