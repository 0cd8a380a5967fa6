#include "sinks/stream/paced_sender.h"

#include <algorithm>
#include <utility>

#include "platform/thread_name.h"
#include "platform/thread_priority.h"

namespace vxr {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kChunkBits = static_cast<std::int64_t>(kPacedChunkBytes) * 8;
// A sender behind its schedule catches up at this much of the stream's rate (5/4).
constexpr std::int64_t kCatchUpNum = 5;
constexpr std::int64_t kCatchUpDen = 4;

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CPacedSender::CPacedSender(long rate, std::size_t queue_bytes, Writer writer)
    : rate_(std::max(1L, rate)),
      queue_chunks_(
          std::max<std::size_t>(1, (queue_bytes + kPacedChunkBytes - 1) / kPacedChunkBytes)),
      writer_(std::move(writer)),
      burst_ns_(std::chrono::duration_cast<std::chrono::nanoseconds>(kPacedBurst).count()),
      catch_up_chunks_(queue_chunks_ / 2),
      catch_up_chunk_ns_(kChunkBits * kNsPerSecond * kCatchUpDen / (rate_ * kCatchUpNum)),
      catch_up_burst_ns_(burst_ns_ * kCatchUpDen / kCatchUpNum) {
  partial_.reserve(kPacedChunkBytes);
}

CPacedSender::~CPacedSender() { Stop(); }

void CPacedSender::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void CPacedSender::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  drained_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool CPacedSender::Drain(std::chrono::milliseconds timeout) {
  Flush();
  std::unique_lock lock(mutex_);
  drained_.wait_for(lock, timeout,
                    [this] { return failed_ || stop_ || (queue_.empty() && !writing_); });
  return !failed_ && queue_.empty() && !writing_;
}

void CPacedSender::Send(const std::uint8_t* data, std::size_t size) {
  bool was_empty = false;
  {
    std::lock_guard lock(mutex_);
    if (failed_) return;  // nothing sends it any more
    was_empty = queue_.empty();
    while (size > 0) {
      const std::size_t take = std::min(size, kPacedChunkBytes - partial_.size());
      partial_.insert(partial_.end(), data, data + take);
      data += take;
      size -= take;
      if (partial_.size() == kPacedChunkBytes) QueuePartial();
    }
  }
  if (was_empty) wake_.notify_one();
}

void CPacedSender::Flush() {
  {
    std::lock_guard lock(mutex_);
    if (partial_.empty() || failed_) return;
    QueuePartial();
  }
  wake_.notify_one();
}

void CPacedSender::QueuePartial() {
  queued_bytes_ += partial_.size();
  queue_.push_back(std::move(partial_));
  partial_ = {};
  partial_.reserve(kPacedChunkBytes);
  // The oldest chunk goes: whole packets (the stream's bytes come in them), so the stream
  // resumes on a packet's start.
  if (queue_.size() > queue_chunks_) {
    queued_bytes_ -= queue_.front().size();
    dropped_bytes_ += static_cast<std::int64_t>(queue_.front().size());
    queue_.pop_front();
  }
}

std::int64_t CPacedSender::DueNs(std::int64_t n) const {
  // Whole seconds and the rest apart, so that a run of hours does not overflow.
  const std::int64_t bits = n * kChunkBits;
  return run_start_ns_ + bits / rate_ * kNsPerSecond + bits % rate_ * kNsPerSecond / rate_;
}

std::optional<std::int64_t> CPacedSender::SendDue(std::int64_t now_ns) {
  std::unique_lock lock(mutex_);
  while (!failed_ && !queue_.empty()) {
    if (!in_run_) {
      run_start_ns_ = now_ns;
      run_sent_ = 0;
      in_run_ = true;
      free_ns_ = now_ns;
    } else if (waited_ && DueNs(run_sent_) < now_ns - burst_ns_) {
      // The stream came late, not the sending: a new run, nothing of the missed time made up
      // beyond the burst.
      run_start_ns_ = now_ns - burst_ns_;
      run_sent_ = 0;
    }
    waited_ = false;
    const std::int64_t due_ns = DueNs(run_sent_);
    // Behind its schedule, or holding more than it should, the sender catches up at a rate a
    // little above the stream's, never in one burst.
    const bool backlog = queue_.size() > catch_up_chunks_;
    const std::int64_t send_ns = backlog ? free_ns_ : std::max(due_ns, free_ns_);
    if (send_ns > now_ns) return send_ns;
    std::vector<std::uint8_t> chunk = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= chunk.size();
    writing_ = true;
    lock.unlock();
    std::string why;
    const bool written = writer_(chunk.data(), chunk.size(), &why);
    lock.lock();
    writing_ = false;
    if (!written) {
      failed_ = true;
      why_ = why;
      // Nobody takes what is queued any more.
      for (const auto& lost : queue_) dropped_bytes_ += static_cast<std::int64_t>(lost.size());
      dropped_bytes_ += static_cast<std::int64_t>(chunk.size() + partial_.size());
      queue_.clear();
      partial_.clear();
      queued_bytes_ = 0;
      break;
    }
    sent_bytes_ += static_cast<std::int64_t>(chunk.size());
    free_ns_ = std::max(free_ns_, now_ns - catch_up_burst_ns_) + catch_up_chunk_ns_;
    if (due_ns > now_ns) {
      // Sent ahead of the schedule to shed a backlog: the schedule goes on from here.
      run_start_ns_ = now_ns;
      run_sent_ = 0;
    }
    ++run_sent_;
  }
  if (queue_.empty()) waited_ = true;
  lock.unlock();
  drained_.notify_all();
  return std::nullopt;
}

void CPacedSender::Run() {
  SetCurrentThreadName("paced send");
  // Started by the encoder's thread: it keeps the output's pace, not codec work's priority.
  SetCurrentThreadPriority(ThreadPriority::kOutput, "Paced send");
  while (true) {
    const std::optional<std::int64_t> next_ns = SendDue(SteadyNs());
    std::unique_lock lock(mutex_);
    if (stop_) break;
    if (failed_) {
      wake_.wait(lock, [this] { return stop_; });
      break;
    }
    if (next_ns) {
      const std::chrono::steady_clock::time_point due{std::chrono::nanoseconds(*next_ns)};
      wake_.wait_until(lock, due, [this] { return stop_; });
    } else {
      wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    }
    if (stop_) break;
  }
}

bool CPacedSender::Failed(std::string* why) const {
  std::lock_guard lock(mutex_);
  if (failed_ && why != nullptr) *why = why_;
  return failed_;
}

std::int64_t CPacedSender::SentBytes() const {
  std::lock_guard lock(mutex_);
  return sent_bytes_;
}

std::int64_t CPacedSender::DroppedBytes() const {
  std::lock_guard lock(mutex_);
  return dropped_bytes_;
}

std::size_t CPacedSender::QueuedBytes() const {
  std::lock_guard lock(mutex_);
  return queued_bytes_ + partial_.size();
}

}  // namespace vxr
