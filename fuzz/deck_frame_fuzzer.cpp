// Any bytes as one received frame to the deck's frame handling, with a player that has a tape
// and with none: exactly one well-formed reply, the one the frame's kind calls for, and nothing
// read or written outside a buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "deck/vtr_deck.h"
#include "protocol/frame.h"
#include "testing/fake_deck_player.h"

namespace {

using vxr::testing::FakeDeckPlayer;

struct Decks {
  FakeDeckPlayer* player = nullptr;  // owned by with_tape
  vxr::CVtrDeck with_tape{[this] {
    auto made = std::make_unique<FakeDeckPlayer>();
    player = made.get();
    // A block where every byte differs, so a status window that is cut wrong shows.
    for (int i = 0; i < 16; ++i) made->SetStatusByte(i, static_cast<std::uint8_t>(0x11 * i + 1));
    made->SetStatusByte(0, 0x01);  // Local only: a tape is in
    made->SetCurrentTime(0x01234567);
    return made;
  }};
  vxr::CVtrDeck without_player;

  Decks() { with_tape.CreatePlayer(); }
};

[[noreturn]] void Fault(const char* what, const std::uint8_t* data, std::size_t size) {
  std::fprintf(stderr, "deck frame: %s; frame:", what);
  for (std::size_t i = 0; i < size; ++i) std::fprintf(stderr, " %02X", data[i]);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool Intact(const std::uint8_t* data, std::size_t size) {
  return size >= 3 && size == static_cast<std::size_t>((data[0] & 0x0F) + 3) &&
         data[size - 1] ==
             static_cast<std::uint8_t>(vxr::Checksum(data, static_cast<int>(size) - 1));
}

void CheckReply(const std::uint8_t* reply, const std::uint8_t* data, std::size_t size,
                const std::uint8_t* status) {
  if (reply == nullptr) Fault("no reply", data, size);
  const int length = vxr::FrameLength(reply[0]);
  if (reply[length - 1] != static_cast<std::uint8_t>(vxr::Checksum(reply, length - 1))) {
    Fault("reply with a wrong checksum", data, size);
  }
  if (!Intact(data, size)) {
    static const std::uint8_t kNak04[4] = {0x11, 0x12, 0x04, 0x27};
    if (std::memcmp(reply, kNak04, 4) != 0) Fault("broken frame not answered NAK 04", data, size);
    return;
  }
  const std::uint8_t group = reply[0] & 0xF0;
  const bool known =
      (group == 0x10 && (reply[1] == 0x01 || reply[1] == 0x12)) ||
      (group == 0x70 && (reply[1] == 0x20 || reply[1] == 0x0D || (reply[1] & 0xEF) <= 0x05)) ||
      (reply[0] == 0x12 && reply[1] == 0x11);
  if (!known) Fault("reply outside the deck's set", data, size);
  // A status sense is answered with exactly the window of the block it asks for.
  if (status != nullptr && (data[0] & 0xF0) == 0x60 && data[1] == 0x20) {
    const int start = data[2] >> 4;
    const int count = data[2] & 0x0F;
    if (reply[0] != (0x70 | count) || reply[1] != 0x20) Fault("status sense reply", data, size);
    for (int i = 0; i < count; ++i) {
      const std::uint8_t want = start + i < 16 ? status[start + i] : 0;
      if (reply[2 + i] != want) Fault("status sense window", data, size);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Decks* decks = new Decks();  // lives for the whole run, like the deck in a rack
  if (size > 256) return 0;
  // An exact-size copy: any read past the frame is outside the allocation.
  std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[size]);
  if (size != 0) std::memcpy(frame.get(), data, size);

  const auto status = decks->player->Status();
  CheckReply(decks->with_tape.ProcessCommand(frame.get(), static_cast<int>(size)), data, size,
             status.data());
  decks->player->ClearCalls();
  CheckReply(decks->without_player.ProcessCommand(frame.get(), static_cast<int>(size)), data, size,
             nullptr);
  return 0;
}
