#pragma once

#include <memory>

#include "vboard/media/av_handles.h"

namespace vxr {

// An output context that was opened for writing (test tapes): its file is closed with it. The
// other FFmpeg handles are the board's.
struct AvOutputCloser {
  void operator()(AVFormatContext* context) const {
    if (context->pb) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
using AvOutputHandle = std::unique_ptr<AVFormatContext, AvOutputCloser>;

}  // namespace vxr
