#include "vboard/program/decode_planner.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vxr {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kNow = 100 * kSecond;
constexpr int kWidth = 64;
constexpr int kHeight = 48;
constexpr std::size_t kPictureBytes = kWidth * kHeight * 4;

ClipEntry Clip(const std::string& path, std::uint32_t frames, int rate = 25) {
  ClipEntry clip;
  clip.movie.path = path;
  clip.movie.width = kWidth;
  clip.movie.height = kHeight;
  clip.movie.rate_num = rate;
  clip.movie.rate_den = 1;
  clip.movie.frame_count = frames;
  clip.movie.aspect_ratio = 4.0 / 3.0;
  clip.last_frame = frames - 1;
  return clip;
}

// A 25 tape: 100 frames of a.mov, then 20 of b.mov.
std::shared_ptr<CSuperClip> TwoClipTape() {
  auto tape = std::make_shared<CSuperClip>(25.0);
  tape->Append({Clip("a.mov", 100), Clip("b.mov", 20)});
  return tape;
}

std::vector<std::int64_t> Frames(const std::vector<CTimeline::TapePicture>& pictures) {
  std::vector<std::int64_t> frames;
  for (const CTimeline::TapePicture& picture : pictures) frames.push_back(picture.frame);
  return frames;
}

CTimeline::Outlook Outlook(const std::shared_ptr<CSuperClip>& tape, std::int64_t on_output,
                           std::vector<std::int64_t> next) {
  CTimeline::Outlook outlook;
  outlook.on_output = CTimeline::TapePicture{tape, on_output};
  for (const std::int64_t frame : next) outlook.next.push_back({tape, frame});
  outlook.advancing = true;
  return outlook;
}

// The output told to stay on on_output with next queued; to_come: the queue is being prepared.
CTimeline::Outlook Staying(const std::shared_ptr<CSuperClip>& tape, std::int64_t on_output,
                           std::vector<std::int64_t> next, bool to_come) {
  CTimeline::Outlook outlook = Outlook(tape, on_output, std::move(next));
  outlook.advancing = false;
  outlook.queue_to_come = to_come;
  return outlook;
}

// What a store holds, written down by the test.
struct Holdings final : IHoldings {
  std::map<TapeFrame, Converted> converted;
  std::map<TapeFrame, bool> kept;  // usable or not
  std::map<TapeFrame, std::int64_t> failed, runs_failed;
  std::size_t kept_bytes = 0, kept_picture_bytes = 0;

  std::optional<Converted> ConvertedAt(const TapeFrame& frame,
                                       const std::optional<Framing>&) const override {
    const auto found = converted.find(frame);
    return found == converted.end() ? std::nullopt : std::optional<Converted>(found->second);
  }
  bool KeptAt(const TapeFrame& frame) const override { return kept.count(frame) != 0; }
  bool KeptUsableAt(const TapeFrame& frame, const std::optional<Framing>&) const override {
    return kept.count(frame) != 0 && kept.at(frame);
  }
  std::optional<std::int64_t> FailedAt(const TapeFrame& frame) const override {
    return failed.count(frame) ? std::optional<std::int64_t>(failed.at(frame)) : std::nullopt;
  }
  std::optional<std::int64_t> RunFailedAt(const TapeFrame& frame) const override {
    return runs_failed.count(frame) ? std::optional<std::int64_t>(runs_failed.at(frame))
                                    : std::nullopt;
  }
  std::size_t KeptBytes() const override { return kept_bytes; }
  std::size_t KeptPictureBytes() const override { return kept_picture_bytes; }
  std::int64_t FurthestKept(const CSuperClip* tape, std::int64_t frame) const override {
    std::int64_t furthest = 0;
    for (const auto& [key, usable] : kept) {
      if (key.first == tape)
        furthest = std::max<std::int64_t>(furthest, std::llabs(key.second - frame));
    }
    return furthest;
  }
};

