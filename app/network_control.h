#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "deck/vtr_deck.h"
#include "library/tape_library.h"
#include "netctl/deck_control.h"

namespace vxr {

// What the network's actions need of the deck's owner (the panel or the headless deck); both
// run on the user-interface thread.
struct NetworkDeckHooks {
  // REMOTE (true) or LOCAL (false), as the panel's REMOTE button does.
  std::function<void(bool remote)> set_remote;
  // Loads the tape at path while no tape is in, as the panel's load does (recent-file list,
  // status label, log); 0 or the failing result.
  std::function<HRESULT(const std::string& path)> load_tape;
};

// The deck as the control server sees it. State and Clips read the deck and the library from
// the server's thread; every action is posted to the user-interface thread (the thread this
// object is made on) and carried out there as the panel would, its result handed back.
class CNetworkControl : public IDeckControl {
 public:
  // library may be null: the deck then offers the tape that is in as clip 1.
  CNetworkControl(CVtrDeck& deck, const CTapeLibrary* library, NetworkDeckHooks hooks);
  ~CNetworkControl() override;
  CNetworkControl(const CNetworkControl&) = delete;
  CNetworkControl& operator=(const CNetworkControl&) = delete;

  ControlDeckState State() override;
  std::vector<ControlClip> Clips() override;
  void Submit(const ControlAction& action, std::function<void(int code)> done) override;

  // The tape that is in now (the owner tells after each load; any thread).
  void SetCurrentTape(const std::string& path);

  static constexpr int kEjectPollMs = 10;
  static constexpr int kEjectTimeoutMs = 10000;

 private:
  // The user-interface thread's part of Submit for everything but a load.
  int Execute(const ControlAction& action);
  // Eject, wait for Tape_OUT, load: asynchronous on the user-interface thread.
  void LoadClip(int id, std::function<void(int)> done);
  void WaitForTapeOut(std::string path, int waited_ms, std::function<void(int)> done);
  void FinishLoad(const std::string& path, const std::function<void(int)>& done);

  CVtrDeck& deck_;
  const CTapeLibrary* library_;
  NetworkDeckHooks hooks_;
  // The target of the posted work: work still queued when this object goes is dropped with it.
  std::unique_ptr<QObject> context_;

  mutable std::mutex mutex_;  // guards current_tape_, tape_changes_ and the clip id cache
  std::string current_tape_;
  std::uint64_t tape_changes_ = 0;
  std::uint64_t cached_generation_ = ~0ull;
  std::uint64_t cached_changes_ = ~0ull;
  int cached_clip_id_ = 0;
  int cached_clip_count_ = 0;
  std::string cached_format_;
};

// The protocol's name of a picture format: "PAL", "NTSC", "720p50", "1080i50"-like
// ("1080p25" for 1080 lines at 25).
std::string VideoFormatName(int width, int height, double rate);

}  // namespace vxr
