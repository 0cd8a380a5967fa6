#pragma once

#include <cstddef>

#include "vboard/server/board_config.h"

namespace vxr {

// How much the tape decoder may hold and how far it looks ahead.
struct DecoderLimits {
  // The whole budget in megabytes (MiB) and the read-ahead the defaults are made of: at 1080
  // about 16 converted pictures and 120 pictures of 4:2:0 material kept as decoded, which fits
  // a 4 GiB machine beside the deck.
  static constexpr std::size_t kDefaultMegabytes = 512;
  static constexpr std::size_t kDefaultReadAhead = 8;
  // The budget split: a quarter for converted pictures, the rest for pictures kept as decoded.
  static DecoderLimits ForBudget(std::size_t megabytes, std::size_t read_ahead);
  // Pictures the library holds of a movie it decodes, beside those the store keeps: references
  // (up to 16 in H.264) and the reordering delay; one more in flight per decoding thread.
  static constexpr std::size_t kLibraryPictures = 18;
  // The bytes pictures kept as decoded may take when each takes picture_bytes: the kept share
  // of the budget less what the library holds of such pictures (library_pictures of them, half
  // the share at the most).
  std::size_t KeptRoom(std::size_t picture_bytes) const;
  // These limits with the budget and read-ahead the board's settings give, where they give one,
  // the library's pictures counted in the budget.
  DecoderLimits WithBoardSettings(const BoardConfig& config) const;

  std::size_t max_pictures = 32;               // converted pictures kept at the most
  std::size_t max_bytes = 128u << 20;          // and their bytes at the most
  std::size_t max_kept_bytes = 384u << 20;     // bytes of pictures kept as decoded
  std::size_t read_ahead = kDefaultReadAhead;  // pictures converted ahead of the output's
  std::size_t max_open_movies = 4;             // movie files kept open
  int threads = 2;                             // decoding threads per movie
  // Pictures of the library's counted in max_kept_bytes (see KeptRoom); 0: none.
  std::size_t library_pictures = 0;
  // How often the worker looks at the output's queue when nothing wakes it (ticks, Nudge).
  int poll_ms = 200;
  // The monitor nudges the worker at every change a call makes to the timeline; off, the worker
  // learns of a cue only at the next tick or poll (tests make decoding lag with it).
  bool wake_on_changes = true;
};

}  // namespace vxr
