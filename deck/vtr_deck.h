#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/hresult.h"
#include "player/deck_player.h"
#include "protocol/command_interpreter.h"
#include "protocol/control_port.h"
#include "protocol/frame.h"
#include "protocol/frame_handler.h"

namespace vxr {

// The tape deck the system presents. It owns the player and the control port service, answers
// the edit controller's frames (on the receiver thread) and offers the front panel its
// operations (on the user-interface thread), and keeps the status copy: the 16 status bytes as
// last read from the player.
class CVtrDeck : public IFrameHandler {
 public:
  explicit CVtrDeck(PlayerFactory player_factory = {});
  ~CVtrDeck() override;
  CVtrDeck(const CVtrDeck&) = delete;
  CVtrDeck& operator=(const CVtrDeck&) = delete;

  // Protocol side (receiver thread).
  const std::uint8_t* ProcessCommand(const std::uint8_t* frame, int length) override;
  const std::uint8_t* SenseStatus(std::uint8_t value);
  const std::uint8_t* SenseCurrentTime(std::uint8_t selector);

  // Panel side (user-interface thread).
  HRESULT CreatePlayer();
  // Ends the receiver thread first (waiting for it as long as it takes), so the player is never
  // deleted under a frame being answered; the service is not started again afterwards.
  HRESULT ReleasePlayer();
  HRESULT RefreshStatus(int count, std::uint8_t* destination, int* out_count);
  HRESULT GetTimeFields(int* hours, int* minutes, int* seconds, int* frames);
  HRESULT InsertTape(const std::string& path);
  HRESULT PanelPlay();
  HRESULT PanelStop();
  HRESULT PanelFastFwd();
  HRESULT PanelRewind();
  HRESULT PanelEject();
  HRESULT SetLocal(int flag);

  // The edit controller's port (user-interface thread). StartReceiver serves the named port
  // with this deck answering the frames; the result codes are CControlPort's. StopReceiver ends
  // the receiver thread (0x80070102 when it overruns its 2000 ms; it then ends by itself).
  // IsReceiverStopped is 1 while no receiver thread runs, else 0.
  HRESULT StartReceiver(const char* port_name);
  HRESULT StopReceiver();
  int IsReceiverStopped() const;

  // The network's side (any thread; stopped before ReleasePlayer). ReadLive reads the player's
  // status and current frame without touching the status copy; TapeFrameCount is the loaded
  // tape's length (0 for none). Drive carries out one transport operation as the serial
  // controller's frames do, not gated by Local: E_FAIL without a player or a tape.
  void ReadLive(std::uint8_t status[16], std::uint32_t* frame);
  std::uint32_t TapeFrameCount() const;
  HRESULT Drive(TransportOp op, double speed, Timecode timecode);
  // The control port service's figures (replies' latency, frames dropped); any thread.
  const CControlPort& ControlPortService() const { return control_port_; }

  // The status copy as the last refresh left it.
  void StatusCopy(std::uint8_t out[16]) const;
  std::uint8_t PresetValue() const { return preset_value_; }
  std::uint8_t TimerMode() const { return timer_mode_; }

 private:
  // Reads the player's status (or the no-player status) into buffer, stores it as the status
  // copy and returns n, the count actually taken.
  int Refresh(int count, std::uint8_t buffer[16]);
  using TransportCall = int (CTransport::*)();
  // Queues op on the player (the receiver's and the network's path).
  static void RunTransport(CDeckPlayer& player, TransportOp op, double speed, Timecode timecode);
  HRESULT PanelTransport(TransportCall call, bool needs_local);
  const std::uint8_t* Nak(std::uint8_t code);

  PlayerFactory player_factory_;
  // The owning reference, set by CreatePlayer and cleared by ReleasePlayer (user-interface
  // thread only).
  std::unique_ptr<CDeckPlayer> player_;
  // The player once its initialisation has succeeded; read by the receiver thread. It is
  // cleared before the player is deleted, and the receiver is stopped before that.
  std::atomic<CDeckPlayer*> active_player_{nullptr};

  mutable std::mutex status_mutex_;  // guards status_copy_
  std::uint8_t status_copy_[16] = {};

  // Interpreter state, receiver thread only.
  std::uint8_t reply_[kMaxFrameSize] = {};
  std::uint8_t preset_value_ = 0;
  std::uint8_t timer_mode_ = 0;

  // Last, so that even an early exit from the destructor ends the receiver thread before any
  // state it touches goes.
  CControlPort control_port_;
};

}  // namespace vxr
