#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "player/deck_player.h"

namespace vxr::testing {

// A player that records every transport call and answers queries from state the test sets.
// Safe to call from the receiver thread while the test reads it.
class FakeDeckPlayer : public CDeckPlayer {
 public:
  struct Call {
    std::string name;
    double speed = 0.0;
    std::uint32_t timecode = 0;
  };

  FakeDeckPlayer();

  // Test controls.
  void SetStatusByte(int index, std::uint8_t value);
  std::array<std::uint8_t, 16> Status() const;
  void SetCurrentTime(std::uint32_t timecode);
  void SetDeviceType(std::uint8_t first, std::uint8_t second);
  void SetInitializeResult(HRESULT result) { initialize_result_ = result; }
  void SetInsertResult(HRESULT result) { insert_result_ = result; }
  void SetLastResult(HRESULT result) { last_result_ = result; }
  void SetGetCurrentTimeResult(int result) { time_result_ = result; }
  void SetTransportResult(int result) { transport_result_ = result; }
  std::vector<Call> Calls() const;
  void ClearCalls();
  std::string InsertedPath() const;

  // CTransport
  int TapeOutState() override;
  int IsNotPlaying() override { return 1; }
  int ReservedQuery() override { return 0; }
  int IsAtEnd() override { return 0; }
  int ReadStatus(std::uint8_t* destination, unsigned start, unsigned count) override;
  int GetCurrentTime(Timecode* timecode, std::uint8_t* user_bits) override;
  int GetDeviceType(std::uint8_t* first, std::uint8_t* second) override;
  int CueUp(Timecode timecode) override;
  int Eject() override { return Record("Eject"); }
  int Stop() override { return Record("Stop"); }
  int FastFwd() override { return Record("FastFwd"); }
  int Rewind() override { return Record("Rewind"); }
  int Play() override { return Record("Play"); }
  int VariableSpeedF(float speed) override { return Record("VariableSpeedF", speed); }
  int VariableSpeed(double speed) override { return Record("VariableSpeed", speed); }
  int Jog(double speed) override { return Record("Jog", speed); }
  int Shuttle(double speed) override { return Record("Shuttle", speed); }

  // CDeckPlayer
  HRESULT Initialize() override { return initialize_result_; }
  std::uint32_t SetLocal(int flag) override;
  HRESULT InsertTape(const std::string& path) override;
  HRESULT LastResult() const override { return last_result_; }

 private:
  int Record(const char* name, double speed = 0.0, std::uint32_t timecode = 0);

  mutable std::mutex mutex_;  // guards status_, calls_, time_, inserted_path_ and device type
  std::array<std::uint8_t, 16> status_{};
  std::vector<Call> calls_;
  std::uint32_t time_ = 0;
  std::string inserted_path_;
  std::uint8_t device_first_ = 0x21;
  std::uint8_t device_second_ = 0x50;
  HRESULT initialize_result_ = 0;
  HRESULT insert_result_ = 0;
  HRESULT last_result_ = 0;
  int time_result_ = 0;
  int transport_result_ = 0;
};

}  // namespace vxr::testing
