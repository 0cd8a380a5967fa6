// Loading a tape (an AVI movie or a TML timeline project) into a super clip of the board, and
// ejecting it again.
#include <cmath>
#include <string>

#include "player/clvr_player.h"
#include "player/server_registry.h"
#include "protocol/status_bits.h"

namespace vxr {
namespace {

// Result codes of a load besides the server's own.
constexpr HRESULT kAlreadyLoaded = 85;
constexpr HRESULT kNotATapeFile = 50;

// length x rate is truncated to whole frames; the tolerance keeps a length that is an exact
// number of frames from losing its last one to floating-point rounding (29 frames at 25 per
// second give 28.999...).
constexpr double kFrameCountTolerance = 1e-6;

// The extension of the file name part of path: its last dot and what follows, or empty.
std::string Extension(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || dot < name) return {};
  return path.substr(dot);
}

// ASCII letters only: the C library's toupper follows the locale, and in a Turkish one 'i'
// does not become 'I'.
unsigned char AsciiUpper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(const std::string& text, const char* ascii) {
  std::size_t i = 0;
  for (; i < text.size() && ascii[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80 || AsciiUpper(c) != AsciiUpper(static_cast<unsigned char>(ascii[i]))) {
      return false;
    }
  }
  return i == text.size() && ascii[i] == '\0';
}

}  // namespace

HRESULT CClvrPlayer::InsertTape(const std::string& path) {
  const HRESULT result = LoadTape(path);
  m_last_result.store(result);
  const bool loaded = result == 0 || result == kAlreadyLoaded;
  if (!loaded) SetSuperClip(nullptr);
  const bool no_rec = m_device_type[1] == 0x50;
  ChangeStatus([&](std::uint8_t* s) {
    if (!loaded) {
      // The block starts afresh with no tape, but Local belongs to the panel's switch, not to
      // the tape: a failed load must not hand the deck to the controller behind its back.
      const bool local = status::Local.In(s);
      for (int i = 0; i < 16; ++i) s[i] = 0;
      status::Tape_OUT.Set(s, true);
      status::Local.Set(s, local);
    } else {
      s[0] &= static_cast<std::uint8_t>(~status::kTapeOutMask);
      if (result == 0) {
        // A new tape starts stopped on its first picture, whatever motion the last one showed.
        s[1] = 0;
        s[2] = 0;
        s[4] &= static_cast<std::uint8_t>(
            ~(status::Preroll.mask | status::Preview.mask | status::Review.mask));
      }
      status::Stop.Set(s, true);
      status::Standby.Set(s, true);
      status::Still.Set(s, true);
    }
    if (no_rec) {
      status::Rec_Inhibit.Set(s, true);
      status::Sys_Alarm.Set(s, false);
      status::Servo_Alarm.Set(s, false);
    }
  });
  // Transport commands are taken again, now that the tape is in.
  if (result == 0) m_mailbox.Reopen();
  return result;
}