TEST(DecodePlanner, PlansTheOutputTheQueueAndOnAtPaceAsFarAsTheCacheHoldsThem) {
  const auto tape = TwoClipTape();
  const auto other = TwoClipTape();
  DecoderLimits limits;  // read-ahead 8: nine pictures
  const CDecodePlanner planner(limits);
  EXPECT_EQ(Frames(planner.Plan(Outlook(tape, 10, {11, 12}), 1.0, std::nullopt)),
            (std::vector<std::int64_t>{10, 11, 12, 13, 14, 15, 16, 17, 18}));
  // Shuttle -3, the queued pictures first; the tape's start ends the plan.
  EXPECT_EQ(Frames(planner.Plan(Outlook(tape, 12, {9, 6}), -3.0, std::nullopt)),
            (std::vector<std::int64_t>{12, 9, 6, 3, 0}));
  // Half speed rounds its steps; a picture queued twice is planned once; the tape's end.
  EXPECT_EQ(Frames(planner.Plan(Outlook(tape, 114, {114, 115}), 0.5, std::nullopt)),
            (std::vector<std::int64_t>{114, 115, 116, 117, 118, 119}));
  // Below half a frame a tick, or another tape queued last: nothing beyond the queue.
  EXPECT_EQ(Frames(planner.Plan(Outlook(tape, 10, {}), 0.4, std::nullopt)),
            (std::vector<std::int64_t>{10}));
  CTimeline::Outlook switching = Outlook(tape, 10, {11});
  switching.next.push_back({other, 0});
  EXPECT_EQ(Frames(planner.Plan(switching, 1.0, std::nullopt)),
            (std::vector<std::int64_t>{10, 11, 0}));

  // Only as many as the cache holds together: three pictures of the tape's size...
  limits.max_bytes = 3 * kPictureBytes + 1;
  EXPECT_EQ(Frames(CDecodePlanner(limits).Plan(Outlook(tape, 10, {11}), 1.0, std::nullopt)),
            (std::vector<std::int64_t>{10, 11, 12}));
  // ... or of the framing's part of them, and always the output's picture.
  const Framing quarter{kWidth / 2, kHeight / 2, true, 0, 0};
  EXPECT_EQ(CDecodePlanner(limits).Plan(Outlook(tape, 10, {}), 1.0, quarter).size(), 9u);
  limits.max_bytes = 1;
  EXPECT_EQ(Frames(CDecodePlanner(limits).Plan(Outlook(tape, 10, {11}), 1.0, std::nullopt)),
            (std::vector<std::int64_t>{10}));

  // The look: the queue commands the motion; nothing queued, the output stays where it is.
  OutputMotion measured;
  measured.pace = 2.0;
  const DecodeLook jog = planner.Look(Outlook(tape, 40, {39, 38, 37}), measured, quarter);
  EXPECT_EQ(jog.motion.pace, -1.0);
  EXPECT_FALSE(jog.held);
  EXPECT_EQ(jog.framing, quarter);
  EXPECT_EQ(Frames(jog.plan), (std::vector<std::int64_t>{40, 39, 38, 37, 36, 35, 34, 33, 32}));
  const DecodeLook held = planner.Look(Outlook(tape, 40, {}), measured, std::nullopt);
  EXPECT_TRUE(held.held);
  EXPECT_EQ(held.motion.pace, 2.0);
  EXPECT_EQ(Frames(held.plan), (std::vector<std::int64_t>{40, 42, 44, 46, 48, 50, 52, 54, 56}));
}

