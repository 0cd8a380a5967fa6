#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vxr {

// Seven TS packets: what one datagram of a transport stream carries.
inline constexpr std::size_t kPacedChunkBytes = 1316;
inline constexpr std::size_t kTsPacketBytes = 188;
// A sender that fell behind its schedule (or waited for data) sends at most this much of the
// rate at once.
inline constexpr std::chrono::milliseconds kPacedBurst{2};

// Sends a transport stream to a writer in chunks of 1316 bytes spaced evenly at a constant rate:
// chunk n of a run leaves at start + n × 1316 × 8 / rate seconds. A sender behind that schedule
// (its writer or its thread was slow), or holding more than half its queue (the stream comes a
// little faster than the rate), catches up at 5/4 of the rate, with at most kPacedBurst's worth
// at once. When the stream itself came late (the queue ran empty), a new run starts at most
// kPacedBurst in the past: the missed time is not made up.
//
// Send, on the producer's thread, never waits: it appends to a bounded queue; beyond the bound
// the oldest whole chunks (whole TS packets) are dropped and counted. The sender's thread
// ("paced send") writes what is due and sleeps until the next chunk is due or a stop. A write
// that fails ends the sending: Failed says so and why, and what is queued then is dropped.
//
// SendDue is the schedule without the thread, on a clock the caller gives: tests drive it so.
class CPacedSender {
 public:
  // Writes one chunk; false with why when the destination failed.
  using Writer = std::function<bool(const std::uint8_t* data, std::size_t size, std::string* why)>;

  // rate in bits per second (at least 1); queue_bytes is rounded up to whole chunks, one at least.
  CPacedSender(long rate, std::size_t queue_bytes, Writer writer);
  // Stops (see Stop).
  ~CPacedSender();
  CPacedSender(const CPacedSender&) = delete;
  CPacedSender& operator=(const CPacedSender&) = delete;

  // Starts the sender's thread, which paces on the steady clock.
  void Start();
  // Ends the thread promptly, whatever is queued (see Drain). Idempotent.
  void Stop();
  // Waits until everything queued has been sent (true), or timeout passed or the sending failed.
  bool Drain(std::chrono::milliseconds timeout);

  // Appends transport stream bytes. Never waits.
  void Send(const std::uint8_t* data, std::size_t size);
  // Makes what is held short of a chunk a chunk of its own (the stream's end).
  void Flush();

  // Writes every chunk due at now_ns, at most up to the chunks queued; returns when the next is
  // due, or nothing when the queue is empty or the sending failed.
  std::optional<std::int64_t> SendDue(std::int64_t now_ns);

  // Whether a write failed, and why.
  bool Failed(std::string* why) const;
  std::int64_t SentBytes() const;
  std::int64_t DroppedBytes() const;
  std::size_t QueuedBytes() const;

 private:
  // When chunk n of the run that started at run_start_ns_ is due.
  std::int64_t DueNs(std::int64_t n) const;
  // Moves partial_ to the queue, dropping the oldest chunk beyond the bound; mutex_ held.
  void QueuePartial();
  void Run();

  const long rate_;
  const std::size_t queue_chunks_;
  const Writer writer_;
  const std::int64_t burst_ns_;
  const std::size_t catch_up_chunks_;     // a queue longer than this is a backlog to shed
  const std::int64_t catch_up_chunk_ns_;  // a chunk's time at the catch-up rate
  const std::int64_t catch_up_burst_ns_;  // kPacedBurst's worth of the rate at that rate

  // guards queue_, partial_, queued_bytes_, dropped_bytes_, sent_bytes_, failed_, why_,
  // stop_, writing_ and the schedule (run_start_ns_, run_sent_, in_run_, waited_, free_ns_)
  mutable std::mutex mutex_;
  std::condition_variable wake_;     // data queued, a stop
  std::condition_variable drained_;  // the queue emptied, or the sending failed
  std::deque<std::vector<std::uint8_t>> queue_;
  std::vector<std::uint8_t> partial_;  // bytes short of a chunk, not yet sendable
  std::size_t queued_bytes_ = 0;
  std::int64_t dropped_bytes_ = 0;
  std::int64_t sent_bytes_ = 0;
  bool failed_ = false;
  std::string why_;
  bool stop_ = false;
  bool writing_ = false;  // a chunk taken from the queue is being written
  std::int64_t run_start_ns_ = 0;
  std::int64_t run_sent_ = 0;  // chunks sent in this run
  bool in_run_ = false;
  bool waited_ = false;       // the queue ran empty since the last chunk
  std::int64_t free_ns_ = 0;  // the next chunk leaves no earlier, at the catch-up rate

  std::thread thread_;  // "paced send"
};

}  // namespace vxr
