#pragma once

#include <optional>
#include <string>

namespace vxr {

// The SRT library as the deck uses it. FFmpeg's srt protocol (an SRT caller) loads the same
// library: both count their srt_startup and srt_cleanup, which the library pairs, and the
// library's messages go to one handler for the whole process, installed here.
//
// The handler keeps what an operator needs: the library's errors, at most one line a second
// (the rest counted in the next), through the deck's diagnostics tagged "SRT", secrets hidden.
// The handshake's own messages (a caller refused for its passphrase, a version, a full listener)
// are not repeated: the listener that refused the caller says so, naming the peer, and takes the
// library's reason from them (TakeSrtRejection).
class CSrtLibrary {
 public:
  // Starts the library for this object's life, the handler installed first.
  CSrtLibrary();
  ~CSrtLibrary();
  CSrtLibrary(const CSrtLibrary&) = delete;
  CSrtLibrary& operator=(const CSrtLibrary&) = delete;
};

// Puts the process's handler of the library's messages in place (the first call does). Any SRT
// output calls it, an FFmpeg caller too, so that the library never writes to standard error.
void InstallSrtLog();

// Why the library refused the handshake of the listener's socket (the one its listen callback
// was handed), in the library's words ("Incorrect passphrase"), once; empty when it said none
// (yet). The library first says a terse reason and then, on the same thread, the words of the
// code it sends the caller: with settled_only, the terse one is not taken, as the words may
// still be on their way.
std::optional<std::string> TakeSrtRejection(int socket, bool settled_only);

}  // namespace vxr
