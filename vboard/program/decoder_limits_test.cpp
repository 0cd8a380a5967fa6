#include "vboard/program/decoder_limits.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "vboard/server/board_config.h"

namespace vxr {
namespace {

BoardConfig From(const std::map<std::string, std::string>& env, std::string* errors) {
  std::ostringstream out;
  BoardConfig config = BoardConfigFromEnvironment(
      [&env](const char* name) -> const char* {
        const auto found = env.find(name);
        return found == env.end() ? nullptr : found->second.c_str();
      },
      out);
  *errors = out.str();
  return config;
}

TEST(BoardConfig, DecodingBudgetAndReadAheadReachTheDecoder) {
  std::string errors;
  // Unset: the decoder's own defaults, a budget that fits a 4 GiB machine at 1080.
  BoardConfig config = From({}, &errors);
  EXPECT_FALSE(config.decode_mb.has_value());
  EXPECT_FALSE(config.read_ahead.has_value());
  DecoderLimits limits = DecoderLimits{}.WithBoardSettings(config);
  EXPECT_EQ(limits.max_bytes + limits.max_kept_bytes, DecoderLimits::kDefaultMegabytes << 20);
  EXPECT_EQ(limits.read_ahead, DecoderLimits::kDefaultReadAhead);

  config = From({{"VXR_BOARD_DECODE_MB", "1024"}, {"VXR_BOARD_READ_AHEAD", "40"}}, &errors);
  EXPECT_TRUE(errors.empty()) << errors;
  EXPECT_EQ(config.decode_mb, 1024u);
  EXPECT_EQ(config.read_ahead, 40u);
  DecoderLimits tuned;
  tuned.poll_ms = 7;
  limits = tuned.WithBoardSettings(config);
  EXPECT_EQ(limits.max_bytes + limits.max_kept_bytes, std::size_t{1024} << 20);
  EXPECT_EQ(limits.read_ahead, 40u);
  EXPECT_GE(limits.max_pictures, 41u);  // the read-ahead fits the cache
  EXPECT_EQ(limits.poll_ms, 7);         // what the settings do not speak of stays

  // A budget splits a quarter for converted pictures, the rest for pictures kept as decoded; at
  // least a megabyte, and room for the read-ahead.
  limits = DecoderLimits::ForBudget(100, 8);
  EXPECT_EQ(limits.max_bytes, std::size_t{25} << 20);
  EXPECT_EQ(limits.max_kept_bytes, std::size_t{75} << 20);
  EXPECT_EQ(limits.max_pictures, DecoderLimits{}.max_pictures);
  limits = DecoderLimits::ForBudget(0, 40);
  EXPECT_EQ(limits.max_bytes + limits.max_kept_bytes, std::size_t{1} << 20);
  EXPECT_EQ(limits.max_pictures, 41u);

  // Refused with a line that names the variable; the default stays.
  for (const char* bad : {"", "lots", "-5", "12", "65537", "1e3", "512 ", "99999999999"}) {
    config = From({{"VXR_BOARD_DECODE_MB", bad}, {"VXR_BOARD_READ_AHEAD", bad}}, &errors);
    EXPECT_FALSE(config.decode_mb.has_value()) << bad;
    EXPECT_FALSE(config.read_ahead.has_value() && std::string(bad) != "12") << bad;
    EXPECT_NE(errors.find("VXR_BOARD_DECODE_MB=\"" + std::string(bad) + "\""), std::string::npos);
  }
  config = From({{"VXR_BOARD_READ_AHEAD", "0"}}, &errors);
  EXPECT_FALSE(config.read_ahead.has_value());
  EXPECT_NE(errors.find("VXR_BOARD_READ_AHEAD=\"0\" is not a number of pictures from 1 to 100"),
            std::string::npos);
}

// The board's budget counts the library's own pictures: what the store may keep as decoded
// shrinks by them, by half the kept share at the most; explicit limits count none.
TEST(DecoderLimits, TheLibrarysPicturesAreCountedInTheKeptShare) {
  constexpr std::size_t kPicture1080 = 1920 * 1080 * 3 / 2;  // 4:2:0, 8 bits
  const DecoderLimits board = DecoderLimits{}.WithBoardSettings(BoardConfig{});
  ASSERT_EQ(board.library_pictures,
            DecoderLimits::kLibraryPictures + static_cast<std::size_t>(board.threads));
  EXPECT_EQ(board.KeptRoom(kPicture1080),
            board.max_kept_bytes - board.library_pictures * kPicture1080);
  EXPECT_EQ(board.KeptRoom(board.max_kept_bytes), board.max_kept_bytes / 2);
  EXPECT_EQ(board.KeptRoom(0), board.max_kept_bytes);
  const DecoderLimits plain;
  EXPECT_EQ(plain.KeptRoom(kPicture1080), plain.max_kept_bytes);
}

}  // namespace
}  // namespace vxr
