#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/latency_record.h"
#include "sinks/stream/name_resolution.h"
#include "sinks/stream/output_url.h"
#include "vboard/program/program_frame.h"
#include "vboard/server/board_clock.h"
#include "vboard/server/board_config.h"

namespace vxr {

class COutageReport;
class CSrtListener;

// Opens the muxer and the encoders with settings (at a standard picture size, without a
// destination): false with FFmpeg's reason when it refuses one of the deck's options, so that
// the output is refused at start instead of failing on every connection.
bool ProbeStreamEncoders(const StreamSettings& settings, std::string* error);

// The transport stream's constant rate: muxrate= or the video and sound bit rates and a tenth.
long StreamMuxRate(const StreamSettings& settings, const OutputFormat& format);
// The URL FFmpeg opens: UDP datagrams paced at the transport rate unless bitrate= was given.
std::string StreamProtocolUrl(const StreamSettings& settings, const OutputFormat& format);

// One MPEG-TS program stream to a network destination: H.264 (or MPEG-2) at the board's output
// size and rate, AAC (or MP2) at 48 kHz stereo. One continuous stream for the sink's whole life:
// picture timestamps are the output ticks, so they move forward one output frame per tick
// through still, jog, cue, eject and a new tape. The transport stream has a constant rate and
// stamps every frame the settings' delay ahead of its clock reference, so that a decoder locked
// to that clock has its buffer; each picture carries its tape timecode in the codec's own field.
//
// Push never waits. Its thread opens the destination (an SRT listener waits for its first
// caller there, never on the board's clock), encodes and sends. An SRT listener is the deck's
// own (CSrtListener): it serves every caller, up to maxcallers=, the same stream; the encoders
// run while at least one caller is connected. RIST goes through the deck's own paced sender
// (CPacedSender): its thread writes the stream into FFmpeg's protocol in 1316-byte messages at
// the transport rate. When the destination fails it reports
// once, retries with back-off (0.5 s doubling up to 2 s) and counts the pictures it could not
// send, summarising a long outage every minute; while nothing is connected it keeps only the
// newest tick; when encoding falls
// behind the output clock it sends the sound and drops pictures (a receiver shows the last one
// longer), counting them. The queue is bounded: 50 ticks, and 32 MiB of their pictures (beyond
// that the oldest ticks keep only their sound, their pictures counted as dropped). How long a
// picture took, and how long after its tick it was sent, are read on the board's clock; the
// network's time-outs run on real time whatever clock the board has.
class CStreamOutput : public IProgramSink {
 public:
  // clock: the board's; the ticks' times are on it. resolve turns the destination's host name
  // into an address, away from the output's thread, so that a stop never waits for it.
  CStreamOutput(StreamSettings settings, OutputFormat format,
                std::shared_ptr<const IBoardClock> clock,
                ResolveFunction resolve = &ResolveWithSystem);
  // Stops (see Stop).
  ~CStreamOutput() override;

  // Ends the stream: what is queued is dropped, the encoders' last packets and the trailer go
  // out, a blocking open or write is interrupted, and the thread ends. Idempotent.
  void Stop();
  // The run's figures in one line for the log: ticks, pictures sent and dropped, ticks with no
  // caller, failures, encode time and tick to sent, and the presentation delay after it.
  std::string Figures() const;
  CStreamOutput(const CStreamOutput&) = delete;
  CStreamOutput& operator=(const CStreamOutput&) = delete;

  void Push(std::shared_ptr<const ProgramFrame> frame) override;
  ProgramSinkStats Stats() const override;
  std::string Name() const override { return settings_.display_name; }

  // Ticks an SRT listener had no caller for (counted neither sent nor dropped).
  std::int64_t Uncalled() const { return uncalled_.load(); }
  // True once a destination has been opened and not lost since.
  bool Connected() const { return connected_.load(); }
  // Ticks waiting to be sent.
  std::size_t QueuedTicks() const;
  // The bytes of the pictures those ticks hold, a picture shared by several counted once.
  std::size_t QueuedPictureBytes() const;
  // How long a picture took to encode and send, and from its tick to the end of its sending.
  CLatencyRecord::Summary EncodeTimes() const { return encode_times_.Summarize(); }
  CLatencyRecord::Summary TickToSent() const { return tick_to_sent_.Summarize(); }

 private:
  class Session;
  friend bool ProbeStreamEncoders(const StreamSettings& settings, std::string* error);
  void Run();
  // Opens the destination; null when it cannot (outage tells whether to say so).
  std::unique_ptr<Session> Connect(std::int64_t origin_tick, bool wide, COutageReport* outage);
  // An SRT listener's: binds it when not yet bound and waits for a caller; null with why when
  // it cannot bind, or when the output stops.
  std::shared_ptr<CSrtListener> ListenForCaller(const StreamSettings& settings, std::string* error);
  // Puts the address of settings' host name into its protocol URL; false with why when it
  // cannot, or when the output stops meanwhile.
  bool ResolveDestination(StreamSettings* settings, std::string* error);
  void SkipStaleBacklog(std::shared_ptr<const ProgramFrame>* frame, std::size_t* backlog);
  std::shared_ptr<const ProgramFrame> TakeNext(std::size_t* backlog);
  // Encodes and sends one tick (its picture unless the backlog is too long); false when the
  // destination was lost (counted and reported) or the output stops.
  bool SendTick(Session& session, const ProgramFrame& frame, std::size_t backlog,
                COutageReport* outage);
  // Waits *retry_ms (a stop ends it), doubles it up to the cap and drops what queued meanwhile.
  bool WaitBeforeRetry(int* retry_ms);
  void DropQueued();
  // The SRT listener once bound (null before), and its callers connected now.
  std::shared_ptr<CSrtListener> Listener() const;
  int ListenerCallers() const;
  static std::int64_t SteadyNs();

  const StreamSettings settings_;
  const OutputFormat format_;
  const std::shared_ptr<const IBoardClock> clock_;
  const ResolveFunction resolve_;

  mutable std::mutex mutex_;  // guards queue_, stop_, resolving_ and listener_
  std::condition_variable wake_;
  std::deque<std::shared_ptr<const ProgramFrame>> queue_;
  bool stop_ = false;
  std::shared_ptr<CNameResolution> resolving_;  // the name being resolved; Stop cancels it
  // An SRT listener's, bound once for the output's life; Stop interrupts its wait for a caller.
  std::shared_ptr<CSrtListener> listener_;
  std::atomic<bool> stopping_{false};  // read by FFmpeg's interrupt callback

  std::atomic<bool> connected_{false};
  std::atomic<std::int64_t> received_{0};
  std::atomic<std::int64_t> sent_{0};
  std::atomic<std::int64_t> dropped_{0};
  std::atomic<std::int64_t> failures_{0};
  // Ticks an SRT listener had nobody to send to: not dropped, and not in Stats' figures.
  std::atomic<std::int64_t> uncalled_{0};

  CLatencyRecord encode_times_;
  CLatencyRecord tick_to_sent_;

  std::thread thread_;  // "stream out": opens, encodes and sends
};

}  // namespace vxr