TEST(DecodePlanner, TheNextPictureIsTheMostUrgentOneNotThereAndNotFailedLately) {
  const auto tape = TwoClipTape();
  const CDecodePlanner planner{DecoderLimits{}};
  DecodeLook look = planner.Look(Outlook(tape, 10, {11, 12, 13, 14, 15}), {}, std::nullopt);
  ASSERT_EQ(Frames(look.plan), (std::vector<std::int64_t>{10, 11, 12, 13, 14, 15, 16, 17, 18}));
  const auto at = [&](std::int64_t frame) { return TapeFrame{tape.get(), frame}; };
  Holdings holdings;
  holdings.converted[at(10)] = {false, true};
  holdings.converted[at(11)] = {true, true};    // a key frame left from a wind
  holdings.converted[at(12)] = {false, false};  // cut for another window
  holdings.failed[at(13)] = kNow - kSecond / 2;
  holdings.failed[at(14)] = kNow - kSecond;  // its retry time has come
  holdings.kept[at(15)] = true;
  holdings.kept[at(16)] = false;  // kept, but cut for another window
  const auto next = [&] {
    const auto picture = CDecodePlanner::NextPicture(look, holdings, kNow);
    return picture ? picture->frame : -1;
  };
  EXPECT_EQ(next(), 11);
  EXPECT_TRUE(CDecodePlanner::PlanWaits(look, holdings, kNow));
  // 11 waits for decoding and is shown before 15: converting 15 now would only make 11 late.
  EXPECT_FALSE(CDecodePlanner::NextToConvert(look, holdings, kNow).has_value());

  // Winding, the key frame stands in; not where the output comes to rest on it.
  look.motion.winding = true;
  EXPECT_TRUE(CDecodePlanner::Ready(look, holdings, at(11)));
  EXPECT_EQ(next(), 12);
  holdings.converted[at(12)] = {false, true};
  EXPECT_EQ(next(), 14);
  holdings.failed[at(14)] = kNow;
  EXPECT_EQ(next(), 15);
  look.held = true;
  holdings.converted[at(10)] = {true, true};
  EXPECT_TRUE(CDecodePlanner::Stays(look, {tape, 10}));
  EXPECT_FALSE(CDecodePlanner::Stays(look, {tape, 11}));
  EXPECT_EQ(next(), 10);

  // Every planned picture there, kept as decoded or failed lately: the plan waits for nothing.
  look.held = false;
  for (std::int64_t frame = 15; frame <= 18; ++frame) holdings.kept[at(frame)] = true;
  EXPECT_FALSE(CDecodePlanner::PlanWaits(look, holdings, kNow));
  EXPECT_TRUE(CDecodePlanner::PlanWaits(look, holdings, kNow + kSecond));  // 13 and 14 again
  // Unless a decoding in progress brings them (a run a reverse jog needs: it goes on).
  EXPECT_FALSE(CDecodePlanner::PlanWaits(look, holdings, kNow + kSecond, {13, 14}));
  EXPECT_TRUE(CDecodePlanner::PlanWaits(look, holdings, kNow + kSecond, {13}));
  // The failed ones lately are passed over; once they may be tried again, they go first.
  EXPECT_EQ(CDecodePlanner::NextToConvert(look, holdings, kNow)->frame, 15);
  EXPECT_FALSE(CDecodePlanner::NextToConvert(look, holdings, kNow + kSecond).has_value());
}

TEST(DecodePlanner, RunsAreDecodedBeforeABackwardMotionOrAStillOutputWhereTheyGainSomething) {
  const auto tape = TwoClipTape();
  DecoderLimits limits;
  limits.max_kept_bytes = 20 * kPictureBytes;
  const CDecodePlanner planner(limits);
  const auto at = [&](std::int64_t frame) { return TapeFrame{tape.get(), frame}; };
  const DecodeLook jog = planner.Look(Outlook(tape, 50, {49, 48, 47}), {}, std::nullopt);
  ASSERT_EQ(jog.plan.back().frame, 42);
  Holdings holdings;
  holdings.kept_picture_bytes = kPictureBytes;
  const auto run = [&](const DecodeLook& look, const std::set<std::string>& intra = {}) {
    const auto target = planner.NextRun(look, holdings, intra, kNow);
    return target ? target->frame : -1;
  };
  EXPECT_EQ(run(jog), 41);
  holdings.kept[at(41)] = true;
  holdings.kept[at(40)] = true;
  holdings.converted[at(39)] = {false, true};
  EXPECT_EQ(run(jog), 38);
  holdings.runs_failed[at(38)] = kNow - kSecond / 2;
  EXPECT_EQ(run(jog), -1) << "a run that kept nothing is not tried again at once";
  holdings.runs_failed[at(38)] = kNow - kSecond;
  EXPECT_EQ(run(jog), 38);
  EXPECT_EQ(run(jog, {"a.mov"}), -1) << "each picture of an intra-frame movie is reached straight";
  // The store full: no further back than the furthest picture it keeps (40, 10 before the
  // output), which would go again at once.
  holdings.kept_bytes = limits.max_kept_bytes;
  EXPECT_EQ(run(jog), -1);
  holdings.kept[at(30)] = true;
  EXPECT_EQ(run(jog), 38);
  holdings.kept_bytes = 0;

  // Forwards, winding, or told to stay: none, none, and the run before the output.
  EXPECT_EQ(run(planner.Look(Outlook(tape, 50, {51, 52}), {}, std::nullopt)), -1);
  DecodeLook rewind = jog;
  rewind.motion.winding = true;
  EXPECT_EQ(run(rewind), -1);
  CTimeline::Outlook cued = Outlook(tape, 60, {});
  cued.advancing = false;
  const DecodeLook still = planner.Look(cued, {}, std::nullopt);
  ASSERT_TRUE(still.motion.still);
  EXPECT_EQ(run(still), 59);
  // Standing still, no further back than a reverse motion's first ticks (8 frames; half the
  // store's pictures where that is fewer).
  for (std::int64_t frame = 52; frame < 60; ++frame) holdings.kept[at(frame)] = true;
  EXPECT_EQ(run(still), -1);
  holdings.kept.erase(at(52));
  EXPECT_EQ(run(still), 52);
  holdings.kept[at(52)] = true;
  holdings.kept_picture_bytes = 2 * kPictureBytes;  // the store holds 10 of these
  holdings.kept.erase(at(54));
  EXPECT_EQ(run(still), -1);
  holdings.kept.erase(at(55));
  EXPECT_EQ(run(still), 55);
}

