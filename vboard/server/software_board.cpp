#include "vboard/server/software_board.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <exception>
#include <iostream>

#include "platform/diagnostics.h"
#include "platform/thread_name.h"
#include "player/server_registry.h"
#include "protocol/timecode.h"
#include "vboard/server/movie.h"
#include "vboard/server/play_server.h"
#include "vboard/server/resource_holder.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

// The board whose classes are registered now, so that only it unregisters them.
std::atomic<const CSoftwareBoard*> g_registered{nullptr};

const char* MonitorWord(MonitorShowed showed) {
  switch (showed) {
    case MonitorShowed::kRightPicture:
      return "shown";
    case MonitorShowed::kOtherPicture:
      return "missed";
    case MonitorShowed::kKeyFrame:
      return "key";
    case MonitorShowed::kLate:
      return "late";
    default:
      return "-";
  }
}

}  // namespace

std::string TimecodeText(std::int64_t frame, int fps) {
  if (frame < 0) return "--:--:--:--";
  Timecode timecode;
  timecode.FromFrames(static_cast<std::uint32_t>(frame), static_cast<std::uint32_t>(fps));
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", timecode.Hours(), timecode.Minutes(),
                timecode.Seconds(), timecode.Frames());
  return text;
}

CSoftwareBoard::CSoftwareBoard(BoardConfig config, std::shared_ptr<IBoardClock> clock) {
  const bool steady = clock == nullptr;
  if (steady) clock = std::make_shared<CSteadyClock>();
  state_ = std::make_shared<CBoardState>(std::move(config), std::move(clock));
  last_reported_.assign(static_cast<std::size_t>(state_->config().board_count), -1);
  if (!state_->config().log_path.empty()) {
    log_.reset(std::fopen(state_->config().log_path.c_str(), "w"));
    if (!log_) {
      std::cerr << "vboard: cannot write the output record to \"" << state_->config().log_path
                << "\": " << std::strerror(errno) << "\n";
    }
  }
  if (steady && state_->config().board_count > 0) {
    output_thread_ = std::thread([this] { RunOutputClock(); });
  }
}

CSoftwareBoard::~CSoftwareBoard() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_ = true;
  }
  stop_signal_.notify_all();
  if (output_thread_.joinable()) output_thread_.join();
  const CSoftwareBoard* self = this;
  if (registered_ && g_registered.compare_exchange_strong(self, nullptr)) {
    UnregisterServerClasses();
  }
}

void CSoftwareBoard::Register() {
  const std::shared_ptr<CBoardState> state = state_;
  ServerClasses classes;
  classes.play_server = [state] { return std::make_shared<CPlayServer>(state); };
  classes.resource_holder = [state] { return std::make_shared<CResourceHolder>(state); };
  classes.movie = [state] { return std::make_shared<CMovie>(state->Faults()); };
  RegisterServerClasses(std::move(classes));
  registered_ = true;
  g_registered.store(this);
}

void CSoftwareBoard::SetResourceBusy(int board, int id, bool busy) {
  state_->Change(board, [id, busy](BoardResources& resources) {
    if (busy) {
      resources.busy.insert(id);
    } else {
      resources.busy.erase(id);
    }
    return S_OK;
  });
}

bool CSoftwareBoard::InjectStopOnError(int board) {
  const std::shared_ptr<CTimeline> timeline = state_->Timeline(board);
  if (!timeline) return false;
  timeline->EnterStopOnError();
  return true;
}

int CSoftwareBoard::Subscribe(OutputCallback callback) {
  std::lock_guard lock(subscribers_mutex_);
  const int id = next_id_++;
  subscribers_[id] = std::move(callback);
  return id;
}

void CSoftwareBoard::Unsubscribe(int id) {
  std::lock_guard lock(subscribers_mutex_);
  subscribers_.erase(id);
}

void CSoftwareBoard::SetMonitor(int board, MonitorCallback monitor) {
  std::lock_guard lock(monitor_mutex_);
  if (monitor) {
    monitors_[board] = std::move(monitor);
  } else {
    monitors_.erase(board);
  }
}

void CSoftwareBoard::PumpOutput() {
  std::lock_guard lock(pump_mutex_);
  // Read before the timeline catches up, so that no tick it gives lies after this moment.
  const std::int64_t reached = state_->clock()->NowNs();
  const int count = state_->config().board_count;
  for (int board = 0; board < count; ++board) {
    // The lookup takes the state's lock and releases it before the timeline takes its own.
    const std::shared_ptr<CTimeline> timeline = state_->Timeline(board);
    if (!timeline) continue;
    std::int64_t& last = last_reported_[static_cast<std::size_t>(board)];
    for (const CTimeline::TickPicture& picture : timeline->OutputSince(last)) {
      OutputFrame frame;
      frame.board = board;
      frame.tick = picture.tick;
      frame.steady_ns = state_->grid().TimeOfTick(picture.tick);
      frame.reached_ns = reached;
      frame.tape_frame = picture.tape_frame;
      frame.timecode = TimecodeText(picture.tape_frame, state_->config().format.TimecodeFps());
      {
        std::lock_guard monitor_lock(monitor_mutex_);
        const auto monitor = monitors_.find(board);
        if (monitor != monitors_.end()) frame.monitor = monitor->second(frame, picture.tape);
      }
      last = picture.tick;
      Deliver(frame);
    }
  }
}

void CSoftwareBoard::Deliver(const OutputFrame& frame) {
  // The file records the board the deck drives: the last one.
  if (log_ && frame.board == state_->config().board_count - 1) {
    if (frame.tape_frame < 0) {
      std::fprintf(log_.get(), "%" PRId64 " %" PRId64 " - %s %s\n", frame.tick, frame.steady_ns,
                   frame.timecode.c_str(), MonitorWord(frame.monitor));
    } else {
      std::fprintf(log_.get(), "%" PRId64 " %" PRId64 " %" PRId64 " %s %s\n", frame.tick,
                   frame.steady_ns, frame.tape_frame, frame.timecode.c_str(),
                   MonitorWord(frame.monitor));
    }
    std::fflush(log_.get());
  }
  // The lock is held while the callbacks run, so that Unsubscribe waits for a call in flight.
  std::lock_guard lock(subscribers_mutex_);
  for (const auto& entry : subscribers_) entry.second(frame);
}

void CSoftwareBoard::RunOutputClock() {
  SetCurrentThreadName("board output");
  try {
    const FrameGrid& grid = state_->grid();
    std::int64_t next = grid.TickAt(state_->clock()->NowNs()) + 1;
    std::unique_lock lock(stop_mutex_);
    while (!stop_) {
      const auto when =
          std::chrono::steady_clock::time_point(std::chrono::nanoseconds(grid.TimeOfTick(next)));
      if (stop_signal_.wait_until(lock, when, [this] { return stop_; })) break;
      lock.unlock();
      PumpOutput();
      next = grid.TickAt(state_->clock()->NowNs()) + 1;
      lock.lock();
    }
  } catch (const std::exception& error) {
    DebugOutput("Err vboard", std::string("output clock stopped: ") + error.what());
  } catch (...) {
    DebugOutput("Err vboard", "output clock stopped by an unknown failure");
  }
}

std::unique_ptr<CSoftwareBoard> StartBoardFromEnvironment() {
  BoardConfig config = BoardConfigFromEnvironment();
  if (!config.registered) return nullptr;
  auto board = std::make_unique<CSoftwareBoard>(std::move(config));
  board->Register();
  return board;
}

}  // namespace vxr
