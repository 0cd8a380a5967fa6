#pragma once

#include <cstdint>
#include <functional>
#include <string>

extern "C" {
#include <libavcodec/packet.h>
}

namespace vxr::testing {

// A tape coded with inter-coded pictures: MPEG-4 part 2 in AVI, 64 x 48, a key frame every gop
// pictures and B pictures between, so that decoding order differs from showing order. Every
// picture carries its frame number (ReadFrameStrip).
bool WriteLongGopTape(const std::string& path, int frames, int gop);

// Rewrites the picture stream of a movie into a Matroska movie (sound is left behind): for each
// packet in decoding order, edit(index, packet, write) may write copies of it with write(pts),
// its decoding time moving with its showing time (both in the stream's time base).
using PacketWriter = std::function<bool(std::int64_t pts)>;
using PacketEdit = std::function<bool(int index, const AVPacket& packet, const PacketWriter&)>;
bool RewritePackets(const std::string& from, const std::string& to, const PacketEdit& edit);

}  // namespace vxr::testing