TEST(DecodePlanner, PathsBackRanksAndKeyFramesInExactNumbers) {
  const auto tape = std::make_shared<CSuperClip>(25.0);
  tape->Append({Clip("a.mov", 100), Clip("b.mov", 40, 50)});  // b.mov: two pictures a frame
  using Path = CDecodePlanner::Path;
  EXPECT_EQ(CDecodePlanner::PathBefore(*tape, 30, "a.mov", -3.0, 4),
            (Path{{27, 27}, {24, 24}, {21, 21}, {18, 18}}));
  // Slower than a frame a tick backwards: every frame; the clip's start ends the path.
  EXPECT_EQ(CDecodePlanner::PathBefore(*tape, 103, "b.mov", -0.5, 10),
            (Path{{4, 102}, {2, 101}, {0, 100}}));
  EXPECT_TRUE(CDecodePlanner::PathBefore(*tape, 103, "a.mov", -1.0, 10).empty());

  DecoderLimits limits;
  limits.max_kept_bytes = 1000;
  EXPECT_EQ(CDecodePlanner(limits).KeptCapacity(100), 10u);
  EXPECT_EQ(CDecodePlanner(limits).KeptCapacity(0), 1000u);
  limits.max_kept_bytes = std::size_t{1} << 30;
  EXPECT_EQ(CDecodePlanner(limits).KeptCapacity(1), CDecodePlanner::kMaxPathPictures);

  // The key frame 10 movie pictures (5 tape frames) before tape frame 115's picture.
  MaterialPicture material;
  ASSERT_TRUE(tape->MaterialAt(115, &material));
  EXPECT_EQ(material.movie_frame, 30u);
  EXPECT_EQ(CDecodePlanner::KeyFrameShownAt(*tape, 115, material, 20), 110);
  EXPECT_EQ(CDecodePlanner::KeyFrameShownAt(*tape, 115, material, 30), 115);
  EXPECT_EQ(CDecodePlanner::KeyFrameShownAt(*tape, 2, material, 0), 0);  // never before 0

  // Ranks: the plan in its order, then by distance from the output, other tapes last.
  const auto other = TwoClipTape();
  DecodeLook look;
  look.plan = {{tape, 10}, {tape, 11}, {tape, 12}};
  EXPECT_EQ(CDecodePlanner::ConvertedRank(look, {tape.get(), 10}), 0u);
  EXPECT_EQ(CDecodePlanner::ConvertedRank(look, {tape.get(), 12}), 2u);
  EXPECT_EQ(CDecodePlanner::ConvertedRank(look, {tape.get(), 20}), 13u);
  EXPECT_EQ(CDecodePlanner::ConvertedRank(look, {tape.get(), 5}), 8u);
  EXPECT_EQ(CDecodePlanner::ConvertedRank(look, {other.get(), 10}),
            std::numeric_limits<std::size_t>::max());
  // Kept pictures: forwards by distance; backwards, those the output has passed come first.
  EXPECT_EQ(CDecodePlanner::KeptRank(look, {tape.get(), 4}), 6);
  EXPECT_EQ(CDecodePlanner::KeptRank(look, {tape.get(), 13}), 3);
  look.motion.pace = -1.0;
  EXPECT_EQ(CDecodePlanner::KeptRank(look, {tape.get(), 4}), 6);
  EXPECT_EQ(CDecodePlanner::KeptRank(look, {tape.get(), 13}),
            std::numeric_limits<std::int64_t>::max() / 2 + 3);
  EXPECT_EQ(CDecodePlanner::KeptRank(look, {other.get(), 10}),
            std::numeric_limits<std::int64_t>::max());
}

