#include "sinks/stream/output_url.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  EXPECT_EQ(multicast.settings->delay_ms, 500);
  EXPECT_FALSE(multicast.settings->mux_rate);

  // The buffer, the rate and the service are the deck's own: none of them reaches FFmpeg's URL.
  // UDP is paced at the stream's rate unless bitrate= says otherwise.
  ParsedOutputUrl tuned = ParseOutputUrl("udp://127.0.0.1:5000?Delay=800&muxrate=7M&name=Deck A 2");
  ASSERT_TRUE(tuned.settings) << tuned.error;
  EXPECT_EQ(tuned.settings->protocol_url, "udp://127.0.0.1:5000?pkt_size=1316");
  EXPECT_EQ(tuned.settings->delay_ms, 800);
  EXPECT_EQ(tuned.settings->mux_rate, 7000000);
  EXPECT_EQ(tuned.settings->service_name, "Deck A 2");
  EXPECT_FALSE(tuned.settings->udp_pacing_given);
  ParsedOutputUrl paced = ParseOutputUrl("udp://127.0.0.1:5000?bitrate=9000000");
  ASSERT_TRUE(paced.settings) << paced.error;
  EXPECT_TRUE(paced.settings->udp_pacing_given);

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
  EXPECT_EQ(listener.settings->max_callers, 8);
  // The listener's callers are the deck's option: not handed to FFmpeg.
  ParsedOutputUrl callers = ParseOutputUrl("srt://:9000?mode=listener&MaxCallers=3");
  ASSERT_TRUE(callers.settings) << callers.error;
  EXPECT_EQ(callers.settings->max_callers, 3);
  EXPECT_EQ(callers.settings->protocol_url, "srt://:9000?mode=listener");
  EXPECT_NE(ParseOutputUrl("srt://:9000?mode=listener&maxcallers=0").error.find("from 1 to 64"),
            std::string::npos);
  EXPECT_NE(ParseOutputUrl("srt://:9000?mode=listener&maxcallers=65").error.find("from 1 to 64"),
            std::string::npos);
  EXPECT_FALSE(ParseOutputUrl("udp://h:1?maxcallers=2").settings);
  EXPECT_TRUE(ParseOutputUrl("srt://:9000?mode=listener").settings);
  EXPECT_TRUE(ParseOutputUrl("rist://10.0.0.1:8000?rist_profile=1").settings);

  const std::string long_name = "udp://h:1?name=" + std::string(65, 'n');
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
           Refused{"udp://127.0.0.1:5000?ttl", "an option needs the form NAME=VALUE"},
           // The deck would read one value and FFmpeg the other.
           Refused{"srt://h:1?mode=listener&MODE=caller", "option 'mode' is given twice"},
           Refused{"udp://h:1?vb=8M&vb=5M", "option 'vb' is given twice"},
           // FFmpeg reads these only when it connects and refuses them as an I/O error.
           Refused{"udp://h:1?pkt_size=100", "pkt_size=100: a number from 188 to 65507"},
           Refused{"srt://h:1?pkt_size=1500", "pkt_size=1500: a number from 188 to 1456"},
           Refused{"udp://h:1?ttl=256", "ttl=256: a number from 0 to 255"},
           Refused{"srt://h:1?latency=-5", "latency=-5: a number not below 0"},
           Refused{"srt://h:1?passphrase-file=a&passphrase=0123456789ab", "together"},
           Refused{"udp://h:1?passphrase-file=a", "unknown option 'passphrase-file' for udp"},
           Refused{"srt://h:1?mode=server", "caller, listener or rendezvous"},
           Refused{"srt://h:1?pbkeylen=20", "0, 16, 24 or 32"},
           Refused{"udp://h:1?delay=50", "delay=50: milliseconds from 100 to 5000"},
           Refused{"srt://h:1?delay=half", "milliseconds from 100 to 5000"},
           Refused{"udp://h:1?muxrate=100k", "a bit rate from 200k to 200M"},
           Refused{"udp://h:1?name=", "a service name of 1 to 64 printable characters"},
           Refused{"udp://h:1?name=a\tb", "a service name"},
           Refused{long_name.c_str(), "a service name"},
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
  // Names in any case are the options FFmpeg knows in lowercase, the one it matches.
  const ParsedOutputUrl capitalised =
      ParseOutputUrl("srt://h:1?Mode=Listener&Passphrase=0123456789ab&VCodec=mpeg2");
  EXPECT_FALSE(capitalised.settings);  // the value is matched as written
  const ParsedOutputUrl upper = ParseOutputUrl("srt://h:1?MODE=listener&PassPhrase=0123456789ab");
  ASSERT_TRUE(upper.settings) << upper.error;
  EXPECT_TRUE(upper.settings->srt_listener);
  EXPECT_TRUE(upper.settings->has_passphrase);
  EXPECT_EQ(upper.settings->protocol_url, "srt://h:1?mode=listener&passphrase=0123456789ab");
  EXPECT_EQ(upper.settings->display_name, "srt://h:1?mode=listener&passphrase=***");
  // No message repeats a secret, however its name is spelt, nor what stands where a name should.
  for (const char* url :
       {"srt://h:1?pasphrase=hidden-value-1&mode=server",
        "srt://h:1?Passphrase=hidden-value-1&pbkeylen=7", "srt://h:1?mode=listener&hidden-value-1",
        "srt://user:hidden-value-1@h:1?mode=x", "rist://h:1?SECRET=hidden-value-1&rist_profile=9",
        "srt://h:1?passphrase=hidden-value-1&passphrase=hidden-value-1"}) {
    const ParsedOutputUrl parsed = ParseOutputUrl(url);
    EXPECT_FALSE(parsed.settings) << url;
    EXPECT_EQ(parsed.error.find("hidden-value-1"), std::string::npos) << parsed.error;
    EXPECT_EQ(RedactOutputUrl(url).find("hidden-value-1"), std::string::npos) << url;
  }
  EXPECT_EQ(ParseOutputUrl("srt://h:1?pasphrase=hidden-value-1").error,
            "output 'srt://h:1?pasphrase=***': unknown option 'pasphrase' for srt");
  EXPECT_EQ(RedactOutputUrl("srt://h:1?mode=listener&latency=20&x&streamid=a"),
            "srt://h:1?mode=listener&latency=20&***&streamid=a");

  // FFmpeg's own messages repeat the address; its secrets go too.
  EXPECT_EQ(RedactSecrets("Connection to srt://h:1?passphrase=abc def&x=1 secret=s'"),
            "Connection to srt://h:1?passphrase=*** def&x=1 secret=***'");
}

