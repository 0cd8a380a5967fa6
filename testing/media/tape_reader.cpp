#include "testing/media/tape_reader.h"

#include <memory>

#include "testing/media/av_handles.h"
#include "testing/media/tape_picture.h"

namespace vxr {

bool ReadTapeFrameNumbers(const std::string& path,
                          std::vector<std::optional<std::uint32_t>>* numbers, std::string* error) {
  AVFormatContext* raw = nullptr;
  const std::string url = "file:" + path;
  if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) < 0) {
    return *error = "cannot open " + path, false;
  }
  AvInputHandle input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return *error = "no stream info", false;
  const AVCodec* decoder = nullptr;
  const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (index < 0 || decoder == nullptr) return *error = "no video stream", false;
  AvCodecHandle codec(avcodec_alloc_context3(decoder));
  AvFrameHandle frame(av_frame_alloc());
  AvPacketHandle packet(av_packet_alloc());
  if (!codec || !frame || !packet) return *error = "out of memory", false;
  if (avcodec_parameters_to_context(codec.get(), input->streams[index]->codecpar) < 0 ||
      avcodec_open2(codec.get(), decoder, nullptr) < 0) {
    return *error = "cannot open the decoder", false;
  }
  const auto receive = [&] {
    while (avcodec_receive_frame(codec.get(), frame.get()) >= 0) {
      numbers->push_back(
          ReadFrameStrip(frame->data[0], frame->linesize[0], frame->width, frame->height));
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == index && avcodec_send_packet(codec.get(), packet.get()) >= 0) {
      receive();
    }
    av_packet_unref(packet.get());
  }
  avcodec_send_packet(codec.get(), nullptr);
  receive();
  return true;
}

}  // namespace vxr
