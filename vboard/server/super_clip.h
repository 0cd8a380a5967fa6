#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "player/clv_super_clip.h"
#include "vboard/server/movie.h"

namespace vxr {

// One clip of a super clip: frames first_frame .. last_frame (inclusive) of a movie.
struct ClipEntry {
  MovieFacts movie;
  std::uint32_t first_frame = 0;
  std::uint32_t last_frame = 0;

  std::uint32_t FrameCount() const { return last_frame - first_frame + 1; }
  double Duration() const { return FrameCount() / movie.FramesPerSecond(); }
};

// Where a tape frame comes from.
struct MaterialPicture {
  std::size_t clip = 0;           // index into the clips, in play order
  std::string path;               // the clip's movie
  std::uint32_t movie_frame = 0;  // frame number within that movie
  int width = 0;                  // the movie's pictures as stored
  int height = 0;
  double aspect_ratio = 0.0;  // and as they are meant to be seen (width / height)
};

// The software board's super clip: clips played one after another. Tape frame j (in output
// frames) shows the material at j / output rate seconds.
class CSuperClip : public IClvSuperClip {
 public:
  explicit CSuperClip(double output_rate) : output_rate_(output_rate) {}

  HRESULT AddProject(const std::string& path) override;
  HRESULT AddMovie(const std::shared_ptr<IClvMovie>& movie) override;
  HRESULT GetFilledDataInfo(std::uint32_t* flags, std::int32_t* width,
                            std::int32_t* height) override;
  HRESULT get_Duration(double* seconds) override;

  // The output rate of the board that made the super clip: its tape frames are of that rate.
  double OutputRate() const { return output_rate_; }
  // Appends clips (what AddMovie and AddProject do once their movies are probed).
  void Append(const std::vector<ClipEntry>& clips);
  // Output frames that show some of the material: those j with j / rate < duration.
  std::int64_t OutputFrames() const;
  // The material behind tape frame j; false outside 0 .. OutputFrames() - 1.
  bool MaterialAt(std::int64_t tape_frame, MaterialPicture* picture) const;
  std::vector<ClipEntry> Clips() const;
  // The largest width and the largest height among the clips' pictures (0 while empty).
  int MaxWidth() const;
  int MaxHeight() const;
  // The file the tape was made from: the project, or the first movie added; empty before.
  std::string Source() const;

 private:
  double DurationLocked() const;

  const double output_rate_;
  mutable std::mutex mutex_;  // guards clips_, source_, max_width_ and max_height_
  std::vector<ClipEntry> clips_;
  std::string source_;
  int max_width_ = 0;
  int max_height_ = 0;
};

}  // namespace vxr
