#include "testing/media/media_matrix.h"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vxr::testing {

// Sound whose encoder primes (MP3, AAC) goes into containers that keep the priming before
// time 0: in AVI the library would move the pictures a frame later instead.
const std::vector<MediaRow>& MediaRows() {
  static const std::vector<MediaRow> rows = {
      {"H.264 4:2:0, GOP 250 with B pictures, MP4 clip", "h264.mp4", "libx264", "yuv420p",
       "preset=superfast;x264-params=scenecut=0:log=-1", 250, 3, 64, 48, 25, 1, "pal", true, "aac",
       48000, false, 300},
      {"H.264 High 4:2:2 10-bit, MKV clip", "h264_422.mkv", "libx264", "yuv422p10le",
       "preset=superfast;x264-params=scenecut=0:log=-1", 24, 2, 64, 48, 25, 1, "pal", true, "",
       44100, false, 60},
      {"HEVC, MKV clip at 29.97 on a 29.97 board", "hevc.mkv", "libx265", "yuv420p",
       "preset=ultrafast;x265-params=log-level=none:scenecut=0", 30, 2, 64, 48, 30000, 1001, "ntsc",
       true, "ac3", 48000, false, 70},
      {"MPEG-2 4:2:2 long GOP, interlaced, MXF clip", "mpeg2.mxf", "mpeg2video", "yuv422p", "", 12,
       2, 64, 48, 25, 1, "pal", true, "", 48000, true, 60},
      {"MPEG-2 long GOP in AVI", "mpeg2.avi", "mpeg2video", "yuv420p", "", 15, 2, 64, 48, 25, 1,
       "pal", false, "mp2", 48000, false, 60},
      {"DV, AVI", "dv.avi", "dvvideo", "yuv420p", "", 1, 0, 720, 576, 25, 1, "pal", false, "",
       48000, false, 30, 0, true},
      {"DNxHR LB, MOV clip", "dnxhr.mov", "dnxhd", "yuv422p", "profile=dnxhr_lb", 1, 0, 256, 144,
       25, 1, "pal", true, "", 48000, false, 30},
      {"ProRes 422 10-bit, MOV clip", "prores.mov", "prores_ks", "yuv422p10le", "", 1, 0, 64, 48,
       25, 1, "pal", true, "aac", 44100, false, 40},
      {"FFV1, AVI", "ffv1.avi", "ffv1", "yuv420p", "", 1, 0, 64, 48, 25, 1, "pal", false, "", 44100,
       false, 40},
      {"MJPEG 29.97 material on a 25 board, AVI", "mjpeg.avi", "mjpeg", "yuvj420p", "", 1, 0, 64,
       48, 30000, 1001, "pal", false, "mp2", 48000, false, 60},
      {"Uncompressed 4:2:2, AVI, 25 material on a 29.97 board", "raw.avi", "rawvideo", "uyvy422",
       "", 1, 0, 64, 48, 25, 1, "ntsc", false, "", 48000, false, 40},
      {"MPEG-4 part 2 with B pictures, MKV clip on a 1080 board", "mpeg4.mkv", "mpeg4", "yuv420p",
       "", 12, 2, 64, 48, 25, 1, "1080-25", true, "libmp3lame", 44100, false, 50},
      {"H.264 variable frame rate, MKV", "vfr.mkv", "libx264", "yuv420p",
       "preset=superfast;x264-params=scenecut=0:log=-1", 12, 2, 64, 48, 25, 1, "pal", false,
       nullptr, 48000, false, 50, 5},
      {"H.264 3840x2160 on a 1080 board, centred and cut, MKV", "uhd.mkv", "libx264", "yuv420p",
       "preset=ultrafast;x264-params=scenecut=0:log=-1", 10, 2, 3840, 2160, 25, 1, "1080-25", false,
       nullptr, 48000, false, 25},
  };
  return rows;
}

bool HasEncoder(const MediaRow& row) {
  return avcodec_find_encoder_by_name(row.encoder) != nullptr;
}

TapeSpec SpecOf(const MediaRow& row, int width, int height, std::uint32_t frames) {
  TapeSpec spec;
  spec.frames = frames > 0 ? frames : row.frames;
  spec.width = width > 0 ? width : row.width;
  spec.height = height > 0 ? height : row.height;
  spec.rate_num = row.rate_num;
  spec.rate_den = row.rate_den;
  spec.encoder = row.encoder;
  spec.pixel_format = row.pixel_format;
  spec.encoder_options = row.options;
  spec.gop = row.gop;
  spec.b_frames = row.b_frames;
  spec.interlaced = row.interlaced;
  spec.tone_bursts = row.sound != nullptr;
  spec.sound_encoder = row.sound != nullptr ? row.sound : "";
  spec.sound_rate = row.sound_rate;
  spec.uneven = row.uneven;
  return spec;
}

bool MakeRow(const TempFolder& folder, const MediaRow& row, const TapeSpec& spec,
             const std::string& prefix, MadeRow* made, std::string* error) {
  const std::string file = prefix + row.file;
  made->spec = spec;
  made->movie = MakeTestTape(folder, file, spec, error);
  made->project.clear();
  if (made->movie.empty()) return false;
  if (row.project) {
    made->project =
        folder.WriteFile(file + ".tml", file + " " + std::to_string(kRowInFrame) + "\n");
  }
  return true;
}

std::int64_t PictureAt(const MediaRow& row, const TapeSpec& spec, double output_rate,
                       std::int64_t t) {
  const double material = static_cast<double>(row.rate_num) / row.rate_den;
  const auto period = static_cast<std::uint32_t>((row.project ? kRowInFrame : 0) +
                                                 std::floor(t * material / output_rate + 1e-9));
  return PictureShownAt(spec, period);
}

}  // namespace vxr::testing
