#pragma once

#include <memory>

#include "player/clv_play_server.h"
#include "vboard/server/board_state.h"

namespace vxr {

// The software board's play server: board facts, timelines, super clips and board resources.
class CPlayServer : public IClvPlayServer {
 public:
  explicit CPlayServer(std::shared_ptr<CBoardState> state);

  HRESULT get_BoardsNumber(std::int32_t* count) override;
  HRESULT GetOutputFormat(std::int32_t board, std::int32_t* width, std::int32_t* height,
                          double* frames_per_second) override;
  HRESULT CreateAVTimeline(std::int32_t board, std::uint32_t video_buffer,
                           std::uint32_t audio_buffer, std::uint32_t data_buffer,
                           std::uint32_t flags, std::shared_ptr<IClvTimeline>* timeline) override;
  HRESULT get_SuperClip(std::uint32_t kind, std::uint32_t options,
                        std::shared_ptr<IClvSuperClip>* clip) override;
  HRESULT AcquireResource(std::int32_t board, std::int32_t id) override;
  HRESULT ReleaseResource(std::int32_t board, std::int32_t id) override;
  HRESULT GetBoardProperty(std::int32_t board, std::int32_t id, std::int32_t* value) override;
  HRESULT SetBoardProperty(std::int32_t board, std::int32_t id, std::int32_t value) override;
  HRESULT SetBoardRect(std::int32_t board, std::int32_t x, std::int32_t y, std::int32_t width,
                       std::int32_t height) override;
  HRESULT SetBoardOption(std::int32_t board, std::int32_t option, std::int32_t value) override;
  HRESULT FreeResources(std::int32_t board) override;

 private:
  std::shared_ptr<CBoardState> state_;
};

}  // namespace vxr
