#include "player/board_resources.h"

namespace vxr {
namespace {

std::int32_t Id(BoardResource id) { return static_cast<std::int32_t>(id); }
std::int32_t Id(BoardProperty id) { return static_cast<std::int32_t>(id); }
std::int32_t Id(BoardOption id) { return static_cast<std::int32_t>(id); }

bool Note(HRESULT hr, HRESULT* last_failure) {
  if (FAILED(hr)) *last_failure = hr;
  return SUCCEEDED(hr);
}

}  // namespace

void CBoardResources::Attach(std::shared_ptr<IClvPlayServer> server, std::int32_t board,
                             std::int32_t output_width, std::int32_t output_height) {
  server_ = std::move(server);
  board_ = board;
  output_width_ = output_width;
  output_height_ = output_height;
}

bool CBoardResources::Acquire(BoardResource id, HRESULT* last_failure) {
  return Note(server_->AcquireResource(board_, Id(id)), last_failure);
}

bool CBoardResources::SetUp(IClvTimeline& timeline, std::uint32_t flags, std::int32_t width,
                            std::int32_t height, HRESULT* last_failure) {
  if (!server_) return Note(E_POINTER, last_failure);
  const bool fields = (flags & kFieldOrderKnown) != 0;
  if (!Acquire(BoardResource::kVideoOutput, last_failure)) return false;
  std::int32_t routes = kRouteWindow;
  if (fields) {
    if (!Acquire(BoardResource::kFieldUnit, last_failure)) return false;
    routes |= kRouteFieldUnit;
  }
  std::int32_t routing = 0;
  server_->GetBoardProperty(board_, Id(BoardProperty::kOutputRouting), &routing);
  if (width == output_width_ && height == output_height_) {
    server_->SetBoardProperty(board_, Id(BoardProperty::kOutputRouting), routing & ~routes);
    Note(timeline.SetSourceRect(0, 0, output_width_, output_height_), last_failure);
  } else {
    // The output-sized window centred on the material's picture.
    const std::int32_t x = (width - output_width_) / 2;
    const std::int32_t y = (height - output_height_) / 2;
    if (!Acquire(BoardResource::kPictureWindow, last_failure)) return false;
    if (!Note(server_->SetBoardRect(board_, x, y, output_width_, output_height_), last_failure)) {
      return false;
    }
    server_->SetBoardProperty(board_, Id(BoardProperty::kOutputRouting), routing | routes);
    Note(timeline.SetSourceRect(x, y, output_width_, output_height_), last_failure);
  }
  // Output options are a refinement: without the control unit the board keeps its own.
  if (SUCCEEDED(server_->AcquireResource(board_, Id(BoardResource::kOutputControl)))) {
    server_->SetBoardOption(board_, Id(BoardOption::kFieldOutput), (flags & kInterlaced) ? 1 : 0);
    if (fields) {
      server_->SetBoardOption(board_, Id(BoardOption::kFieldSwap), 0);
      server_->SetBoardOption(board_, Id(BoardOption::kOutputScan), kScanFields);
    } else {
      server_->SetBoardOption(board_, Id(BoardOption::kOutputScan), kScanFrames);
    }
  }
  server_->ReleaseResource(board_, Id(BoardResource::kOutputControl));
  return true;
}

void CBoardResources::Free() {
  if (server_) server_->FreeResources(board_);
}

}  // namespace vxr
