#pragma once

#include <memory>
#include <sstream>

#include "vboard/program/board_monitor.h"
#include "vboard/program/program_output.h"
#include "vboard/program/program_output_kind.h"
#include "vboard/server/software_board.h"

namespace vxr::testing {

// A board on a stepped clock with its monitor and program output, as the app makes them for the
// kinds of output: what a kind's Start gets, its start-up lines kept in errors.
struct ProgramPipeline {
  explicit ProgramPipeline(BoardConfig config = {})
      : clock(std::make_shared<CSteppedClock>(kStartNs)),
        board(config, clock),
        monitor(board),
        program(board, monitor) {}

  ProgramOutputStart Start() {
    return {program, monitor, board.config().format, clock, errors, shared};
  }

  static constexpr std::int64_t kStartNs = 1'000'000'000;
  std::shared_ptr<CSteppedClock> clock;
  CSoftwareBoard board;
  CBoardMonitor monitor;
  CProgramOutput program;
  SharedOutputFigures shared;
  std::ostringstream errors;
};

}  // namespace vxr::testing
