#include "deck/vtr_deck.h"

#include <algorithm>
#include <cstring>

#include "protocol/command_interpreter.h"
#include "protocol/opcodes.h"
#include "protocol/status_bits.h"

namespace vxr {
namespace {

// Time sense selectors: which CMD-2 base and which data answer them.
enum class TimeData { kNone, kTimecode, kUserBits };
struct TimeSelector {
  std::uint8_t selector;
  std::uint8_t base_cmd2;
  TimeData data;
};

constexpr TimeSelector kTimeSelectors[] = {
    {0x01, opcodes::kLtcTime, TimeData::kTimecode},
    {0x03, opcodes::kLtcTime, TimeData::kTimecode},
    {0x11, opcodes::kLtcTime, TimeData::kTimecode},
    {0x33, opcodes::kLtcTime, TimeData::kTimecode},
    {0x04, opcodes::kTimerTime, TimeData::kTimecode},
    {0x10, opcodes::kUserBits, TimeData::kUserBits},
    {0x30, opcodes::kUserBits, TimeData::kUserBits},
};

}  // namespace

CVtrDeck::CVtrDeck(PlayerFactory player_factory) : player_factory_(std::move(player_factory)) {}

CVtrDeck::~CVtrDeck() {
  // The receiver reads the player and the status copy: it ends before either changes.
  control_port_.Shutdown();
  {
    std::lock_guard lock(status_mutex_);
    std::memset(status_copy_, 0, sizeof status_copy_);
    status_copy_[0] = status::Local.mask | status::Tape_OUT.mask;
  }
  if (player_) {
    active_player_.store(nullptr);
    player_.reset();
  }
}

HRESULT CVtrDeck::CreatePlayer() {
  if (player_) return 0;
  if (player_factory_) player_ = player_factory_();
  if (!player_) return E_OUTOFMEMORY;
  const HRESULT result = player_->Initialize();
  if (FAILED(result)) {
    player_.reset();
    return result;
  }
  std::uint8_t byte0;
  {
    std::lock_guard lock(status_mutex_);
    byte0 = status_copy_[0];
  }
  player_->SetLocal(byte0 & status::Local.mask);
  active_player_.store(player_.get());
  return 0;
}

HRESULT CVtrDeck::ReleasePlayer() {
  control_port_.Shutdown();
  active_player_.store(nullptr);
  player_.reset();
  return 0;
}

int CVtrDeck::Refresh(int count, std::uint8_t buffer[16]) {
  const int n = std::clamp(count, 0, kStatusBlockSize);
  std::memset(buffer, 0, kStatusBlockSize);
  if (CDeckPlayer* player = active_player_.load()) {
    player->ReadStatus(buffer, 0, static_cast<unsigned>(n));
  } else {
    buffer[0] = status::kNoPlayerByte0;
  }
  std::lock_guard lock(status_mutex_);
  std::memcpy(status_copy_, buffer, kStatusBlockSize);
  return n;
}

HRESULT CVtrDeck::RefreshStatus(int count, std::uint8_t* destination, int* out_count) {
  // Each caller works from its own buffer, so a refresh on another thread between this one and
  // the copy below cannot change what this caller gets.
  std::uint8_t buffer[kStatusBlockSize];
  int n = Refresh(count, buffer);
  if (destination != nullptr) {
    std::memcpy(destination, buffer, static_cast<std::size_t>(n));
  } else {
    n = 0;
  }
  if (out_count != nullptr) *out_count = n;
  return 0;
}

void CVtrDeck::StatusCopy(std::uint8_t out[16]) const {
  std::lock_guard lock(status_mutex_);
  std::memcpy(out, status_copy_, kStatusBlockSize);
}

HRESULT CVtrDeck::GetTimeFields(int* hours, int* minutes, int* seconds, int* frames) {
  CDeckPlayer* player = active_player_.load();
  if (player == nullptr) return OLE_E_NOTRUNNING;
  Timecode timecode;
  if (player->GetCurrentTime(&timecode, nullptr) != 0) return player->LastResult();
  if (hours != nullptr) *hours = timecode.Hours();
  if (minutes != nullptr) *minutes = timecode.Minutes();
  if (seconds != nullptr) *seconds = timecode.Seconds();
  if (frames != nullptr) *frames = timecode.Frames();
  return 0;
}

HRESULT CVtrDeck::InsertTape(const std::string& path) {
  CDeckPlayer* player = active_player_.load();
  if (player == nullptr) return OLE_E_NOTRUNNING;
  return player->InsertTape(path);
}

HRESULT CVtrDeck::PanelTransport(TransportCall call, bool needs_local) {
  if (needs_local) {
    std::lock_guard lock(status_mutex_);
    if (!status::Local.In(status_copy_)) return OLE_E_NOTRUNNING;
  }
  CDeckPlayer* player = active_player_.load();
  if (player == nullptr) return OLE_E_NOTRUNNING;
  if ((player->*call)() != 0) return player->LastResult();
  return 0;
}

HRESULT CVtrDeck::PanelPlay() { return PanelTransport(&CTransport::Play, true); }
HRESULT CVtrDeck::PanelStop() { return PanelTransport(&CTransport::Stop, true); }
HRESULT CVtrDeck::PanelFastFwd() { return PanelTransport(&CTransport::FastFwd, true); }
HRESULT CVtrDeck::PanelRewind() { return PanelTransport(&CTransport::Rewind, true); }
HRESULT CVtrDeck::PanelEject() { return PanelTransport(&CTransport::Eject, false); }

HRESULT CVtrDeck::SetLocal(int flag) {
  if (CDeckPlayer* player = active_player_.load()) player->SetLocal(flag);
  return 0;
}

HRESULT CVtrDeck::StartReceiver(const char* port_name) {
  return control_port_.StartReceiver(this, port_name);
}

HRESULT CVtrDeck::StopReceiver() { return control_port_.StopReceiver(); }

int CVtrDeck::IsReceiverStopped() const { return control_port_.IsThreadActive() ? 0 : 1; }

const std::uint8_t* CVtrDeck::Nak(std::uint8_t code) {
  MakeNak(code, reply_);
  return reply_;
}

const std::uint8_t* CVtrDeck::ProcessCommand(const std::uint8_t* frame, int length) {
  const DecodedRequest request = DecodeFrame(frame, length);
  switch (request.kind) {
    case RequestKind::kReply:
      switch (request.reply) {
        case FixedReply::kAck:
          return kAck;
        case FixedReply::kNakChecksum:
          return Nak(kNakChecksum);
        case FixedReply::kNakOutOfRange:
          return Nak(kNakOutOfRange);
        case FixedReply::kNakUndefined:
          return Nak(kNakUndefined);
      }
      return Nak(kNakUndefined);

    case RequestKind::kTransport: {
      CDeckPlayer* player = active_player_.load();
      if (player == nullptr || player->TapeOutState() != 0) return Nak(kNakUndefined);
      // The results are not looked at: the controller learns the outcome from the status.
      RunTransport(*player, request.op, request.speed, request.timecode);
      return kAck;
    }

    case RequestKind::kSetPreset:
      preset_value_ = request.value;
      return kAck;

    case RequestKind::kSetTimerMode:
      timer_mode_ = request.value;
      return kAck;

    case RequestKind::kDeviceType: {
      CDeckPlayer* player = active_player_.load();
      if (player == nullptr) return Nak(kNakUndefined);
      reply_[0] = opcodes::kDeviceTypeCmd1;
      reply_[1] = opcodes::kDeviceTypeCmd2;
      reply_[2] = 0x00;
      reply_[3] = 0x00;
      player->GetDeviceType(&reply_[2], &reply_[3]);
      reply_[4] = static_cast<std::uint8_t>(Checksum(reply_, 4));
      return reply_;
    }

    case RequestKind::kStatusSense:
      return SenseStatus(request.value);

    case RequestKind::kTimeSense:
      return SenseCurrentTime(request.value);
  }
  return Nak(kNakUndefined);
}

void CVtrDeck::RunTransport(CDeckPlayer& player, TransportOp op, double speed, Timecode timecode) {
  switch (op) {
    case TransportOp::kNone:
      break;
    case TransportOp::kStop:
      player.Stop();
      break;
    case TransportOp::kPlay:
      player.Play();
      break;
    case TransportOp::kEject:
      player.Eject();
      break;
    case TransportOp::kFastFwd:
      player.FastFwd();
      break;
    case TransportOp::kRewind:
      player.Rewind();
      break;
    case TransportOp::kJog:
      player.Jog(speed);
      break;
    case TransportOp::kShuttle:
      player.Shuttle(speed);
      break;
    case TransportOp::kCueUp:
      player.CueUp(timecode);
      break;
  }
}

void CVtrDeck::ReadLive(std::uint8_t status[16], std::uint32_t* frame) {
  std::memset(status, 0, kStatusBlockSize);
  *frame = 0;
  CDeckPlayer* player = active_player_.load();
  if (player == nullptr) {
    status[0] = status::kNoPlayerByte0;
    return;
  }
  Timecode timecode;
  player->GetCurrentTime(&timecode, nullptr);
  player->ReadStatus(status, 0, kStatusBlockSize);
  *frame = timecode.ToFrames(static_cast<std::uint32_t>(TimecodeRate.load()));
}

std::uint32_t CVtrDeck::TapeFrameCount() const {
  CDeckPlayer* player = active_player_.load();
  return player != nullptr && player->TapeOutState() == 0 ? player->FrameCount() : 0;
}

HRESULT CVtrDeck::Drive(TransportOp op, double speed, Timecode timecode) {
  CDeckPlayer* player = active_player_.load();
  if (player == nullptr || player->TapeOutState() != 0) return E_FAIL;
  RunTransport(*player, op, speed, timecode);
  return 0;
}

const std::uint8_t* CVtrDeck::SenseStatus(std::uint8_t value) {
  std::uint8_t block[kStatusBlockSize];
  Refresh(kStatusBlockSize, block);
  const int start = value >> 4;
  const int count = value & opcodes::kCountMask;
  // A window that runs past byte 15 is answered with zeros for the bytes the block lacks.
  std::uint8_t data[15] = {};
  for (int i = 0; i < count; ++i) {
    if (start + i < kStatusBlockSize) data[i] = block[start + i];
  }
  BuildReply(opcodes::kSenseReplyGroup, opcodes::kStatusData, data, count, reply_, kMaxFrameSize);
  return reply_;
}

const std::uint8_t* CVtrDeck::SenseCurrentTime(std::uint8_t selector) {
  CDeckPlayer* player = active_player_.load();
  if (player == nullptr) return Nak(kNakUndefined);

  // Read before the selector is looked at, so End_Of_Tape is kept up to date by every request.
  Timecode timecode;
  player->GetCurrentTime(&timecode, nullptr);

  const TimeSelector* entry = nullptr;
  for (const TimeSelector& candidate : kTimeSelectors) {
    if (candidate.selector == selector) entry = &candidate;
  }
  if (entry == nullptr) return kTimeDataNotAvailable;

  std::uint8_t data[4];
  if (entry->data == TimeData::kUserBits) {
    player->GetCurrentTime(nullptr, data);
  } else {
    timecode.ToBytes(data);
  }

  bool locked;
  {
    std::lock_guard lock(status_mutex_);
    locked = (status_copy_[0] & status::kTapeOutMask) == 0 &&
             (status::Still.In(status_copy_) || status::Servo_Lock.In(status_copy_));
  }
  const std::uint8_t cmd2 = locked ? entry->base_cmd2 : (entry->base_cmd2 | opcodes::kTimeUnlocked);
  BuildReply(opcodes::kSenseReplyGroup, cmd2, data, 4, reply_, kMaxFrameSize);
  return reply_;
}

}  // namespace vxr
