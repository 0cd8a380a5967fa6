#pragma once

#include <cstdint>
#include <memory>

#include "platform/hresult.h"
#include "player/clv_results.h"
#include "player/clv_super_clip.h"
#include "player/clv_timeline.h"

namespace vxr {

// The board's play server (class ClvPlayServer, CreateInstance with CLSCTX_ALL). Boards are
// numbered 0 .. count - 1; every call that takes a board answers E_INVALIDARG for another
// number, and every output pointer answers E_POINTER when null.
// The timeline buffers the deck asks the board for, in bytes.
inline constexpr std::uint32_t kDeckVideoBufferBytes = 614400;
inline constexpr std::uint32_t kDeckAudioBufferBytes = 8388608;
inline constexpr std::uint32_t kDeckDataBufferBytes = 4194304;
// The material the deck's super clips are made for.
inline constexpr std::uint32_t kDeckSuperClipKind = 4147;
inline constexpr std::uint32_t kDeckSuperClipOptions = 6;

class IClvPlayServer {
 public:
  virtual ~IClvPlayServer() = default;

  // Number of boards present, 0 when none (still S_OK).
  virtual HRESULT get_BoardsNumber(std::int32_t* count) = 0;

  // Output picture size and frame rate of the board (25.0, or 30000/1001 as a double).
  virtual HRESULT GetOutputFormat(std::int32_t board, std::int32_t* width, std::int32_t* height,
                                  double* frames_per_second) = 0;

  // A new timeline on the board's output. video_buffer, audio_buffer, data_buffer: buffer sizes
  // in bytes (the deck asks for kDeckVideoBufferBytes, kDeckAudioBufferBytes and
  // kDeckDataBufferBytes); flags 0. The newest timeline of a board drives its output.
  virtual HRESULT CreateAVTimeline(std::int32_t board, std::uint32_t video_buffer,
                                   std::uint32_t audio_buffer, std::uint32_t data_buffer,
                                   std::uint32_t flags,
                                   std::shared_ptr<IClvTimeline>* timeline) = 0;

  // A new, empty super clip. kind and options describe the material it will hold (the deck asks
  // for kDeckSuperClipKind and kDeckSuperClipOptions).
  virtual HRESULT get_SuperClip(std::uint32_t kind, std::uint32_t options,
                                std::shared_ptr<IClvSuperClip>* clip) = 0;

  // Board resources: units of the board that a user acquires before setting them up. Acquiring
  // a resource the caller already holds succeeds again; releasing one not held succeeds.
  // E_INVALIDARG for an unknown id; HRESULT_FROM_WIN32(ERROR_BUSY) when the unit is in use
  // elsewhere.
  virtual HRESULT AcquireResource(std::int32_t board, std::int32_t id) = 0;
  virtual HRESULT ReleaseResource(std::int32_t board, std::int32_t id) = 0;
  // Board properties by id; E_INVALIDARG for an unknown id.
  virtual HRESULT GetBoardProperty(std::int32_t board, std::int32_t id, std::int32_t* value) = 0;
  virtual HRESULT SetBoardProperty(std::int32_t board, std::int32_t id, std::int32_t value) = 0;
  // The window of the material's picture that the board shows; needs resource 5 (else
  // CLV_E_WRONG_STATE); E_INVALIDARG for a width or height below 1.
  virtual HRESULT SetBoardRect(std::int32_t board, std::int32_t x, std::int32_t y,
                               std::int32_t width, std::int32_t height) = 0;
  // Output options; needs resource 4 (else CLV_E_WRONG_STATE); E_INVALIDARG for an unknown one.
  virtual HRESULT SetBoardOption(std::int32_t board, std::int32_t option, std::int32_t value) = 0;
  // Releases every resource of the board and returns its properties, window and options to
  // their start values.
  virtual HRESULT FreeResources(std::int32_t board) = 0;
};

}  // namespace vxr
