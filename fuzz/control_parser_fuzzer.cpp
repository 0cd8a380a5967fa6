// The control protocol's parser and one client's session. The input is the bytes a client
// sends; its first byte chooses where they are cut into reads. The commands must not depend on
// the cuts, none may exceed the size limit, and every command is answered (with a fake deck)
// by text in the protocol's reply form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "netctl/control_parser.h"
#include "netctl/control_session.h"

namespace {

using vxr::ControlCommand;

class StillDeck : public vxr::IDeckControl {
 public:
  StillDeck() {
    state_.has_player = true;
    state_.frame_count = 250;
    state_.frame = 10;
    state_.clip_id = 1;
    state_.clip_count = 1;
    state_.video_format = "PAL";
  }
  vxr::ControlDeckState State() override { return state_; }
  std::vector<vxr::ControlClip> Clips() override { return {{1, "a.avi", 250, "AVI", "PAL"}}; }
  void Submit(const vxr::ControlAction&, std::function<void(int)> done) override { done(200); }

 private:
  vxr::ControlDeckState state_;
};

[[noreturn]] void Fault(const char* what) {
  std::fprintf(stderr, "control parser: %s\n", what);
  std::abort();
}

bool Same(const std::vector<ControlCommand>& a, const std::vector<ControlCommand>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].parameters != b[i].parameters ||
        a[i].syntax_error != b[i].syntax_error) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  vxr::CControlParser whole;
  const std::vector<ControlCommand> at_once = whole.Feed(bytes);
  vxr::CControlParser cut;
  std::vector<ControlCommand> in_pieces;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    for (ControlCommand& command : cut.Feed(bytes.substr(at, step))) {
      in_pieces.push_back(std::move(command));
    }
  }
  if (!Same(at_once, in_pieces)) Fault("the commands depend on how the bytes are cut");
  if (whole.Pending() != cut.Pending()) Fault("pending differs");

  StillDeck deck;
  vxr::ControlDeckSettings settings;
  vxr::CControlSession session(vxr::ControlIdentity{"vxrdeck", "fuzz"});
  for (const ControlCommand& command : at_once) {
    std::size_t length = command.name.size();
    for (const auto& [key, value] : command.parameters) length += key.size() + value.size();
    if (length > vxr::CControlParser::kMaxCommandBytes) Fault("a command over the limit");
    if (!command.syntax_error && command.name.empty()) Fault("a command without a name");
    const vxr::ControlStep step_taken = session.Handle(command, deck, settings);
    const std::string& reply = step_taken.reply;
    if (step_taken.actions.empty() &&
        (reply.size() < 6 || reply.compare(reply.size() - 2, 2, "\r\n") != 0)) {
      Fault("a reply that is not a protocol line");
    }
  }
  return 0;
}
