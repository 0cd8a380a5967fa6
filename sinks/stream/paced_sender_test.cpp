#include "sinks/stream/paced_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vxr {
namespace {

// One chunk a millisecond exactly.
constexpr long kMsRate = static_cast<long>(kPacedChunkBytes) * 8 * 1000;
constexpr std::int64_t kMs = 1'000'000;
constexpr std::size_t kQueueChunks = 10;
constexpr std::size_t kPacketsPerChunk = kPacedChunkBytes / kTsPacketBytes;

struct Write {
  std::int64_t at_ns;
  std::vector<std::uint8_t> bytes;
};

// count TS packets, each with its sequence number (from first) after the sync byte.
std::vector<std::uint8_t> Packets(std::size_t first, std::size_t count) {
  std::vector<std::uint8_t> bytes(count * kTsPacketBytes);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i * kTsPacketBytes] = 0x47;
    bytes[i * kTsPacketBytes + 1] = static_cast<std::uint8_t>((first + i) >> 8);
    bytes[i * kTsPacketBytes + 2] = static_cast<std::uint8_t>(first + i);
  }
  return bytes;
}

std::size_t FirstPacket(const Write& write) {
  return (std::size_t{write.bytes[1]} << 8) | write.bytes[2];
}

// Drives the sender's schedule on a fake clock, as its thread would: at each time it asks for.
class FakeClockRun {
 public:
  explicit FakeClockRun(long rate, std::size_t queue_chunks = kQueueChunks, int fail_at = -1)
      : sender(rate, queue_chunks * kPacedChunkBytes,
               [this, fail_at](const std::uint8_t* data, std::size_t size, std::string* why) {
                 if (static_cast<int>(writes.size()) == fail_at) {
                   *why = "refused";
                   return false;
                 }
                 writes.push_back({now_ns, std::vector<std::uint8_t>(data, data + size)});
                 return true;
               }) {}
  // Follows the schedule until nothing is queued; returns the last time asked for.
  void RunFrom(std::int64_t start_ns) {
    now_ns = start_ns;
    for (auto next = sender.SendDue(now_ns); next; next = sender.SendDue(now_ns)) {
      EXPECT_GT(*next, now_ns);
      now_ns = *next;
    }
  }
  void Queue(std::size_t first, std::size_t packets) {
    const std::vector<std::uint8_t> bytes = Packets(first, packets);
    sender.Send(bytes.data(), bytes.size());
  }

  std::int64_t now_ns = 0;
  std::vector<Write> writes;
  CPacedSender sender;
};

