#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vxr {

// What FFmpeg may say is decided here, for the whole program, by one callback that looks at
// the kind of object speaking (its class category, libavutil/log.h):
// - the input side (decoders, demuxers and the stream contexts a demuxer keeps) says nothing:
//   what it finds is a result the board answers with already (a picture that fails, a movie
//   refused);
// - everything else (muxers, encoders, protocols of a program stream, converters), once
//   RouteFfmpegLog was called, goes through the deck's diagnostics: errors only (not the
//   library's chatter about encoder settings), one line each, tagged "FFmpeg", with the values
//   of secret options (passphrase=, secret=) replaced by "***", since FFmpeg repeats the whole
//   address when a connection fails; before that, only what is fatal reaches standard error.

// Puts the callback in place (the first call does; later calls do nothing). The probe and the
// decoder call it before they use the library.
void InstallFfmpegLog();

// Routes what the library may say through the deck's diagnostics from now on (a program
// stream calls it); installs the callback when it is not yet in place.
void RouteFfmpegLog();

// Runs work and returns what the library said at error level on this thread meanwhile (secrets
// redacted, lines joined by "; ", without the speaker's prefix), said nowhere else: the deck's
// own checks of FFmpeg's settings report FFmpeg's reason with it.
std::string CaptureFfmpegErrors(const std::function<void()>& work);

// Messages of the input side the callback has left unsaid (for tests).
std::int64_t QuietFfmpegMessages();

// text with every "passphrase=VALUE" and "secret=VALUE" value replaced by "***"; a value ends at
// '&', white space, a quote or the end of the text.
std::string RedactSecrets(std::string text);

}  // namespace vxr