HRESULT CClvrPlayer::LoadTape(const std::string& path) {
  const char* tag = "Err LoadTape";
  const bool ejecting = m_status.Read([](const std::uint8_t* s) { return status::Eject.In(s); });
  // While an eject runs the tape counts as loaded: the player thread drops the super clip
  // before it reports the tape out, and a load in between would be reported out at once.
  if (ejecting || SuperClip()) {
    DebugReport(tag, "Already loaded. Eject at first.\n");
    return kAlreadyLoaded;
  }
  if (!m_play_server) return E_POINTER;
  const std::string extension = Extension(path);

  std::shared_ptr<IClvSuperClip> clip;
  HRESULT hr = m_play_server->get_SuperClip(kDeckSuperClipKind, kDeckSuperClipOptions, &clip);
  if (FAILED(hr) || !clip) {
    if (SUCCEEDED(hr)) hr = E_POINTER;
    DebugReport(tag, " get_SuperClip() error 0x%X", static_cast<unsigned>(hr));
    SetSuperClip(nullptr);
    return hr;
  }
  SetSuperClip(clip);

  if (EqualsIgnoringCase(extension, ".AVI")) {
    std::shared_ptr<IClvMovie> movie;
    hr = CreateInstance(CLSCTX_INPROC_SERVER, &movie);
    if (FAILED(hr)) return hr;
    hr = movie->OpenFile(path);
    if (FAILED(hr)) {
      DebugReport(tag, "ClvMovie->OpenFile(\"%s\") error 0x%X", path.c_str(),
                  static_cast<unsigned>(hr));
    } else {
      std::int32_t width, height;
      double rate, duration, aspect;
      std::uint32_t frames, flags;
      hr = movie->GetMovieInfo(0, &width, &height, &rate, &frames, &duration, &flags, &aspect);
      if (FAILED(hr)) {
        DebugReport(tag, "GetMovieInfo(\"%s\") error 0x%X", path.c_str(),
                    static_cast<unsigned>(hr));
      } else {
        hr = clip->AddMovie(movie);
        if (FAILED(hr)) {
          DebugReport(tag, "AddMovie(\"%s\") error 0x%X", path.c_str(), static_cast<unsigned>(hr));
        }
      }
    }
    movie.reset();
    if (FAILED(hr)) return hr;
  } else if (EqualsIgnoringCase(extension, ".TML")) {
    hr = clip->AddProject(path);
    if (FAILED(hr)) {
      DebugReport(tag, "AddProject(\"%s\") error 0x%X", path.c_str(), static_cast<unsigned>(hr));
      return hr;
    }
  } else {
    DebugReport(tag, "Not *.AVI or *.TML file\n");
    return kNotATapeFile;
  }

  std::uint32_t flags = 0;
  std::int32_t width = 0, height = 0;
  hr = clip->GetFilledDataInfo(&flags, &width, &height);
  if (FAILED(hr)) {
    DebugReport(tag, "GetFilledDataInfo() error 0x%X", static_cast<unsigned>(hr));
    return hr;
  }
  if (!InitResourses(flags, width, height)) {
    const HRESULT last = m_last_result.load();
    DebugReport(tag, "InitResourses() error 0x%X", static_cast<unsigned>(last));
    FreeResources();
    return FAILED(last) ? last : E_FAIL;
  }
  double length = 0.0;
  hr = clip->get_Duration(&length);
  if (FAILED(hr)) {
    DebugReport(tag, "get_Duration() error 0x%X", static_cast<unsigned>(hr));
    return hr;
  }
  const double frames = std::trunc(length * m_output_rate + kFrameCountTolerance);
  if (!(frames >= 1.0) || frames > 4294967295.0) {
    // Without a whole frame there is no last frame to stand on.
    DebugReport(tag, "Tape shorter than one frame (%.6f s)\n", length);
    return E_INVALIDARG;
  }
  m_frame_last.store(static_cast<std::uint32_t>(frames) - 1);
  m_frame_count.store(static_cast<std::uint32_t>(frames));
  m_current_frame.store(0);
  DebugReport("Info LoadTape", "TAPE loaded!!!\n");

  // Failures here are reported by the steps themselves and do not fail the load.
  ResetToRealtime();
  add_TapeFrag(0, m_frame_last.load());
  SetTimelineState(ClvPlaybackStopped);
  SetTimelineState(ClvPlaybackPaused);
  return 0;
}

bool CClvrPlayer::InitResourses(std::uint32_t flags, std::int32_t width, std::int32_t height) {
  if (!m_TimeLine) return false;
  HRESULT failure = S_OK;
  const bool done = m_board_resources.SetUp(*m_TimeLine, flags, width, height, &failure);
  if (FAILED(failure)) m_last_result.store(failure);
  return done;
}

int CClvrPlayer::EjectTape() {
  if (!m_TimeLine) {
    // Never initialised: there is no timeline to pause or empty, and nothing failed.
    SetSuperClip(nullptr);
    return 1;
  }
  Clvr_PAUSE();
  ResetToRealtime();
  SetSuperClip(nullptr);
  return 1;
}

std::shared_ptr<IClvSuperClip> CClvrPlayer::SuperClip() {
  std::lock_guard lock(m_super_clip_lock);
  return m_super_clip;
}

void CClvrPlayer::SetSuperClip(std::shared_ptr<IClvSuperClip> clip) {
  std::lock_guard lock(m_super_clip_lock);
  m_super_clip = std::move(clip);
}

void CClvrPlayer::FreeResources() { m_board_resources.Free(); }

}  // namespace vxr
