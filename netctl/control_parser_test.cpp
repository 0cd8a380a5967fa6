#include "netctl/control_parser.h"

#include <gtest/gtest.h>

#include "netctl/control_address.h"
#include "netctl/control_text.h"

namespace vxr {
namespace {

TEST(ControlParserTest, LinesAndBlocksGiveTheSameCommands) {
  CControlParser parser;
  // One line, then the same as a block with CRLF, then a command without parameters split
  // over two reads.
  auto commands = parser.Feed("goto: clip id: 2\nplay:\r\nspeed: 50\r\nloop: true\r\n\r\ntrans");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].name, "goto");
  ASSERT_NE(commands[0].Find("clip id"), nullptr);
  EXPECT_EQ(*commands[0].Find("clip id"), "2");
  EXPECT_EQ(commands[1].name, "play");
  EXPECT_EQ(*commands[1].Find("speed"), "50");
  EXPECT_EQ(*commands[1].Find("loop"), "true");
  EXPECT_TRUE(parser.Pending());
  commands = parser.Feed("port info\n");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].name, "transport info");
  EXPECT_TRUE(commands[0].parameters.empty());
  EXPECT_FALSE(parser.Pending());
}

TEST(ControlParserTest, SingleLineValuesKeepTheirColonsAndBlanks) {
  const ControlCommand range = ParseCommandLine("PlayRange Set: in: 00:00:01:00 out: 00:00:05;10");
  EXPECT_EQ(range.name, "playrange set");
  EXPECT_EQ(*range.Find("in"), "00:00:01:00");
  EXPECT_EQ(*range.Find("out"), "00:00:05;10");
  const ControlCommand notify =
      ParseCommandLine("notify: transport: true display timecode: false slot: true");
  ASSERT_EQ(notify.parameters.size(), 3u);
  EXPECT_EQ(notify.parameters[1].first, "display timecode");
  EXPECT_EQ(notify.parameters[1].second, "false");
  const ControlCommand play = ParseCommandLine("play: single clip: true speed: -200");
  EXPECT_EQ(*play.Find("single clip"), "true");
  EXPECT_EQ(*play.Find("speed"), "-200");
  EXPECT_TRUE(ParseCommandLine("goto: 12").syntax_error);
  EXPECT_TRUE(ParseCommandLine(": x: 1").syntax_error);
}

TEST(ControlParserTest, OversizedGarbageAndMalformedBlocksAreSyntaxErrorsAndTheStreamGoesOn) {
  CControlParser parser;
  const std::string huge(CControlParser::kMaxCommandBytes + 10, 'x');
  auto commands = parser.Feed(huge + "\nping\n");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_TRUE(commands[0].syntax_error);
  EXPECT_EQ(commands[1].name, "ping");
  commands = parser.Feed(std::string("\x01\xff\x00zz\n", 6) + "ping\n");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_TRUE(commands[0].syntax_error);
  EXPECT_FALSE(commands[1].syntax_error);
  // A block grown past the limit, and one with a line that is not "key: value".
  std::string block = "goto:\n";
  for (int i = 0; i < 200; ++i) block += "clip id: 1234567890123456789012345\n";
  commands = parser.Feed(block + "\nnotify:\nnonsense\n\nping\n");
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_TRUE(commands[0].syntax_error);
  EXPECT_TRUE(commands[1].syntax_error);
  EXPECT_EQ(commands[2].name, "ping");
  // An unfinished block is pending until the caller abandons it.
  EXPECT_TRUE(parser.Feed("goto:\nclip id: 1\n").empty());
  EXPECT_TRUE(parser.Pending());
  parser.Abandon();
  EXPECT_FALSE(parser.Pending());
  EXPECT_EQ(parser.Feed("ping\n").at(0).name, "ping");
}

TEST(ControlTextTest, TimecodesNumbersAndReplies) {
  EXPECT_EQ(FormatTimecode(0, 25), "00:00:00:00");
  EXPECT_EQ(FormatTimecode(25 * 3661 + 24, 25), "01:01:01:24");
  EXPECT_EQ(FormatTimecode(30 * 59 + 29, 30), "00:00:59:29");
  EXPECT_EQ(ParseTimecode("01:01:01:24", 25), 25u * 3661 + 24);
  EXPECT_EQ(ParseTimecode("00:00:01;05", 30), 35u);
  EXPECT_FALSE(ParseTimecode("00:00:01:25", 25));
  EXPECT_FALSE(ParseTimecode("00:60:00:00", 25));
  EXPECT_FALSE(ParseTimecode("0:00:01:00", 25));
  EXPECT_FALSE(ParseTimecode("aa:00:01:00", 25));
  EXPECT_EQ(ParseBool("TRUE"), true);
  EXPECT_FALSE(ParseBool("yes"));
  EXPECT_EQ(ParseInteger("+5", -10, 10), 5);
  EXPECT_EQ(ParseInteger("-10", -10, 10), -10);
  EXPECT_FALSE(ParseInteger("11", -10, 10));
  EXPECT_FALSE(ParseInteger("5x", -10, 10));
  EXPECT_FALSE(ParseInteger("", -10, 10));
  EXPECT_EQ(ReplyBlock(204, "device info", {{"model", "vxrdeck"}}),
            "204 device info:\r\nmodel: vxrdeck\r\n\r\n");
}

TEST(ControlAddressTest, EndpointsAllowListsAndTheLoopbackRule) {
  ControlEndpoint endpoint;
  std::string error;
  ASSERT_TRUE(ParseControlEndpoint("9994", &endpoint, &error));
  EXPECT_EQ(endpoint.address, "127.0.0.1");
  EXPECT_EQ(endpoint.port, 9994);
  ASSERT_TRUE(ParseControlEndpoint("0.0.0.0:9993", &endpoint, &error));
  EXPECT_EQ(endpoint.address, "0.0.0.0");
  EXPECT_FALSE(ParseControlEndpoint("host:9993", &endpoint, &error));
  EXPECT_FALSE(ParseControlEndpoint("70000", &endpoint, &error));
  EXPECT_FALSE(error.empty());

  CAllowList allow;
  EXPECT_FALSE(CheckControlAccess(endpoint, allow, &error));
  EXPECT_NE(error.find("--control-allow"), std::string::npos);
  ASSERT_TRUE(allow.Parse("10.0.0.0/8, 192.168.1.7", &error));
  EXPECT_TRUE(CheckControlAccess(endpoint, allow, &error));
  EXPECT_TRUE(allow.Allows(0x0A010203u));
  EXPECT_TRUE(allow.Allows(0xC0A80107u));
  EXPECT_FALSE(allow.Allows(0xC0A80108u));
  EXPECT_FALSE(allow.Allows(0x0B000001u));
  EXPECT_FALSE(allow.Parse("10.0.0.0/33", &error));
  EXPECT_FALSE(allow.Parse("ten", &error));
  EXPECT_TRUE(IsLoopbackAddress("127.0.0.2"));
  EXPECT_FALSE(IsLoopbackAddress("10.0.0.1"));
}

}  // namespace
}  // namespace vxr
