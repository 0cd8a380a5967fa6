#include "app/deck_options.h"

#include <gtest/gtest.h>

namespace vxr {
namespace {

ParsedOptions Parse(std::vector<std::string> arguments) {
  return ParseDeckOptions(arguments, "/home/op/tapes");
}

TEST(CommandLineTest, NoOptionsRunAsTheDesktopWould) {
  const ParsedOptions parsed = Parse({});
  EXPECT_EQ(parsed.action, OptionsAction::kRun);
  EXPECT_FALSE(parsed.options.port);
  EXPECT_FALSE(parsed.options.tape);
  EXPECT_FALSE(parsed.options.remote);
  EXPECT_FALSE(parsed.options.no_monitor);
}

TEST(CommandLineTest, PortTapeAndRemoteInEitherSpelling) {
  ParsedOptions parsed =
      Parse({"--port", "/dev/pts/7", "--tape=reel.avi", "--remote", "--no-monitor"});
  ASSERT_EQ(parsed.action, OptionsAction::kRun) << parsed.error;
  EXPECT_TRUE(parsed.options.no_monitor);
  EXPECT_EQ(parsed.options.port, "/dev/pts/7");
  EXPECT_EQ(parsed.options.tape, "/home/op/tapes/reel.avi");
  EXPECT_TRUE(parsed.options.remote);

  parsed = Parse({"--port=COM2", "--tape", "/media/a=b.avi"});
  ASSERT_EQ(parsed.action, OptionsAction::kRun) << parsed.error;
  EXPECT_EQ(parsed.options.port, "COM2");
  EXPECT_EQ(parsed.options.tape, "/media/a=b.avi");
}

TEST(CommandLineTest, HeadlessSoundAndOutputFlagsAndRepeatedOutputs) {
  const ParsedOptions parsed =
      Parse({"--headless", "--no-sound", "--list-outputs", "--output", "udp://a:1",
             "--output=srt://b:2?mode=listener", "--tape=t.avi"});
  ASSERT_EQ(parsed.action, OptionsAction::kRun) << parsed.error;
  EXPECT_TRUE(parsed.options.headless);
  EXPECT_TRUE(parsed.options.no_sound);
  EXPECT_TRUE(parsed.options.list_outputs);
  EXPECT_FALSE(parsed.options.remote);
  EXPECT_EQ(parsed.options.outputs,
            (std::vector<std::string>{"udp://a:1", "srt://b:2?mode=listener"}));
  EXPECT_EQ(parsed.options.tape, "/home/op/tapes/t.avi");
  EXPECT_FALSE(Parse({}).options.headless);
}

TEST(CommandLineTest, RelativeTapesAreMadeAbsoluteAndClean) {
  EXPECT_EQ(Parse({"--tape", "../shared/./x.tml"}).options.tape, "/home/op/shared/x.tml");
  EXPECT_EQ(Parse({"--tape", "./sub//y.avi"}).options.tape, "/home/op/tapes/sub/y.avi");
  EXPECT_EQ(Parse({"--tape", "/abs/z.avi"}).options.tape, "/abs/z.avi");
}

TEST(CommandLineTest, HelpAndVersion) {
  EXPECT_EQ(Parse({"--help"}).action, OptionsAction::kHelp);
  EXPECT_EQ(Parse({"-h"}).action, OptionsAction::kHelp);
  EXPECT_EQ(Parse({"--version"}).action, OptionsAction::kVersion);
  EXPECT_EQ(Parse({"--version", "--help"}).action, OptionsAction::kHelp);
  const std::string usage = DeckUsage("vxrdeck");
  for (const char* word :
       {"--port NAME", "--tape PATH", "--remote", "--no-monitor", "--help", "--version",
        "VXR_BOARD_MONITOR", "Kavendi/Calvera/vxrdeck.ini", "VXR_BOARD_COUNT"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
}

TEST(CommandLineTest, BadOptionsAreRefusedWithAClearReason) {
  const struct {
    std::vector<std::string> arguments;
    const char* reason;
  } cases[] = {
      {{"--bogus"}, "Unknown option 'bogus'"},
      {{"-x"}, "Unknown option 'x'"},
      {{"--headless", "--headless"}, "option --headless is given twice"},
      {{"--output"}, "option --output needs a value"},
      {{"reel.avi"}, "unexpected argument 'reel.avi'"},
      {{"--port"}, "option --port needs a value"},
      {{"--tape", "--remote"}, "option --tape needs a value"},
      {{"--port="}, "option --port needs a non-empty value"},
      {{"--tape", ""}, "option --tape needs a non-empty value"},
      {{"--remote=yes"}, "Unexpected value after '--remote'"},
      {{"--port", "COM1", "--port", "COM2"}, "option --port is given twice"},
      {{"--tape=a", "--tape=b"}, "option --tape is given twice"},
      {{"--remote", "--remote"}, "option --remote is given twice"},
      {{"--no-monitor", "--no-monitor"}, "option --no-monitor is given twice"},
      {{"--no-monitor=1"}, "Unexpected value after '--no-monitor'"},
  };
  for (const auto& c : cases) {
    const ParsedOptions parsed = Parse(c.arguments);
    EXPECT_EQ(parsed.action, OptionsAction::kUsageError) << c.reason;
    EXPECT_EQ(parsed.error, c.reason);
  }
}

}  // namespace
}  // namespace vxr
