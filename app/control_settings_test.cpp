#include "app/control_settings.h"

#include <gtest/gtest.h>

#include "app/deck_options.h"
#include "testing/media/test_tapes.h"

namespace vxr {
namespace {

TEST(ControlSettingsTest, OptionsWinOverTheIniAndOnlyLoopbackGoesWithoutAnAllowList) {
  testing::TempFolder folder;
  CConfigStore config("vxrdeck", folder.File("vxrdeck.ini"));
  ControlSettings settings;
  std::string error;
  // Nothing set: no server, no library folders.
  ASSERT_TRUE(ReadControlSettings(DeckOptions(), config, &settings, &error));
  EXPECT_FALSE(settings.enabled);
  EXPECT_TRUE(settings.libraries.empty());

  // The INI's: a list written with commas, and the library's numbered folders.
  {
    std::string text =
        "[Control]\nlisten=0.0.0.0:9994\nallow=10.0.0.0/8,192.168.1.0/24\n"
        "[Library]\n1=/srv/a\n2=/srv/b\n";
    folder.WriteFile("vxrdeck.ini", text);
  }
  ASSERT_TRUE(ReadControlSettings(DeckOptions(), config, &settings, &error)) << error;
  EXPECT_TRUE(settings.enabled);
  EXPECT_EQ(settings.endpoint.address, "0.0.0.0");
  EXPECT_EQ(settings.endpoint.port, 9994);
  EXPECT_TRUE(settings.allow.Allows(0xC0A80105u));
  EXPECT_EQ(settings.libraries, (std::vector<std::string>{"/srv/a", "/srv/b"}));

  // The command line's win; a non-loopback address without any allow-list is refused.
  const ParsedOptions parsed = ParseDeckOptions(
      {"--control", "9995", "--library", "tapes", "--library", "/srv/c"}, "/home/deck");
  ASSERT_EQ(parsed.action, OptionsAction::kRun) << parsed.error;
  ASSERT_TRUE(ReadControlSettings(parsed.options, config, &settings, &error)) << error;
  EXPECT_EQ(settings.endpoint.address, "127.0.0.1");
  EXPECT_EQ(settings.endpoint.port, 9995);
  EXPECT_EQ(settings.libraries, (std::vector<std::string>{"/home/deck/tapes", "/srv/c"}));
  folder.WriteFile("vxrdeck.ini", "[Control]\nlisten=10.0.0.5:\n");
  EXPECT_FALSE(ReadControlSettings(DeckOptions(), config, &settings, &error));
  EXPECT_NE(error.find("allow"), std::string::npos);
  const ParsedOptions bad = ParseDeckOptions({"--control", "here:1"}, "/");
  ASSERT_EQ(bad.action, OptionsAction::kRun);
  EXPECT_FALSE(ReadControlSettings(bad.options, config, &settings, &error));
  EXPECT_EQ(ParseDeckOptions({"--control"}, "/").action, OptionsAction::kUsageError);
  EXPECT_EQ(ParseDeckOptions({"--control", "1", "--control", "2"}, "/").action,
            OptionsAction::kUsageError);
}

}  // namespace
}  // namespace vxr
