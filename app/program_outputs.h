#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sinks/thumbnail/thumbnail_output_kind.h"
#include "vboard/program/board_monitor.h"
#include "vboard/program/program_output.h"
#include "vboard/program/program_output_kind.h"
#include "vboard/server/software_board.h"

namespace vxr {

// Where a run sends the board's program: the kinds of output this deck has (DeckOutputKinds),
// each with the entries of the run's list (--output values or the INI's [Outputs]) it took.
struct ProgramOutputPlan {
  std::vector<std::unique_ptr<IProgramOutputKind>> kinds;
  std::string origin = "--output";                 // where the list came from, for messages
  std::shared_ptr<CThumbnailSlot> page_thumbnail;  // the web page's thumbnail, when it has one
};

// Gives each entry to the kind that names it, else to the one that takes the rest; origin
// ("--output", "FILE [Outputs]") starts the error. Pure: nothing opens.
bool ParseProgramOutputs(const std::vector<std::string>& entries, const std::string& origin,
                         ProgramOutputPlan* plan, std::string* error);

// The command line's outputs, else the INI's [Outputs] keys 1, 2, ... up to the first missing.
bool ReadProgramOutputs(const std::vector<std::string>& from_command_line,
                        const std::string& app_name, ProgramOutputPlan* plan, std::string* error);

// After the application object: false, with a message, when an output cannot be had on this
// machine (a screen that is not there, or screens without a display).
bool CheckProgramOutputs(const ProgramOutputPlan& plan, std::string* error);

// What this machine offers the outputs (screens, sound devices), for --list-outputs.
void ListOutputs(const ProgramOutputPlan& plan, std::ostream& out);

// The software board, its monitor and program output, and the outputs that take the program.
// Members go in reverse order: the outputs first (their figures logged), the board last.
struct BoardWithOutputs {
  std::unique_ptr<CSoftwareBoard> board;
  std::unique_ptr<CBoardMonitor> monitor;  // only while some output takes the program
  std::unique_ptr<CProgramOutput> program;
  std::shared_ptr<ProgramOutputPlan> outputs;
  ~BoardWithOutputs();
};

// On the user-interface thread: the board from the environment and every output of the plan
// that takes the program, with the board's monitor and program output made for them (none, and
// no decoding, when nothing takes it). What each output shows goes to errors.
std::shared_ptr<BoardWithOutputs> StartBoardWithOutputs(std::shared_ptr<ProgramOutputPlan> plan,
                                                        std::ostream& errors);

}  // namespace vxr
