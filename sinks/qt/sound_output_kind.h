#pragma once

#include <QString>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sinks/qt/sound_output.h"
#include "vboard/program/program_output_kind.h"

namespace vxr {

// A desktop user who presses PLAY expects to hear the tape: sound goes to the default device
// whenever the monitor is on by default (a display, no --no-monitor), unless --no-sound or a
// sound output is named (sound_named). platform: Qt's, empty without a display.
bool DefaultSoundWanted(bool sound_named, bool no_monitor, bool no_sound, const QString& platform);

// The program's sound on sound devices of this machine: "sound" (the default device) or
// "sound:DEVICE" (its description or id). --no-sound (no_sound) starts none, whatever the list
// says; the default device comes unasked as DefaultSoundWanted says. A device that is missing
// or cannot play is one line, and the deck goes on without it. The sound meets the picture of
// the first screen output when there is one.
class CSoundOutputKind : public IProgramOutputKind {
 public:
  CSoundOutputKind(bool no_monitor, bool no_sound) : no_monitor_(no_monitor), no_sound_(no_sound) {}

  Claim Claims(const std::string& entry) const override;
  bool Add(const std::string& entry, std::string* error) override;
  bool Check(std::string*) const override { return true; }
  void List(std::ostream& out) const override;
  bool Prepare(std::ostream& errors) override;
  void Start(const ProgramOutputStart& start) override;
  std::vector<std::string> Finish(CProgramOutput& program) override;

  const std::vector<SoundSettings>& settings() const { return settings_; }

 private:
  const bool no_monitor_;
  const bool no_sound_;
  std::vector<SoundSettings> settings_;  // as the list names them
  std::vector<SoundSettings> starting_;  // what Prepare decided
  std::vector<std::shared_ptr<CSoundOutput>> running_;
};

}  // namespace vxr