// passphrase-file=: each output's own file, a relative name in $CREDENTIALS_DIRECTORY when set;
// its one line is the passphrase, handed over apart from the address; a bad one is named by its
// file, never by its content.
TEST(OutputUrlTest, APassphraseFileIsReadAtStartAndNeverShown) {
  const std::string folder = ::testing::TempDir() + "vxr_passphrase_" + std::to_string(::getpid());
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(folder + "/" + name) << text;
    return folder + "/" + name;
  };
  const std::string good = write("good", "file-passphrase-1\n");
  const std::string short_one = write("short", "too-short\n");
  const std::string two_lines = write("two", "file-passphrase-1\nsecond-line-22\n");
  ParsedOutputUrl parsed = ParseOutputUrl("srt://h:1?mode=listener&Passphrase-File=" + good);
  ASSERT_TRUE(parsed.settings) << parsed.error;
  std::string error;
  ASSERT_TRUE(LoadPassphraseFile(&*parsed.settings, &error)) << error;
  EXPECT_EQ(parsed.settings->passphrase, "file-passphrase-1");
  EXPECT_TRUE(parsed.settings->has_passphrase);
  EXPECT_EQ(parsed.settings->protocol_url, "srt://h:1?mode=listener");
  EXPECT_EQ(parsed.settings->display_name, "srt://h:1?mode=listener&passphrase=***");

  // A relative name is the credentials folder's.
  ::setenv("CREDENTIALS_DIRECTORY", folder.c_str(), 1);
  StreamSettings relative;
  relative.passphrase_file = "good";
  EXPECT_TRUE(LoadPassphraseFile(&relative, &error)) << error;
  EXPECT_EQ(relative.passphrase, "file-passphrase-1");
  ::unsetenv("CREDENTIALS_DIRECTORY");

  for (const std::string& bad : {short_one, two_lines, folder + "/missing"}) {
    StreamSettings settings;
    settings.passphrase_file = bad;
    error.clear();
    EXPECT_FALSE(LoadPassphraseFile(&settings, &error)) << bad;
    EXPECT_NE(error.find("passphrase-file '" + bad + "'"), std::string::npos) << error;
    EXPECT_EQ(error.find("too-short"), std::string::npos) << error;
    EXPECT_EQ(error.find("second-line"), std::string::npos) << error;
    EXPECT_TRUE(settings.passphrase.empty());
  }
  // No file, nothing to read.
  StreamSettings none;
  EXPECT_TRUE(LoadPassphraseFile(&none, &error));
  EXPECT_FALSE(none.has_passphrase);
  std::filesystem::remove_all(folder);
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