TEST(DecodePlanner, ADecodingTakesAlongWhatANewLookPlansOnItsWay) {
  const auto tape = TwoClipTape();
  const CDecodePlanner planner{DecoderLimits{}};
  const CTimeline::TapePicture target{tape, 40};
  // Cued on 40, then a jog back queued while 40 decodes: its plan, 39 back to 31, and the path
  // back from 31.
  const DecodeLook cued = planner.Look(Outlook(tape, 40, {}), {}, std::nullopt);
  CDecodePlanner::OnTheWay on_the_way = CDecodePlanner::PlannedOfMovie(cued.plan, target, "a.mov");
  EXPECT_TRUE(on_the_way.empty());
  CDecodePlanner::Path before;
  const DecodeLook jog = planner.Look(Outlook(tape, 39, {38, 37}), {}, std::nullopt);
  CDecodePlanner::TakeAlong(jog, target, "a.mov", false, 3, &on_the_way, &before);
  CDecodePlanner::TakeAlong(jog, target, "a.mov", false, 3, &on_the_way, &before);  // no twice
  std::vector<std::int64_t> taken;
  for (const auto& [movie_frame, picture] : on_the_way) taken.push_back(picture.frame);
  EXPECT_EQ(taken, (std::vector<std::int64_t>{31, 32, 33, 34, 35, 36, 37, 38, 39}));
  EXPECT_EQ(before, (CDecodePlanner::Path{{30, 30}, {29, 29}, {28, 28}}));
  // Intra-frame, or forwards: no path back.
  CDecodePlanner::Path none;
  CDecodePlanner::TakeAlong(jog, target, "a.mov", true, 3, &on_the_way, &none);
  CDecodePlanner::TakeAlong(planner.Look(Outlook(tape, 41, {42}), {}, std::nullopt), target,
                            "a.mov", false, 3, &on_the_way, &none);
  EXPECT_TRUE(none.empty());
  // Pictures of another movie are not on the way.
  EXPECT_TRUE(CDecodePlanner::PlannedOfMovie(jog.plan, target, "b.mov").empty());
}

