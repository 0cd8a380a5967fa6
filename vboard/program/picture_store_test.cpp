#include "vboard/program/picture_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "vboard/media/av_handles.h"

namespace vxr {
namespace {

constexpr std::int64_t kNow = 1'000'000'000;
constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr std::size_t kPictureBytes = kWidth * kHeight * sizeof(std::uint32_t);

// A converted picture whose pixels all carry tag.
std::shared_ptr<const Picture> PictureOf(std::uint32_t tag, int width = kWidth,
                                         int height = kHeight) {
  auto picture = std::make_shared<Picture>();
  picture->width = width;
  picture->height = height;
  picture->pixels.assign(static_cast<std::size_t>(width) * height, tag);
  return picture;
}

// A picture kept as decoded: part of 4:2:0 material of kWidth x kHeight.
std::shared_ptr<const CRawPicture> RawOf(const Crop& part = Crop{0, 0, kWidth, kHeight}) {
  AvFrameHandle frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
  return CRawPicture::Keep(frame.get(), part);
}

class PictureStoreTest : public ::testing::Test {
 protected:
  PictureStoreTest() : tape_(std::make_shared<CSuperClip>(25.0)) {}

  CPictureStore::Source At(std::int64_t frame, std::uint32_t movie_frame = 0) const {
    return CPictureStore::Source{{tape_, frame}, "a.mov", movie_frame};
  }
  // The store's holdings at frame, as the planner sees them.
  std::optional<IHoldings::Converted> ConvertedAt(const CPictureStore& store, std::int64_t frame,
                                                  const std::optional<Framing>& framing = {}) {
    std::optional<IHoldings::Converted> converted;
    store.Inspect([&](const IHoldings& holdings) {
      converted = holdings.ConvertedAt({tape_.get(), frame}, framing);
    });
    return converted;
  }
  std::optional<std::int64_t> FailedAt(const CPictureStore& store, std::int64_t frame) {
    std::optional<std::int64_t> failed;
    store.Inspect([&](const IHoldings& holdings) {
      failed = holdings.FailedAt({tape_.get(), frame});
    });
    return failed;
  }

