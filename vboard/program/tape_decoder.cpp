#include "vboard/program/tape_decoder.h"

#include <utility>

namespace vxr {

CTapeDecoder::CTapeDecoder(OutlookSource source, DecoderLimits limits, FramingSource framing,
                           PacketHook packet_hook)
    : store_(limits),
      worker_(store_, std::move(source), limits, std::move(framing), std::move(packet_hook)) {}

CTapeDecoder::Stats CTapeDecoder::stats() const {
  Stats stats = store_.Stats();
  stats.decoding = worker_.decoding();
  return stats;
}

}  // namespace vxr
