#include "vboard/server/play_server.h"

#include <utility>

#include "player/clv_results.h"
#include "vboard/server/super_clip.h"
#include "vboard/server/timeline.h"

namespace vxr {
namespace {

bool KnownResource(std::int32_t id) { return id >= kResourceOutput && id <= kResourceWindow; }
bool KnownProperty(std::int32_t id) { return id >= 0 && id < kPropertyCount; }
bool KnownOption(std::int32_t option) { return option >= 1 && option <= 3; }

}  // namespace

CPlayServer::CPlayServer(std::shared_ptr<CBoardState> state) : state_(std::move(state)) {}

HRESULT CPlayServer::get_BoardsNumber(std::int32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = state_->config().board_count;
  return S_OK;
}

HRESULT CPlayServer::GetOutputFormat(std::int32_t board, std::int32_t* width, std::int32_t* height,
                                     double* frames_per_second) {
  if (width == nullptr || height == nullptr || frames_per_second == nullptr) return E_POINTER;
  if (!state_->ValidBoard(board)) return E_INVALIDARG;
  const OutputFormat& format = state_->config().format;
  *width = format.width;
  *height = format.height;
  *frames_per_second = format.FramesPerSecond();
  return S_OK;
}

HRESULT CPlayServer::CreateAVTimeline(std::int32_t board, std::uint32_t, std::uint32_t,
                                      std::uint32_t, std::uint32_t,
                                      std::shared_ptr<IClvTimeline>* timeline) {
  if (timeline == nullptr) return E_POINTER;
  timeline->reset();
  if (!state_->ValidBoard(board)) return E_INVALIDARG;
  if (HRESULT f = InjectedFault(state_->Faults(), BoardCall::kCreateAVTimeline); FAILED(f))
    return f;
  auto created = std::make_shared<CTimeline>(state_->clock(), state_->grid());
  created->SetFaultInjector(state_->Faults());
  created->SetReadyCheck([state = state_, board](const std::shared_ptr<CSuperClip>& tape,
                                                 std::int64_t frame, const CTimeline::Rect& rect,
                                                 CTimeline::Need need) {
    return state->PictureReady(board, tape, frame, rect, need);
  });
  state_->AttachTimeline(board, created);
  *timeline = std::move(created);
  return S_OK;
}

HRESULT CPlayServer::get_SuperClip(std::uint32_t, std::uint32_t,
                                   std::shared_ptr<IClvSuperClip>* clip) {
  if (clip == nullptr) return E_POINTER;
  if (HRESULT f = InjectedFault(state_->Faults(), BoardCall::kGetSuperClip); FAILED(f)) return f;
  *clip = std::make_shared<CSuperClip>(state_->grid().Rate());
  return S_OK;
}

HRESULT CPlayServer::AcquireResource(std::int32_t board, std::int32_t id) {
  if (!KnownResource(id)) return E_INVALIDARG;
  return state_->Change(board, [id](BoardResources& resources) {
    if (resources.busy.count(id) != 0) return HRESULT_FROM_WIN32(ERROR_BUSY);
    resources.acquired.insert(id);
    return S_OK;
  });
}

HRESULT CPlayServer::ReleaseResource(std::int32_t board, std::int32_t id) {
  if (!KnownResource(id)) return E_INVALIDARG;
  return state_->Change(board, [id](BoardResources& resources) {
    resources.acquired.erase(id);
    return S_OK;
  });
}

HRESULT CPlayServer::GetBoardProperty(std::int32_t board, std::int32_t id, std::int32_t* value) {
  if (value == nullptr) return E_POINTER;
  if (!KnownProperty(id)) return E_INVALIDARG;
  return state_->Change(board, [id, value](BoardResources& resources) {
    *value = resources.properties[id];
    return S_OK;
  });
}

HRESULT CPlayServer::SetBoardProperty(std::int32_t board, std::int32_t id, std::int32_t value) {
  if (!KnownProperty(id)) return E_INVALIDARG;
  return state_->Change(board, [id, value](BoardResources& resources) {
    resources.properties[id] = value;
    return S_OK;
  });
}

HRESULT CPlayServer::SetBoardRect(std::int32_t board, std::int32_t x, std::int32_t y,
                                  std::int32_t width, std::int32_t height) {
  if (width < 1 || height < 1) return E_INVALIDARG;
  return state_->Change(board, [=](BoardResources& resources) {
    if (resources.acquired.count(kResourceWindow) == 0) return CLV_E_WRONG_STATE;
    resources.rect = BoardResources::Rect{x, y, width, height};
    return S_OK;
  });
}

HRESULT CPlayServer::SetBoardOption(std::int32_t board, std::int32_t option, std::int32_t value) {
  if (!KnownOption(option)) return E_INVALIDARG;
  return state_->Change(board, [option, value](BoardResources& resources) {
    if (resources.acquired.count(kResourceOutputControl) == 0) return CLV_E_WRONG_STATE;
    resources.options[option] = value;
    return S_OK;
  });
}

HRESULT CPlayServer::FreeResources(std::int32_t board) {
  return state_->Change(board, [](BoardResources& resources) {
    resources.ReturnToStart();
    ++resources.free_count;
    return S_OK;
  });
}

}  // namespace vxr