// A cue from 10 to 60: while the timeline prepares it the output still shows 10, yet the
// pictures near 60 are the ones to keep; once the output stands there, the next few after it
// are decoded and the few kept before it converted, one at a time, the cued one first; never
// in a motion back, a wind, or past the end.
TEST(DecodePlanner, ACueAnchorsTheRanksAtTheCuedPictureAndReadiesAFewPicturesEitherSide) {
  const auto tape = TwoClipTape();
  const CDecodePlanner planner{DecoderLimits{}};
  const auto at = [&](std::int64_t frame) { return TapeFrame{tape.get(), frame}; };
  const DecodeLook cue = planner.Look(Staying(tape, 10, {60, 61, 62}, true), {}, std::nullopt);
  EXPECT_EQ(cue.anchor.frame, 60);
  EXPECT_TRUE(cue.standing);
  EXPECT_FALSE(cue.held);
  EXPECT_EQ(Frames(cue.plan), (std::vector<std::int64_t>{10, 60, 61, 62}));
  // The nearest run back may go before the read-ahead beyond the cue's next picture, and it is
  // the run before the cue, not before the end of the queue.
  EXPECT_FALSE(CDecodePlanner::RunGoesFirst(cue, {tape, 61}));
  EXPECT_TRUE(CDecodePlanner::RunGoesFirst(cue, {tape, 62}));
  const auto run = planner.NextRun(cue, Holdings{}, {}, kNow);
  ASSERT_TRUE(run.has_value());
  EXPECT_EQ(run->frame, 59);
  // Nor does that read-ahead end the run once it is on its way; the cued picture and its next
  // do, as does a motion's first picture.
  Holdings cued_in;
  cued_in.converted[at(10)] = {false, true};
  cued_in.converted[at(60)] = {false, true};
  EXPECT_TRUE(CDecodePlanner::PlanWaits(cue, cued_in, kNow)) << "61 waits";
  cued_in.converted[at(61)] = {false, true};
  EXPECT_FALSE(CDecodePlanner::PlanWaits(cue, cued_in, kNow)) << "62 does not end the run";
  const DecodeLook played = planner.Look(Outlook(tape, 60, {61, 62}), {}, std::nullopt);
  EXPECT_TRUE(CDecodePlanner::PlanWaits(played, cued_in, kNow)) << "a play needs 62";
  // Kept: near the cued picture stays, near the old place goes.
  EXPECT_EQ(CDecodePlanner::KeptRank(cue, at(59)), 1);
  EXPECT_EQ(CDecodePlanner::KeptRank(cue, at(11)), 49);
  EXPECT_EQ(CDecodePlanner::ConvertedRank(cue, at(63)), 7u);
  EXPECT_EQ(CDecodePlanner::ConvertedRank(cue, at(11)), 53u);

  const std::size_t ahead = planner.AheadCount();
  ASSERT_EQ(ahead, DecoderLimits{}.read_ahead / 2);
  Holdings holdings;
  const auto next = [&](const DecodeLook& look) {
    const auto picture = planner.NextAhead(look, holdings, kNow);
    return picture ? picture->frame : -1;
  };
  EXPECT_EQ(next(cue), -1) << "the cued picture first";
  holdings.converted[at(60)] = {false, true};
  for (std::size_t i = 1; i <= ahead; ++i) {
    const std::int64_t frame = 60 + static_cast<std::int64_t>(i);
    EXPECT_EQ(next(cue), frame);
    holdings.converted[at(frame)] = {false, true};
  }
  EXPECT_EQ(next(cue), -1) << "no more than " << ahead << " after it, none kept before it";
  // Before it, the pictures kept as decoded are converted, the nearest first.
  holdings.kept[at(57)] = true;
  holdings.kept[at(59)] = true;
  holdings.kept[at(60 - static_cast<std::int64_t>(ahead) - 1)] = true;
  EXPECT_EQ(next(cue), 59);
  holdings.failed[at(59)] = kNow - kSecond / 2;
  EXPECT_EQ(next(cue), 57) << "one the cache let go lately is left";
  holdings.failed.erase(at(59));
  holdings.converted[at(59)] = {false, true};
  EXPECT_EQ(next(cue), 57);
  holdings.converted[at(57)] = {false, true};
  EXPECT_EQ(next(cue), -1) << "no more than " << ahead << " before it";
  holdings.converted.erase(at(62));
  holdings.failed[at(62)] = kNow - kSecond / 2;
  EXPECT_EQ(next(cue), -1) << "a picture that failed lately is left";
  holdings.failed[at(62)] = kNow - kSecond;
  EXPECT_EQ(next(cue), 62);

  // Standing on the cue, nothing queued or the pictures a play from it shows: the same; a jog
  // back queued from it, or a wind: none.
  const CTimeline::Outlook cued = Staying(tape, 60, {}, false);
  EXPECT_EQ(next(planner.Look(cued, {}, std::nullopt)), 62);
  const DecodeLook play_cued =
      planner.Look(Staying(tape, 60, {61, 62, 63}, false), {}, std::nullopt);
  EXPECT_TRUE(play_cued.standing);
  EXPECT_EQ(play_cued.anchor.frame, 60);
  const DecodeLook jog = planner.Look(Staying(tape, 60, {60, 59, 58}, true), {}, std::nullopt);
  EXPECT_EQ(jog.anchor.frame, 60);
  EXPECT_FALSE(jog.standing);
  EXPECT_EQ(next(jog), -1);
  EXPECT_EQ(next(planner.Look(Outlook(tape, 60, {61, 62}), {}, std::nullopt)), -1);
  DecodeLook wind = planner.Look(cued, {}, std::nullopt);
  wind.motion.winding = true;
  EXPECT_EQ(next(wind), -1);
  // A cache that holds three pictures together: the output's and two more, not one it would
  // let go at once.
  DecoderLimits small;
  small.max_bytes = 3 * kPictureBytes;
  const CDecodePlanner tight(small);
  ASSERT_EQ(tight.CacheRoom(tape.get(), std::nullopt), 3u);
  Holdings few;
  few.converted[at(60)] = {false, true};
  few.kept[at(59)] = true;
  const DecodeLook held = tight.Look(cued, {}, std::nullopt);
  for (const std::int64_t frame : {61, 62}) {
    const auto picture = tight.NextAhead(held, few, kNow);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->frame, frame);
    few.converted[at(frame)] = {false, true};
  }
  EXPECT_FALSE(tight.NextAhead(held, few, kNow).has_value()) << "59 would push one out";
  // At the tape's last frames: none past the end.
  const CTimeline::Outlook end = Staying(tape, 118, {}, false);
  holdings.converted[at(118)] = {false, true};
  holdings.converted[at(119)] = {false, true};
  EXPECT_EQ(next(planner.Look(end, {}, std::nullopt)), -1);
}

}  // namespace
}  // namespace vxr
