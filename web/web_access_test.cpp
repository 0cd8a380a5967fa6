#include "web/web_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "protocol/status_bits.h"
#include "protocol/timecode_text.h"
#include "web/log_ring.h"
#include "web/web_json.h"

namespace vxr {
namespace {

TEST(WebAccessTest, TokenFileMustBeTheOwnersAloneAndHoldOneWord) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("vxr_token_" + std::to_string(::getpid()));
  std::ofstream(file) << "  abc123-XYZ \n";
  std::string token;
  std::string error;
  ::chmod(file.c_str(), 0644);
  EXPECT_FALSE(ReadTokenFile(file.string(), &token, &error));
  EXPECT_NE(error.find("read or written by others"), std::string::npos) << error;
  EXPECT_EQ(error.find("abc123"), std::string::npos);
  ::chmod(file.c_str(), 0600);
  ASSERT_TRUE(ReadTokenFile(file.string(), &token, &error)) << error;
  EXPECT_EQ(token, "abc123-XYZ");
  std::ofstream(file) << "two words\n";
  EXPECT_FALSE(ReadTokenFile(file.string(), &token, &error));
  std::ofstream(file) << "\n";
  EXPECT_FALSE(ReadTokenFile(file.string(), &token, &error));
  EXPECT_NE(error.find("empty"), std::string::npos);
  std::filesystem::remove(file);
  EXPECT_FALSE(ReadTokenFile(file.string(), &token, &error));
  EXPECT_FALSE(ReadTokenFile(std::filesystem::temp_directory_path().string(), &token, &error));

  EXPECT_TRUE(SameToken("abc", "abc"));
  EXPECT_FALSE(SameToken("abd", "abc"));
  EXPECT_FALSE(SameToken("abcd", "abc"));
  EXPECT_FALSE(SameToken("", ""));
}

TEST(WebAccessTest, HostAndOriginChecksStopRebindingAndCrossSiteRequests) {
  const std::vector<std::string> names{"deck7.studio"};
  EXPECT_TRUE(HostAllowed("127.0.0.1:8080", {}));
  EXPECT_TRUE(HostAllowed("LOCALHOST:8080", {}));
  EXPECT_TRUE(HostAllowed("[::1]:8080", {}));
  EXPECT_TRUE(HostAllowed("10.1.2.3", {}));
  EXPECT_TRUE(HostAllowed("deck7.studio:80", names));
  EXPECT_FALSE(HostAllowed("evil.example:8080", names));
  EXPECT_FALSE(HostAllowed("127.0.0.1.evil.example", {}));
  EXPECT_FALSE(HostAllowed("", {}));

  EXPECT_TRUE(SameOrigin("http://127.0.0.1:8080", "", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("http://evil.example", "", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("null", "", "127.0.0.1:8080"));
  EXPECT_TRUE(SameOrigin("", "", "127.0.0.1:8080"));
  EXPECT_TRUE(SameOrigin("", "same-origin", "127.0.0.1:8080"));
  EXPECT_FALSE(SameOrigin("", "same-site", "127.0.0.1:8080"));

  EXPECT_EQ(CookieValue("a=1; vxr_session=xyz ; b=2", "vxr_session"), "xyz");
  EXPECT_EQ(CookieValue("a=1", "vxr_session"), "");
}

TEST(WebJsonTest, TimecodesLampsAndActionsAreReadAsThePanelShowsThem) {
  const std::uint32_t frame = ParseTimecode("01:02:03:04", 25).value_or(0);
  EXPECT_EQ(frame, ((1u * 60 + 2) * 60 + 3) * 25 + 4);
  EXPECT_EQ(FormatTimecode(frame, 25), "01:02:03:04");
  EXPECT_TRUE(ParseTimecode("00:00:10;29", 30));
  EXPECT_TRUE(ParseTimecode("00:00:10.29", 30));
  EXPECT_FALSE(ParseTimecode("00:00:10:25", 25));
  EXPECT_FALSE(ParseTimecode("00:61:00:00", 25));
  EXPECT_FALSE(ParseTimecode("0:00:00:00", 25));
  EXPECT_FALSE(ParseTimecode("00:00:00:00x", 25));

  std::uint8_t s[16] = {};
  s[1] = status::Play.mask;
  s[2] = status::Servo_Lock.mask;
  WebLamps lamps = LampsOf(s);
  EXPECT_TRUE(lamps.play && lamps.forward && lamps.servo_lock && !lamps.stop && !lamps.reverse);
  s[1] = 0;
  s[2] = status::Shuttle.mask | status::Reverse.mask;
  lamps = LampsOf(s);
  EXPECT_TRUE(lamps.shuttle && lamps.reverse && !lamps.forward);
  s[0] = status::Tape_OUT.mask;
  s[2] = status::Jog.mask;
  EXPECT_FALSE(LampsOf(s).forward);

  WebAction action;
  std::string error;
  ASSERT_TRUE(
      ParseAction("/api/transport", R"({"command":"shuttle","speed":-4.5})", 25, &action, &error));
  EXPECT_EQ(action.kind, WebAction::Kind::kShuttle);
  EXPECT_DOUBLE_EQ(action.speed, -4.5);
  EXPECT_FALSE(
      ParseAction("/api/transport", R"({"command":"jog","speed":1e9})", 25, &action, &error));
  ASSERT_TRUE(ParseAction("/api/transport", R"({"command":"cue","timecode":"00:00:02:00"})", 25,
                          &action, &error));
  EXPECT_EQ(action.frame, 50u);
  ASSERT_TRUE(ParseAction("/api/remote", R"({"remote":true})", 25, &action, &error));
  EXPECT_TRUE(action.remote);
  EXPECT_FALSE(ParseAction("/api/remote", R"({"remote":"yes"})", 25, &action, &error));
  EXPECT_FALSE(ParseAction("/api/load", R"({"id":0})", 25, &action, &error));
  EXPECT_FALSE(ParseAction("/api/load", "[1]", 25, &action, &error));
  EXPECT_FALSE(ParseAction("/api/load", "{", 25, &action, &error));
  EXPECT_EQ(LoginToken(R"({"token":"t"})"), "t");
  EXPECT_EQ(LoginToken(R"({"token":1})"), "");

  CLogRing ring(3);
  ring.Add("a\nb\r\n\nc");
  ring.Add("d");
  EXPECT_EQ(ring.Lines(), (std::vector<std::string>{"b", "c", "d"}));
}

}  // namespace
}  // namespace vxr
