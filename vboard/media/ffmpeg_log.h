#pragma once

#include <string>

namespace vxr {

// Sends FFmpeg's own messages through the deck's diagnostics: warnings and errors only (not its
// chatter about encoder settings), one line each, with the values of secret options
// (passphrase=, secret=) replaced by "***", since FFmpeg repeats the whole address when a
// connection fails. Installed once for the whole program; later calls do nothing.
void RouteFfmpegLog();

// text with every "passphrase=VALUE" and "secret=VALUE" value replaced by "***"; a value ends at
// '&', white space, a quote or the end of the text.
std::string RedactSecrets(std::string text);

}  // namespace vxr