// The chunks leave whole, in order, one a chunk's time apart at the rate; the stream's end goes
// as a short chunk; a sender that fell behind catches up with at most the burst's worth at once;
// an overflowing queue loses its oldest whole chunks, counted, and the stream resumes on a
// packet's start.
TEST(PacedSenderTest, ChunksLeaveAtTheRateCatchUpInShortBurstsAndOverflowDropsWholePackets) {
  FakeClockRun run(kMsRate);
  run.Queue(0, 5 * kPacketsPerChunk + 2);
  EXPECT_EQ(run.sender.QueuedBytes(), 5 * kPacedChunkBytes + 2 * kTsPacketBytes);
  run.RunFrom(7);
  ASSERT_EQ(run.writes.size(), 5u);
  for (std::size_t n = 0; n < run.writes.size(); ++n) {
    EXPECT_EQ(run.writes[n].at_ns, 7 + static_cast<std::int64_t>(n) * kMs);
    EXPECT_EQ(run.writes[n].bytes.size(), kPacedChunkBytes);
    EXPECT_EQ(FirstPacket(run.writes[n]), n * kPacketsPerChunk);
  }
  // The two packets short of a chunk wait for the stream's end, then keep the schedule.
  EXPECT_EQ(run.sender.QueuedBytes(), 2 * kTsPacketBytes);
  run.sender.Flush();
  run.RunFrom(run.now_ns);
  ASSERT_EQ(run.writes.size(), 6u);
  EXPECT_EQ(run.writes[5].at_ns, 7 + 5 * kMs);
  EXPECT_EQ(run.writes[5].bytes.size(), 2 * kTsPacketBytes);

  // 50 ms late with 8 chunks queued: the burst's worth (2 ms and the chunk due now) at once,
  // then the rate again.
  run.Queue(100, 8 * kPacketsPerChunk);
  const std::int64_t late_ns = run.now_ns + 50 * kMs;
  run.RunFrom(late_ns);
  ASSERT_EQ(run.writes.size(), 14u);
  for (std::size_t n = 6; n < 9; ++n) EXPECT_EQ(run.writes[n].at_ns, late_ns);
  for (std::size_t n = 9; n < 14; ++n) {
    EXPECT_EQ(run.writes[n].at_ns, late_ns + static_cast<std::int64_t>(n - 8) * kMs);
  }
  EXPECT_EQ(FirstPacket(run.writes[6]), 100u);
  EXPECT_EQ(run.sender.SentBytes(),
            static_cast<std::int64_t>(13 * kPacedChunkBytes + 2 * kTsPacketBytes));

  // 15 chunks into a queue of 10, nothing sent meanwhile: the 5 oldest are lost, counted. The
  // queue more than half full is shed at 5/4 of the rate (a chunk every 0.8 ms) after the
  // burst's worth, down to half, then the rate again.
  run.Queue(1000, 15 * kPacketsPerChunk);
  EXPECT_EQ(run.sender.DroppedBytes(), static_cast<std::int64_t>(5 * kPacedChunkBytes));
  EXPECT_EQ(run.sender.QueuedBytes(), kQueueChunks * kPacedChunkBytes);
  const std::int64_t overflow_ns = run.now_ns + 1000 * kMs;
  run.RunFrom(overflow_ns);
  ASSERT_EQ(run.writes.size(), 24u);
  const std::vector<std::int64_t> expected_ns = {0, 0, 0, 800'000, 1'600'000, 2'600'000, 3'600'000};
  for (std::size_t n = 0; n < expected_ns.size(); ++n) {
    EXPECT_EQ(run.writes[14 + n].at_ns, overflow_ns + expected_ns[n]) << n;
  }
  EXPECT_EQ(run.writes[14].bytes[0], 0x47);
  EXPECT_EQ(FirstPacket(run.writes[14]), 1000 + 5 * kPacketsPerChunk);
  EXPECT_EQ(FirstPacket(run.writes[23]), 1000 + 14 * kPacketsPerChunk);
  EXPECT_EQ(run.sender.QueuedBytes(), 0u);
  EXPECT_FALSE(run.sender.Failed(nullptr));
}

// A rate that is no whole number of nanoseconds a chunk: each chunk leaves at the time computed
// from the run's start, never early, the error not adding up over the run.
TEST(PacedSenderTest, AnUnevenRateKeepsItsScheduleOverTheRun) {
  constexpr long kRate = 5'712'000;
  constexpr std::size_t kChunks = 3000;
  FakeClockRun run(kRate, 2 * kChunks);
  run.Queue(0, kChunks * kPacketsPerChunk);
  run.RunFrom(0);
  ASSERT_EQ(run.writes.size(), kChunks);
  for (std::size_t n = 0; n < kChunks; ++n) {
    const long double exact = static_cast<long double>(n) * kPacedChunkBytes * 8 * 1e9L / kRate;
    EXPECT_GE(static_cast<long double>(run.writes[n].at_ns), exact - 1) << n;
    EXPECT_LE(static_cast<long double>(run.writes[n].at_ns), exact) << n;
  }
}

// A writer that stalled with the stream queued: the sender catches up at 5/4 of the rate after
// the burst's worth at once, and is back on its schedule once it has caught up.
TEST(PacedSenderTest, ASenderThatStalledCatchesUpAboveTheRateWithoutABurst) {
  constexpr std::size_t kChunks = 400;
  FakeClockRun run(kMsRate, 2 * kChunks);
  run.Queue(0, kChunks * kPacketsPerChunk);
  EXPECT_EQ(run.sender.SendDue(0), std::optional<std::int64_t>(kMs));
  // 49 ms late.
  run.RunFrom(50 * kMs);
  ASSERT_EQ(run.writes.size(), kChunks);
  for (std::size_t n = 1; n < 4; ++n) EXPECT_EQ(run.writes[n].at_ns, 50 * kMs);
  // The schedule is 47 ms behind, a quarter of that made up each millisecond: caught up after
  // 188 ms, chunk 238 due at 238 ms and leaving then.
  for (std::size_t n = 4; n < 238; ++n) {
    EXPECT_EQ(run.writes[n].at_ns - run.writes[n - 1].at_ns, 800'000) << n;
  }
  for (std::size_t n = 239; n < kChunks; ++n) {
    EXPECT_EQ(run.writes[n].at_ns, static_cast<std::int64_t>(n) * kMs) << n;
  }
}

// A write that fails ends the sending: why is kept, what was queued is dropped, and later bytes
// are not held.
TEST(PacedSenderTest, AFailedWriteEndsTheSendingAndSaysWhy) {
  FakeClockRun run(kMsRate, kQueueChunks, 2);
  run.Queue(0, 4 * kPacketsPerChunk);
  run.RunFrom(0);
  EXPECT_EQ(run.writes.size(), 2u);
  std::string why;
  EXPECT_TRUE(run.sender.Failed(&why));
  EXPECT_EQ(why, "refused");
  EXPECT_EQ(run.sender.DroppedBytes(), static_cast<std::int64_t>(2 * kPacedChunkBytes));
  run.Queue(100, kPacketsPerChunk);
  EXPECT_EQ(run.sender.QueuedBytes(), 0u);
  EXPECT_FALSE(run.sender.SendDue(run.now_ns + kMs));
  EXPECT_FALSE(run.sender.Drain(std::chrono::milliseconds(1)));
}

// On its thread and the steady clock: everything leaves, never faster than the catch-up rate
// after the burst's worth, however late the thread ran; a stop with an hour of stream still
// queued ends at once.
TEST(PacedSenderTest, TheThreadSendsAtTheRateAndStopsWithoutSendingTheRest) {
  std::mutex mutex;  // guards times
  std::vector<std::int64_t> times;
  constexpr std::size_t kChunks = 100;
  {
    CPacedSender sender(kMsRate, 2 * kChunks * kPacedChunkBytes,
                        [&](const std::uint8_t*, std::size_t, std::string*) {
                          std::lock_guard lock(mutex);
                          times.push_back(std::chrono::steady_clock::now().time_since_epoch() /
                                          std::chrono::nanoseconds(1));
                          return true;
                        });
    sender.Start();
    const std::vector<std::uint8_t> bytes = Packets(0, kChunks * kPacketsPerChunk);
    sender.Send(bytes.data(), bytes.size());
    ASSERT_TRUE(sender.Drain(std::chrono::seconds(60)));
    EXPECT_EQ(sender.SentBytes(), static_cast<std::int64_t>(kChunks * kPacedChunkBytes));
  }
  ASSERT_EQ(times.size(), kChunks);
  for (std::size_t n = 1; n < kChunks; ++n) {
    EXPECT_GE(times[n] - times[0], (static_cast<std::int64_t>(n) - 3) * 800'000);
  }

  // One chunk a second, an hour of it queued: the stop does not wait for it.
  CPacedSender slow(static_cast<long>(kPacedChunkBytes) * 8, 3600 * kPacedChunkBytes,
                    [](const std::uint8_t*, std::size_t, std::string*) { return true; });
  slow.Start();
  const std::vector<std::uint8_t> hour = Packets(0, 3600 * kPacketsPerChunk);
  slow.Send(hour.data(), hour.size());
  slow.Stop();
  EXPECT_LT(slow.SentBytes(), static_cast<std::int64_t>(3600 * kPacedChunkBytes));
  slow.Stop();  // again: nothing
}

}  // namespace
}  // namespace vxr
