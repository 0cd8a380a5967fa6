#include "sinks/stream/output_url.h"

#include <gtest/gtest.h>

#include <string>

#include "vboard/media/ffmpeg_log.h"
#include "vboard/program/sound_cadence.h"

namespace vxr {
namespace {

TEST(OutputUrlTest, StreamAddressesAreCheckedAndSplitIntoProtocolAndEncoderSettings) {
  ParsedOutputUrl udp = ParseOutputUrl("udp://127.0.0.1:5000");
  ASSERT_TRUE(udp.settings) << udp.error;
  EXPECT_EQ(udp.settings->protocol_url, "udp://127.0.0.1:5000?pkt_size=1316");
  EXPECT_EQ(udp.settings->video, StreamVideoCodec::kH264);
  EXPECT_EQ(udp.settings->audio, StreamAudioCodec::kAac);

  ParsedOutputUrl multicast =
      ParseOutputUrl("UDP://239.1.1.1:1234?ttl=4&vcodec=mpeg2&acodec=mp2&vb=8M&burntc=1");
  ASSERT_TRUE(multicast.settings) << multicast.error;
  EXPECT_EQ(multicast.settings->protocol_url, "udp://239.1.1.1:1234?ttl=4&pkt_size=1316");
  EXPECT_EQ(multicast.settings->video, StreamVideoCodec::kMpeg2);
  EXPECT_EQ(multicast.settings->audio, StreamAudioCodec::kMp2);
  EXPECT_EQ(multicast.settings->video_bitrate, 8000000);
  EXPECT_TRUE(multicast.settings->burn_timecode);

  ParsedOutputUrl listener =
      ParseOutputUrl("srt://[::1]:9000?mode=listener&passphrase=0123456789abc&pbkeylen=32");
  ASSERT_TRUE(listener.settings) << listener.error;
  EXPECT_TRUE(listener.settings->srt_listener);
  EXPECT_TRUE(listener.settings->has_passphrase);
  EXPECT_EQ(listener.settings->host, "::1");
  EXPECT_EQ(listener.settings->protocol_url,
            "srt://[::1]:9000?mode=listener&passphrase=0123456789abc&pbkeylen=32");
  EXPECT_EQ(listener.settings->display_name,
            "srt://[::1]:9000?mode=listener&passphrase=***&pbkeylen=32");
  EXPECT_TRUE(ParseOutputUrl("srt://:9000?mode=listener").settings);
  EXPECT_TRUE(ParseOutputUrl("rist://10.0.0.1:8000?rist_profile=1").settings);

  struct Refused {
    const char* url;
    const char* says;
  };
  for (const Refused& bad : {
           Refused{"rtmp://host:1935/live", "unknown kind of output 'rtmp'"},
           Refused{"/tmp/out.ts", "not a stream address"},
           Refused{"udp://127.0.0.1", "no port"},
           Refused{"udp://127.0.0.1:", "no port"},
           Refused{"udp://127.0.0.1:99999", "port '99999' is not a number from 1 to 65535"},
           Refused{"udp://:5000", "no host"},
           Refused{"udp://127.0.0.1:5000?ttl=many", "ttl=many: a whole number"},
           Refused{"udp://127.0.0.1:5000?colour=red", "unknown option 'colour' for udp"},
           Refused{"udp://127.0.0.1:5000?mode=listener", "unknown option 'mode' for udp"},
           Refused{"udp://127.0.0.1:5000?vcodec=vp9", "h264 or mpeg2"},
           Refused{"udp://127.0.0.1:5000?ttl", "needs the form NAME=VALUE"},
           Refused{"srt://h:1?mode=server", "caller, listener or rendezvous"},
           Refused{"srt://h:1?pbkeylen=20", "0, 16, 24 or 32"},
       }) {
    const ParsedOutputUrl parsed = ParseOutputUrl(bad.url);
    EXPECT_FALSE(parsed.settings) << bad.url;
    EXPECT_NE(parsed.error.find(bad.says), std::string::npos) << bad.url << ": " << parsed.error;
  }
  // A refused passphrase is never repeated in the message.
  const ParsedOutputUrl short_secret = ParseOutputUrl("srt://h:1?passphrase=tooshort");
  EXPECT_FALSE(short_secret.settings);
  EXPECT_EQ(short_secret.error.find("tooshort"), std::string::npos) << short_secret.error;
  EXPECT_NE(short_secret.error.find("10 to 79"), std::string::npos);
  // FFmpeg's own messages repeat the address; its secrets go too.
  EXPECT_EQ(RedactSecrets("Connection to srt://h:1?passphrase=abc def&x=1 secret=s'"),
            "Connection to srt://h:1?passphrase=*** def&x=1 secret=***'");
}

TEST(SoundCadenceTest, EveryTickGetsItsShareAndThirtyThousandOver1001NeverDrifts) {
  for (std::int64_t tick = 0; tick < 1000; ++tick) {
    EXPECT_EQ(SoundSamplesInTick(tick, 25, 1), 1920);
  }
  const int pattern[5] = {1602, 1601, 1602, 1601, 1602};
  for (std::int64_t tick = 0; tick < 30000; ++tick) {
    ASSERT_EQ(SoundSamplesInTick(tick, 30000, 1001), pattern[tick % 5]) << tick;
  }
  // An hour of 29.97 (107892 ticks, a multiple of five) is exactly 8008 samples per five ticks.
  EXPECT_EQ(SoundSampleAtTick(107890, 30000, 1001), 107890 / 5 * 8008);
}

}  // namespace
}  // namespace vxr
