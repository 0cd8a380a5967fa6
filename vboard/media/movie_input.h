#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVStream;

namespace vxr {

// How the board opens and numbers movie files, the same for the probe (movie.cpp) and the
// decoder (movie_decoder.cpp), so that tape frame n means the same picture to both.

// Opens the local file at path for reading with libavformat: only the file protocol and the
// container formats that carry movies (avi, mov/mp4, matroska/webm, mxf, mpeg, mpeg-ts, flv,
// asf, wav), so that playlists or image sequences can never make the library open other files.
// While *stop (may be null) is true, every read of the library gives up at once. Returns 0 or
// the library's negative error; *input is null on failure. Puts the library's log callback in
// place first (InstallFfmpegLog): what the input side says stays unsaid.
int OpenMovieInput(const std::string& path, const std::atomic<bool>* stop, AVFormatContext** input);

// The stream to play: the first picture stream (not cover art) that the library can decode;
// -1 for none.
int FindVideoStream(const AVFormatContext* input);

// Makes the demuxer drop every stream but the one read, so that sound and data tracks cost
// no packets.
void ReadOnlyStream(AVFormatContext* input, int index);

// Where picture 0 of the stream stands, in the stream's time base: the earliest showing time
// among its first packets (the pictures that lead a key frame in showing order come right after
// it in the file, and a cut can leave them without the pictures they refer to), else its
// declared start, else 0. Pictures are numbered from there at the stream's rate, whether or not
// the first ones can be decoded. Reads those first packets: the input stands somewhere after
// them afterwards.
std::int64_t FirstPictureTime(AVFormatContext* input, int index);

}  // namespace vxr
