#include "app/http_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/deck_options.h"
#include "testing/media/test_tapes.h"

namespace vxr {
namespace {

TEST(HttpSettingsTest, LoopbackByDefaultAndAnyOtherAddressOnlyWithAPrivateToken) {
  testing::TempFolder folder;
  CConfigStore config("vxrdeck", folder.File("vxrdeck.ini"));
  HttpSettings settings;
  std::string error;
  ASSERT_TRUE(ReadHttpSettings(DeckOptions(), config, &settings, &error));
  EXPECT_FALSE(settings.enabled);

  ParsedOptions parsed = ParseDeckOptions({"--http", "8080"}, "/");
  ASSERT_EQ(parsed.action, OptionsAction::kRun) << parsed.error;
  ASSERT_TRUE(ReadHttpSettings(parsed.options, config, &settings, &error)) << error;
  EXPECT_TRUE(settings.enabled);
  EXPECT_EQ(settings.address, "127.0.0.1");
  EXPECT_EQ(settings.port, 8080);
  EXPECT_TRUE(settings.token.empty());

  // Off loopback without a token: refused, saying what to do.
  parsed = ParseDeckOptions({"--http", "0.0.0.0:8080"}, "/");
  EXPECT_FALSE(ReadHttpSettings(parsed.options, config, &settings, &error));
  EXPECT_NE(error.find("without a token"), std::string::npos) << error;
  EXPECT_NE(error.find("token_file="), std::string::npos) << error;

  // A token file others may read is refused; once private, it is read and the address served.
  const std::string token = folder.WriteFile("token", "abcdef0123\n");
  ::chmod(token.c_str(), 0640);
  folder.WriteFile("vxrdeck.ini", "[Http]\nlisten=0.0.0.0:8081\ntoken_file=" + token +
                                      "\nhosts=deck7.studio, deck7\n");
  EXPECT_FALSE(ReadHttpSettings(DeckOptions(), config, &settings, &error));
  EXPECT_NE(error.find("owner only"), std::string::npos) << error;
  EXPECT_EQ(error.find("abcdef0123"), std::string::npos) << error;
  ::chmod(token.c_str(), 0600);
  ASSERT_TRUE(ReadHttpSettings(DeckOptions(), config, &settings, &error)) << error;
  EXPECT_EQ(settings.address, "0.0.0.0");
  EXPECT_EQ(settings.port, 8081);
  EXPECT_EQ(settings.token, "abcdef0123");
  EXPECT_EQ(settings.host_names, (std::vector<std::string>{"deck7.studio", "deck7"}));

  for (const char* bad : {"here:80", "127.0.0.1:", "99999", "x"}) {
    parsed = ParseDeckOptions({"--http", bad}, "/");
    ASSERT_EQ(parsed.action, OptionsAction::kRun) << bad;
    EXPECT_FALSE(ReadHttpSettings(parsed.options, config, &settings, &error)) << bad;
    EXPECT_NE(error.find("--http"), std::string::npos) << error;
  }
  EXPECT_EQ(ParseDeckOptions({"--http"}, "/").action, OptionsAction::kUsageError);
}

}  // namespace
}  // namespace vxr