  std::shared_ptr<CSuperClip> tape_;
  CPictureStore::Dropped dropped_;  // what the stores let go
  // Eviction by distance from frame 11.
  const CPictureStore::ConvertedRank by_distance_ = [](const TapeFrame& frame) {
    return static_cast<std::size_t>(std::llabs(frame.second - 11));
  };
};

TEST_F(PictureStoreTest, ConvertedPicturesStayWithinTheirLimitsTheHighestRankGoingFirst) {
  DecoderLimits limits;
  limits.max_pictures = 3;
  CPictureStore store(limits);
  for (std::int64_t frame : {10, 11, 12}) {
    store.Insert(At(frame), PictureOf(static_cast<std::uint32_t>(frame)), by_distance_, kNow,
                 &dropped_);
  }
  // A fourth that ranks worst goes at once and is not tried again before the retry time.
  store.Insert(At(14), PictureOf(14), by_distance_, kNow + 1, &dropped_);
  DecoderStats stats = store.Stats();
  EXPECT_EQ(stats.decoded, 4);
  EXPECT_EQ(stats.evicted, 1);
  EXPECT_EQ(stats.cached, 3u);
  EXPECT_EQ(stats.cached_bytes, 3 * kPictureBytes);
  EXPECT_EQ(stats.peak_bytes, 3 * kPictureBytes);
  EXPECT_FALSE(ConvertedAt(store, 14));
  EXPECT_EQ(FailedAt(store, 14), kNow + 1);
  ASSERT_EQ(dropped_.pictures.size(), 1u) << "handed back to be freed outside the lock";
  EXPECT_EQ(dropped_.pictures[0]->pixels[0], 14u);
  // One ranked beyond the read-ahead (no longer planned when it came) goes without failing:
  // the plan may come back to it.
  const auto beyond = static_cast<std::int64_t>(11 + limits.read_ahead + 1);
  store.Insert(At(beyond), PictureOf(static_cast<std::uint32_t>(beyond)), by_distance_, kNow + 1,
               &dropped_);
  EXPECT_FALSE(ConvertedAt(store, beyond));
  EXPECT_FALSE(FailedAt(store, beyond));
  dropped_.pictures.clear();
  // A picture put in again for its frame replaces the one there and is no longer failed.
  store.Fail({tape_.get(), 10}, kNow);
  EXPECT_EQ(store.Stats().failed, 1);
  EXPECT_EQ(FailedAt(store, 10), kNow);
  store.Insert(At(10), PictureOf(100), by_distance_, kNow, &dropped_);
  EXPECT_FALSE(FailedAt(store, 10));
  EXPECT_EQ(store.Lookup(tape_.get(), 10, nullptr).picture->pixels[0], 100u);
  stats = store.Stats();
  EXPECT_EQ(stats.cached, 3u);
  EXPECT_EQ(stats.evicted, 2);
  EXPECT_EQ(stats.cached_bytes, 3 * kPictureBytes);

  // The bytes: two pictures at the most, the peak as high as they went.
  limits.max_pictures = 32;
  limits.max_bytes = 2 * kPictureBytes;
  CPictureStore small(limits);
  small.Insert(At(11), PictureOf(11, kWidth, kHeight / 2), by_distance_, kNow, &dropped_);
  small.Insert(At(12), PictureOf(12), by_distance_, kNow, &dropped_);
  small.Insert(At(10), PictureOf(10), by_distance_, kNow, &dropped_);
  stats = small.Stats();
  EXPECT_EQ(stats.cached, 2u);
  EXPECT_EQ(stats.evicted, 1);
  EXPECT_LE(stats.cached_bytes, limits.max_bytes);
  EXPECT_EQ(stats.peak_bytes, kPictureBytes + kPictureBytes / 2);
  EXPECT_FALSE(ConvertedAt(small, 12)) << "12 and 10 rank alike: the later goes";
}

TEST_F(PictureStoreTest, LookupFindsThePictureElseTheNearestAndSaysWhatItIs) {
  CPictureStore store{DecoderLimits{}};
  const auto other = std::make_shared<CSuperClip>(25.0);
  EXPECT_EQ(store.Lookup(tape_.get(), 5, nullptr).frame, -1);
  store.Insert(At(10), PictureOf(10), by_distance_, kNow, &dropped_);
  store.Insert(At(20), PictureOf(20), by_distance_, kNow, &dropped_);
  store.Insert({{other, 16}, "b.mov", 0}, PictureOf(99), by_distance_, kNow, &dropped_);
  FoundPicture found = store.Lookup(tape_.get(), 10, nullptr);
  EXPECT_TRUE(found.exact);
  EXPECT_EQ(found.frame, 10);
  EXPECT_FALSE(found.key_frame);
  // The nearest of the same tape on either side, never another tape's.
  EXPECT_EQ(store.Lookup(tape_.get(), 14, nullptr).frame, 10);
  EXPECT_EQ(store.Lookup(tape_.get(), 16, nullptr).frame, 20);
  EXPECT_FALSE(store.Lookup(tape_.get(), 16, nullptr).exact);
  EXPECT_EQ(store.Lookup(tape_.get(), 16, nullptr).picture->pixels[0], 20u);
  EXPECT_EQ(store.Lookup(tape_.get(), -1, nullptr).frame, -1);
  EXPECT_EQ(store.Lookup(nullptr, 10, nullptr).frame, -1);

  // A key frame standing in while winding, and only the nearest picture once the wind stops.
  store.InsertKeyFrame(At(30, 25), PictureOf(25), 25, by_distance_, kNow, &dropped_);
  store.SetWinding(true);
  found = store.Lookup(tape_.get(), 30, nullptr);
  EXPECT_EQ(found.frame, 25);
  EXPECT_FALSE(found.exact);
  EXPECT_TRUE(found.key_frame);
  EXPECT_EQ(ConvertedAt(store, 30)->stand_in, true);
  store.SetWinding(false);
  EXPECT_FALSE(store.Lookup(tape_.get(), 30, nullptr).key_frame);
  EXPECT_EQ(store.Lookup(tape_.get(), 29, nullptr).frame, 25);
  EXPECT_EQ(store.Stats().key_frames, 1);
  EXPECT_FALSE(store.ConvertedOf(tape_.get(), "a.mov", 25, std::nullopt)) << "a stand-in";
  EXPECT_EQ(store.ConvertedOf(tape_.get(), "a.mov", 0, std::nullopt)->pixels[0], 10u);
  EXPECT_FALSE(store.ConvertedOf(tape_.get(), "b.mov", 0, std::nullopt));

  // A picture cut for another window is not whole for this one.
  auto part = std::make_shared<Picture>(*PictureOf(40, kWidth / 2, kHeight / 2));
  part->material_width = kWidth;
  part->material_height = kHeight;
  store.Insert(At(40), part, by_distance_, kNow, &dropped_);
  const Framing centre{kWidth / 2, kHeight / 2, true, 0, 0};
  const Framing corner{kWidth / 2, kHeight / 2, false, 0, 0};
  EXPECT_FALSE(store.Lookup(tape_.get(), 40, &centre).exact);
  EXPECT_TRUE(store.Lookup(tape_.get(), 40, &corner).exact);
  EXPECT_FALSE(ConvertedAt(store, 40, centre)->whole);
  EXPECT_TRUE(ConvertedAt(store, 40, corner)->whole);
}

TEST_F(PictureStoreTest, PicturesKeptAsDecodedStayWithinTheirBudgetTheHighestRankGoingFirst) {
  const std::shared_ptr<const CRawPicture> raw = RawOf();
  ASSERT_NE(raw, nullptr);
  DecoderLimits limits;
  limits.max_kept_bytes = 3 * raw->Bytes();
  CPictureStore store(limits);
  // Going backwards from 50: the passed ones (rank above all) go first, then the furthest.
  const CPictureStore::KeptRank rank = [](const TapeFrame& frame) -> std::int64_t {
    return frame.second > 50 ? 1000 + frame.second : 50 - frame.second;
  };
  EXPECT_TRUE(store.Keep(At(49, 49), raw, rank, &dropped_));
  EXPECT_TRUE(store.Keep(At(51, 51), raw, rank, &dropped_));
  EXPECT_TRUE(store.Keep(At(45, 45), raw, rank, &dropped_));
  EXPECT_TRUE(store.Keep(At(48, 48), raw, rank, &dropped_));  // 51 goes
  EXPECT_FALSE(store.Keep(At(40, 40), raw, rank, &dropped_)) << "the furthest goes itself";
  EXPECT_EQ(dropped_.raw.size(), 2u);
  store.Inspect([&](const IHoldings& holdings) {
    EXPECT_TRUE(holdings.KeptAt({tape_.get(), 49}));
    EXPECT_TRUE(holdings.KeptAt({tape_.get(), 48}));
    EXPECT_TRUE(holdings.KeptAt({tape_.get(), 45}));
    EXPECT_FALSE(holdings.KeptAt({tape_.get(), 51}));
    EXPECT_EQ(holdings.KeptBytes(), 3 * raw->Bytes());
    EXPECT_EQ(holdings.KeptPictureBytes(), raw->Bytes());
    EXPECT_EQ(holdings.FurthestKept(tape_.get(), 50), 5);
    EXPECT_EQ(holdings.FurthestKept(nullptr, 50), 0);
  });
  DecoderStats stats = store.Stats();
  EXPECT_EQ(stats.kept, 3u);
  EXPECT_EQ(stats.kept_bytes, 3 * raw->Bytes());
  // The peak counts both stores.
  store.Insert(
      At(50), PictureOf(50), [](const TapeFrame&) { return std::size_t{0}; }, kNow, &dropped_);
  EXPECT_EQ(store.Stats().peak_bytes, 3 * raw->Bytes() + kPictureBytes);

  EXPECT_EQ(store.KeptOf(tape_.get(), "a.mov", 48, std::nullopt), raw);
  EXPECT_EQ(store.KeptAt({tape_.get(), 45})->movie_frame, 45u);
  store.DropKept({tape_.get(), 45});
  store.DropKept({tape_.get(), 45});
  EXPECT_FALSE(store.KeptAt({tape_.get(), 45}));
  EXPECT_EQ(store.Stats().kept_bytes, 2 * raw->Bytes());

  // A part kept for one window is of no use to another.
  const std::shared_ptr<const CRawPicture> corner = RawOf(Crop{0, 0, kWidth / 2, kHeight / 2});
  ASSERT_NE(corner, nullptr);
  EXPECT_TRUE(store.Keep(At(47, 47), corner, rank, &dropped_));
  const Framing centred{kWidth / 2, kHeight / 2, true, 0, 0};
  const Framing top_left{kWidth / 2, kHeight / 2, false, 0, 0};
  EXPECT_FALSE(store.KeptOf(tape_.get(), "a.mov", 47, centred));
  EXPECT_EQ(store.KeptOf(tape_.get(), "a.mov", 47, top_left), corner);
  store.Inspect([&](const IHoldings& holdings) {
    EXPECT_FALSE(holdings.KeptUsableAt({tape_.get(), 47}, centred));
    EXPECT_TRUE(holdings.KeptUsableAt({tape_.get(), 47}, std::nullopt));
  });
}

// Lookups on other threads while the worker puts pictures in and pushes them out: each finds
// either nothing or a whole picture of the frame it names.
TEST_F(PictureStoreTest, LookupFromOtherThreadsNeverSeesAPictureHalfPutIn) {
  DecoderLimits limits;
  limits.max_pictures = 4;
  CPictureStore store(limits);
  constexpr std::int64_t kFrames = 2000;
  constexpr int kReaders = 2;
  std::atomic<bool> done{false};
  std::atomic<std::int64_t> wrong{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      for (std::int64_t n = 0; !done.load(); n = (n + 7 + r) % kFrames) {
        const FoundPicture picture = store.Lookup(tape_.get(), n, nullptr);
        if (!picture.picture) continue;
        const auto tag = static_cast<std::uint32_t>(picture.frame);
        for (const std::uint32_t pixel : picture.picture->pixels) {
          if (pixel != tag) ++wrong;
        }
        store.Stats();
      }
    });
  }
  const CPictureStore::ConvertedRank oldest_first = [](const TapeFrame& frame) {
    return static_cast<std::size_t>(kFrames - frame.second);
  };
  for (std::int64_t frame = 0; frame < kFrames; ++frame) {
    CPictureStore::Dropped dropped;  // freed at once, while the readers look
    store.Insert(At(frame), PictureOf(static_cast<std::uint32_t>(frame)), oldest_first, kNow,
                 &dropped);
  }
  done = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
  const DecoderStats stats = store.Stats();
  EXPECT_EQ(stats.cached, 4u);
  EXPECT_EQ(stats.evicted, kFrames - 4);
  EXPECT_EQ(store.Lookup(tape_.get(), kFrames - 1, nullptr).frame, kFrames - 1);
  EXPECT_EQ(store.Lookup(tape_.get(), 0, nullptr).frame, kFrames - 4);
}

}  // namespace
}  // namespace vxr
