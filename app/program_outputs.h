#pragma once

#include <QString>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sinks/qt/monitor_window.h"
#include "sinks/qt/screen_output.h"
#include "sinks/qt/sound_output.h"
#include "sinks/stream/output_url.h"
#include "vboard/program/program_output.h"
#include "vboard/server/software_board.h"

namespace vxr {

// Where a run sends the board's program, from --output values or the INI's [Outputs] list:
//   udp://..., srt://..., rist://...   a program stream (see ParseOutputUrl)
//   screen, screen:N                   full screen on screen N (default the last)
//   sound, sound:DEVICE                the sound on a device (default the default device)
//   monitor                            the preview monitor window's own settings
// Screens and the monitor take ?burntc=0|1 (the timecode burned into the picture).
struct ProgramOutputPlan {
  std::vector<StreamSettings> streams;
  std::vector<ScreenSettings> screens;
  std::vector<SoundSettings> sounds;
  bool monitor_burn_timecode = false;
  std::string origin = "--output";  // where the list came from, for messages
};

// Checks entries; origin ("--output", "FILE [Outputs]") starts the error. Pure: nothing opens.
bool ParseProgramOutputs(const std::vector<std::string>& entries, const std::string& origin,
                         ProgramOutputPlan* plan, std::string* error);

// The command line's outputs, else the INI's [Outputs] keys 1, 2, ... up to the first missing.
bool ReadProgramOutputs(const std::vector<std::string>& from_command_line,
                        const std::string& app_name, ProgramOutputPlan* plan, std::string* error);

// A desktop user who presses PLAY expects to hear the tape: sound goes to the default device
// whenever the monitor is on by default (a display, no --no-monitor), unless --no-sound or a
// sound output is named.
bool DefaultSoundWanted(const ProgramOutputPlan& plan, bool no_monitor, bool no_sound,
                        const QString& platform);

// After the application object: false, with a message naming the screens there are, when a
// screen output names one that does not exist, or when there are screen outputs and no display
// (a QCoreApplication).
bool CheckScreens(const ProgramOutputPlan& plan, std::string* error);

// The screens and the sound devices of this machine, for --list-outputs.
void ListOutputs(std::ostream& out);

// The software board, the window that shows its output and the program outputs. Members go in
// reverse order: the program outputs first, the board last.
struct BoardWithOutputs {
  std::unique_ptr<CSoftwareBoard> board;
  std::unique_ptr<CMonitorWindow> monitor_window;    // with the program output it shows
  std::unique_ptr<CBoardMonitor> monitor;            // when no window shows the output
  std::unique_ptr<CProgramOutput> program;           // the same
  std::vector<std::shared_ptr<IProgramSink>> sinks;  // screens and sound, removed first
  ~BoardWithOutputs();
};

// On the user-interface thread: the board from the environment, the monitor window unless
// switched off or without a display (a QCoreApplication), and every output of the plan (sound
// as DefaultSoundWanted says unless no_sound; never by default without a display). What each output
// shows goes to errors; a sound device that is missing is one line there and the deck goes on.
std::shared_ptr<BoardWithOutputs> StartBoardWithOutputs(const ProgramOutputPlan& plan,
                                                        bool no_monitor, bool no_sound,
                                                        std::ostream& errors);

}  // namespace vxr
