#include "app/program_outputs.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include "app/deck_options.h"
#include "app/output_kinds.h"
#include "platform/diagnostics.h"
#include "testing/controller_line.h"
#include "testing/deck_process.h"
#include "testing/media/test_tapes.h"
#include "testing/offscreen_screens.h"
#include "testing/orderly_end.h"
#include "testing/pty_pair.h"
#include "testing/wait_for.h"

namespace vxr {
namespace {

constexpr int kStartMs = 30000;
constexpr int kActMs = 10000;

// The deck's list through every kind it has: each entry goes to its kind, and a refused one
// says where the list came from.
TEST(ProgramOutputs, ScreensSoundMonitorAndStreamsFromOneList) {
  ProgramOutputPlan plan;
  plan.kinds = DeckOutputKinds(false, false);
  std::string error;
  ASSERT_TRUE(ParseProgramOutputs({"screen", "screen:1?burntc=1", "sound", "sound:USB Audio:2",
                                   "monitor?burntc=1", "udp://127.0.0.1:5000"},
                                  "--output", &plan, &error))
      << error;

  for (const auto& [entry, reason] : std::vector<std::pair<std::string, std::string>>{
           {"screen:x", "--output: \"screen:x\": the screen is a number from 0"},
           {"screen:-1", "--output: \"screen:-1\": the screen is a number from 0"},
           {"screen:", "--output: \"screen:\": the screen is a number from 0"},
           {"screen:1?burntc=yes", "--output: \"screen:1?burntc=yes\": only ?burntc=0 or"},
           {"monitor?x=1", "--output: \"monitor?x=1\": only ?burntc=0 or"},
           {"sound:", "--output: \"sound:\": the sound device's name is missing"},
           {"screens", "--output: output 'screens': not a stream address"}}) {
    ProgramOutputPlan refused;
    refused.kinds = DeckOutputKinds(false, false);
    EXPECT_FALSE(ParseProgramOutputs({entry}, "--output", &refused, &error)) << entry;
    EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
  }

  const ParsedOptions options =
      ParseDeckOptions({"--no-sound", "--list-outputs", "--output", "sound:x"}, "/");
  ASSERT_EQ(options.action, OptionsAction::kRun) << options.error;
  EXPECT_TRUE(options.options.no_sound);
  EXPECT_TRUE(options.options.list_outputs);
  EXPECT_EQ(ParseDeckOptions({"--no-sound", "--no-sound"}, "/").error,
            "option --no-sound is given twice");
}

// A kind of output that says what is done with it: it takes the entries that start with its
// word (or, with no word, the rest) and, when it consumes, one sink of the program.
class CRecordingKind : public IProgramOutputKind {
 public:
  class Sink : public IProgramSink {
   public:
    void Push(std::shared_ptr<const ProgramFrame>) override {}
    ProgramSinkStats Stats() const override { return {}; }
    std::string Name() const override { return "recorded"; }
  };

  CRecordingKind(std::string word, bool consumes, std::vector<std::string>* log)
      : word_(std::move(word)), consumes_(consumes), log_(*log) {}

  Claim Claims(const std::string& entry) const override {
    if (word_.empty()) return Claim::kOtherwise;
    return entry.starts_with(word_) ? Claim::kNamed : Claim::kNone;
  }
  bool Add(const std::string& entry, std::string* error) override {
    if (entry.ends_with("!")) return *error = "\"" + entry + "\": refused", false;
    log_.push_back(Who() + " takes " + entry);
    return true;
  }
  bool Check(std::string* error) const override {
    if (!refuse_check_) return true;
    return *error = Who() + " is not here", false;
  }
  void List(std::ostream& out) const override { out << Who() << " lists\n"; }
  bool Prepare(std::ostream& errors) override {
    errors << Who() << " has\n";
    log_.push_back(Who() + " prepares");
    return consumes_;
  }
  void Start(const ProgramOutputStart& start) override {
    log_.push_back(Who() + " starts at " + std::to_string(start.format.width) + " wide");
    clock_ = start.clock.get();
    if (!consumes_) return;
    sink_ = std::make_shared<Sink>();
    start.program.AddSink(sink_);
  }
  std::vector<std::string> Finish(CProgramOutput& program) override {
    log_.push_back(Who() + " finishes");
    if (sink_) program.RemoveSink(sink_.get());
    sink_.reset();
    return {Who() + " figures"};
  }

  bool refuse_check_ = false;
  const IBoardClock* clock_ = nullptr;

