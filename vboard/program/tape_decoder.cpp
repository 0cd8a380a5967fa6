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

bool CTapeDecoder::Decoded(const CSuperClip* tape, std::int64_t frame,
                           const Framing& framing) const {
  if (store_.Lookup(tape, frame, &framing).exact) return true;
  // A picture of intra-frame material is reached straight when it is wanted.
  MaterialPicture material;
  if (tape->MaterialAt(frame, &material) && worker_.IntraOnly(material.path)) return true;
  bool kept = false;
  store_.Inspect([&](const IHoldings& holdings) {
    kept = holdings.KeptUsableAt(TapeFrame{tape, frame}, framing);
  });
  return kept;
}

}  // namespace vxr
