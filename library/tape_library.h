#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vxr {

// One file of the library's folders.
struct LibraryTape {
  std::string path;  // the file itself
  std::string name;  // its file name
  std::string kind;  // "AVI", "TML", "MOV", "MP4", "MXF" or "MKV"
  std::uintmax_t size = 0;
  std::int64_t modified = 0;  // nanoseconds of the file's modification time
  // What probing found. A tape that cannot be played keeps its reason and is not offered.
  bool playable = false;
  std::string problem;
  double seconds = 0.0;  // its length
  int width = 0;
  int height = 0;
  double rate = 0.0;  // pictures per second
  std::string codec;
};

// Fills the probed facts of tape (path, name and kind are set): playable and the figures, or
// the reason it cannot be played. Called without the library's lock, on the scanning thread.
using TapeProbe = std::function<void(LibraryTape* tape)>;

// The tapes a deck offers: the AVI and TML files and the MOV, MP4, MXF and MKV movies of some
// folders (by extension in any letter case, not in subfolders), in name order; the playable
// ones have ids 1, 2, ... Probing is cached by path, size and modification time, and a file is
// offered only once its size and time have stood still from one scan to the next (a copy in
// progress is not). Thread-safe: Rescan on one thread, the reads from any.
class CTapeLibrary {
 public:
  // state_folder keeps the timeline projects made for movies (see LoadPath).
  CTapeLibrary(std::vector<std::string> folders, std::string state_folder,
               TapeProbe probe = ProbeTape);
  ~CTapeLibrary();
  CTapeLibrary(const CTapeLibrary&) = delete;
  CTapeLibrary& operator=(const CTapeLibrary&) = delete;

  // Reads the folders again; true when the offered list changed (the generation then moves on).
  bool Rescan();
  // Rescans every period_ms on a thread of its own (`vxr library`) until Stop; on_change runs
  // on that thread after a scan that changed the list.
  void Watch(int period_ms, std::function<void()> on_change);
  void Stop();

  // Every file found, playable or not, in name order.
  std::vector<LibraryTape> All() const;
  // The playable ones: id N is element N - 1.
  std::vector<LibraryTape> Offered() const;
  std::uint64_t Generation() const { return generation_.load(); }
  // The id of the offered tape at path (the file, or the project made for it); 0 for none.
  int IdOf(const std::string& path) const;
  // What the player loads for offered tape id: an AVI or TML file itself; for a movie, a
  // timeline project of one clip made for it in the state folder. Empty with error set when
  // there is no such tape or the project cannot be written.
  std::string LoadPath(int id, std::string* error) const;

  // The probe the deck uses: FFmpeg's for movies, the project's clips for TML files.
  static void ProbeTape(LibraryTape* tape);
  // The kind of a file name by its extension, or empty when the library does not offer it.
  static std::string KindOf(const std::string& name);

 private:
  struct Seen {
    std::uintmax_t size;
    std::int64_t modified;
  };
  std::vector<LibraryTape> Scan();
  std::string ProjectPathFor(const LibraryTape& tape) const;

  const std::vector<std::string> folders_;
  const std::string state_folder_;
  const TapeProbe probe_;

  // The scanning thread's own: the probe cache and the sizes seen at the last scan.
  std::map<std::string, LibraryTape> cache_;
  std::map<std::string, Seen> last_seen_;

  mutable std::mutex mutex_;  // guards all_ and offered_
  std::vector<LibraryTape> all_;
  std::vector<LibraryTape> offered_;
  std::atomic<std::uint64_t> generation_{0};

  std::mutex watch_mutex_;  // guards stop_watch_
  std::condition_variable watch_wake_;
  bool stop_watch_ = false;
  std::thread watcher_;
};

}  // namespace vxr