 private:
  std::string Who() const { return word_.empty() ? "rest" : word_; }
  const std::string word_;
  const bool consumes_;
  std::vector<std::string>& log_;
  std::shared_ptr<Sink> sink_;
};

// The registry with kinds it knows nothing of: entries go to the kind that names them, else to
// the one that takes the rest; checks and lists go through every kind; the board's monitor and
// program are made only when a kind consumes the program; kinds prepare, start and finish in
// their order, their sinks on the program while it runs and their figures logged at the end.
TEST(ProgramOutputs, TheRegistryHandsEntriesAndTheProgramToItsKindsAndMakesNoMonitorForNone) {
  std::vector<std::string> log;
  auto make_plan = [&](bool consumes) {
    auto plan = std::make_shared<ProgramOutputPlan>();
    plan->kinds.push_back(std::make_unique<CRecordingKind>("a", false, &log));
    plan->kinds.push_back(std::make_unique<CRecordingKind>("", consumes, &log));
    return plan;
  };
  std::shared_ptr<ProgramOutputPlan> plan = make_plan(true);
  std::string error;
  ASSERT_TRUE(ParseProgramOutputs({"a1", "b1", "a2"}, "FILE [Outputs]", plan.get(), &error));
  EXPECT_EQ(log, (std::vector<std::string>{"a takes a1", "rest takes b1", "a takes a2"}));
  EXPECT_FALSE(ParseProgramOutputs({"a3!"}, "--output", make_plan(true).get(), &error));
  EXPECT_EQ(error, "--output: \"a3!\": refused");
  EXPECT_TRUE(CheckProgramOutputs(*plan, &error));
  static_cast<CRecordingKind&>(*plan->kinds[1]).refuse_check_ = true;
  EXPECT_FALSE(CheckProgramOutputs(*plan, &error));
  EXPECT_EQ(error, "FILE [Outputs]: rest is not here");
  std::ostringstream listed;
  ListOutputs(*plan, listed);
  EXPECT_EQ(listed.str(), "a lists\nrest lists\n");

  std::vector<std::string> figures;
  const DiagnosticSink previous =
      SetDiagnosticSink([&](std::string_view tag, std::string_view text) {
        if (tag == "Info Output") figures.emplace_back(text);
      });
  log.clear();
  {
    std::ostringstream errors;
    std::shared_ptr<BoardWithOutputs> none = StartBoardWithOutputs(make_plan(false), errors);
    ASSERT_NE(none->board, nullptr);
    EXPECT_EQ(none->monitor, nullptr);  // nothing consumes: no decoding
    EXPECT_EQ(none->program, nullptr);
    EXPECT_EQ(errors.str(), "a has\nrest has\n");
    EXPECT_EQ(log, (std::vector<std::string>{"a prepares", "rest prepares"}));
  }
  EXPECT_TRUE(figures.empty());
  log.clear();
  {
    std::ostringstream errors;
    std::shared_ptr<BoardWithOutputs> server = StartBoardWithOutputs(plan, errors);
    ASSERT_NE(server->monitor, nullptr);
    ASSERT_NE(server->program, nullptr);
    EXPECT_EQ(server->program->Sinks().size(), 1u);
    EXPECT_EQ(static_cast<CRecordingKind&>(*plan->kinds[0]).clock_, server->board->clock().get());
    const std::string width = std::to_string(server->board->config().format.width);
    EXPECT_EQ(log, (std::vector<std::string>{"a prepares", "rest prepares",
                                             "a starts at " + width + " wide",
                                             "rest starts at " + width + " wide"}));
  }
  SetDiagnosticSink(previous);
  EXPECT_EQ(log.back(), "rest finishes");
  EXPECT_EQ(figures, (std::vector<std::string>{"a figures", "rest figures"}));
}

// The program on two offscreen screens: the screens it lists, the one it refuses, and a run
// with the picture on the second screen and sound asked for on a machine without a device.
TEST(ProgramOutputs, TheProgramListsRefusesAndShowsScreensAndGoesOnWithoutSound) {
  testing::TempFolder folder;
  const std::string platform = testing::WriteTwoScreenPlatform(folder.File("screens.json"));
  {
    testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"QT_QPA_PLATFORM", platform}});
    ASSERT_TRUE(program.Start({"--output", "screen:2"}));
    EXPECT_EQ(program.WaitForExit(kStartMs), 2) << program.Log();
    EXPECT_NE(program.Log().find("vxrdeck: --output: screen:2: there is no screen 2; the screens "
                                 "are screen 0 \"left\" 1280x720 at 0,0"),
              std::string::npos)
        << program.Log();
    EXPECT_NE(program.Log().find("screen 1 \"right\" 1920x1080 at 1280,0"), std::string::npos);
  }
  {
    testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"QT_QPA_PLATFORM", platform}});
    ASSERT_TRUE(program.Start({"--list-outputs"}));
    EXPECT_EQ(program.WaitForExit(kStartMs), 0) << program.Log();
    EXPECT_NE(program.Log().find("  screen 1 \"right\" 1920x1080"), std::string::npos)
        << program.Log();
    EXPECT_NE(program.Log().find("Sound devices"), std::string::npos) << program.Log();
  }
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  testing::ControllerLine line(pty);
  std::string error;
  const std::string tape =
      testing::MakeTestTape(folder, "reel.avi", testing::SmallTape(6.0), &error);
  ASSERT_FALSE(tape.empty()) << error;
  testing::DeckProcess program(VXRDECK_PROGRAM, folder.path(), {{"QT_QPA_PLATFORM", platform}});
  ASSERT_TRUE(program.Start({"--output", "screen:1", "--output", "sound:no such device", "--tape",
                             tape, "--port", pty.SlavePath(), "--remote"}));
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const testing::Bytes status = line.Status(1);
        return !program.Running() || (status.size() == 1 && status[0] == 0x00);
      },
      kStartMs))
      << program.Log();
  ASSERT_TRUE(program.Running()) << program.Log();
  EXPECT_EQ(line.Send({0x20, 0x01}), (testing::Bytes{0x10, 0x01, 0x11}));  // PLAY
  EXPECT_TRUE(testing::WaitFor([&] { return line.TimeSense() >= 10; }, kActMs));
  EXPECT_TRUE(testing::EndsInOrder(program, {}));
  const std::string log = program.Log();
  EXPECT_NE(log.find("output screen 1 \"right\" 1920x1080: the program picture full screen"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("sound: no sound device"), std::string::npos) << log;
  EXPECT_NE(log.find("the deck goes on without sound"), std::string::npos) << log;
}

}  // namespace
}  // namespace vxr
