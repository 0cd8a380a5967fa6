#include "app/program_outputs.h"

#include <ostream>

#include "app/config_store.h"
#include "platform/diagnostics.h"

namespace vxr {
namespace {

constexpr const char* kOutputsSection = "Outputs";

// The kind an entry goes to: the first that names it, else the first that takes the rest.
IProgramOutputKind* KindOf(const ProgramOutputPlan& plan, const std::string& entry) {
  IProgramOutputKind* otherwise = nullptr;
  for (const std::unique_ptr<IProgramOutputKind>& kind : plan.kinds) {
    const IProgramOutputKind::Claim claim = kind->Claims(entry);
    if (claim == IProgramOutputKind::Claim::kNamed) return kind.get();
    if (claim == IProgramOutputKind::Claim::kOtherwise && otherwise == nullptr) {
      otherwise = kind.get();
    }
  }
  return otherwise;
}

}  // namespace

bool ParseProgramOutputs(const std::vector<std::string>& entries, const std::string& origin,
                         ProgramOutputPlan* plan, std::string* error) {
  plan->origin = origin;
  for (const std::string& entry : entries) {
    IProgramOutputKind* kind = KindOf(*plan, entry);
    std::string reason = "\"" + entry + "\": no output of that kind";
    if (kind == nullptr || !kind->Add(entry, &reason)) {
      *error = origin + ": " + reason;
      return false;
    }
  }
  return true;
}

bool ReadProgramOutputs(const std::vector<std::string>& from_command_line,
                        const std::string& app_name, ProgramOutputPlan* plan, std::string* error) {
  if (!from_command_line.empty()) {
    return ParseProgramOutputs(from_command_line, "--output", plan, error);
  }
  std::vector<std::string> entries;
  const CConfigStore config(app_name);
  for (int key = 1;; ++key) {
    const std::string entry = config.Read(kOutputsSection, std::to_string(key), "");
    if (entry.empty()) break;
    entries.push_back(entry);
  }
  config.KeepSecretsPrivate();
  return ParseProgramOutputs(entries, config.FilePath() + " [Outputs]", plan, error);
}

bool CheckProgramOutputs(const ProgramOutputPlan& plan, std::string* error) {
  for (const std::unique_ptr<IProgramOutputKind>& kind : plan.kinds) {
    std::string reason;
    if (!kind->Check(&reason)) {
      *error = plan.origin + ": " + reason;
      return false;
    }
  }
  return true;
}

void ListOutputs(const ProgramOutputPlan& plan, std::ostream& out) {
  for (const std::unique_ptr<IProgramOutputKind>& kind : plan.kinds) kind->List(out);
}

BoardWithOutputs::~BoardWithOutputs() {
  if (!program || !outputs) return;
  // The run's figures, for the log.
  for (const std::unique_ptr<IProgramOutputKind>& kind : outputs->kinds) {
    for (const std::string& line : kind->Finish(*program)) DebugOutput("Info Output", line);
  }
}

std::shared_ptr<BoardWithOutputs> StartBoardWithOutputs(std::shared_ptr<ProgramOutputPlan> plan,
                                                        std::ostream& errors) {
  auto server = std::make_shared<BoardWithOutputs>();
  server->board = StartBoardFromEnvironment();
  server->outputs = std::move(plan);
  if (!server->board || server->board->config().board_count < 1 || !server->outputs) {
    return server;
  }
  bool consumed = false;
  for (const std::unique_ptr<IProgramOutputKind>& kind : server->outputs->kinds) {
    consumed = kind->Prepare(errors) || consumed;  // every kind says what it has
  }
  if (!consumed) return server;

  CSoftwareBoard& board = *server->board;
  server->monitor = std::make_unique<CBoardMonitor>(board);
  server->program = std::make_unique<CProgramOutput>(board, *server->monitor);
  SharedOutputFigures shared;
  const ProgramOutputStart start{*server->program, *server->monitor, board.config().format,
                                 board.clock(),    errors,           shared};
  for (const std::unique_ptr<IProgramOutputKind>& kind : server->outputs->kinds) {
    kind->Start(start);
  }
  return server;
}

}  // namespace vxr
