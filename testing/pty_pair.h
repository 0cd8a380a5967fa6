#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vxr::testing {

// A pseudo-terminal pair standing in for a serial line: the test holds the controller's side
// (the master) and the deck opens SlavePath() as its port. The slave starts in raw mode, so
// nothing is echoed back to the controller before the deck has configured the line, and the
// pair keeps a slave descriptor of its own, so the controller's side reads "nothing yet"
// rather than a hang-up while the deck has the port closed.
class PtyPair {
 public:
  using Bytes = std::vector<std::uint8_t>;

  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return controller_fd_ >= 0; }
  const std::string& SlavePath() const { return slave_path_; }
  int ControllerFd() const { return controller_fd_; }

  // Writes all bytes with one write call where the driver allows, so no gap opens inside
  // them. False on failure.
  bool Write(const Bytes& bytes);
  // Writes the pieces one after another with pause_ms of quiet between them.
  bool WriteWithPauses(std::initializer_list<Bytes> pieces, int pause_ms);

  // Reads until count bytes have arrived or timeout_ms has passed; returns what arrived.
  Bytes Read(std::size_t count, int timeout_ms);
  // Reads one frame by its length rule ((first byte AND 0F) + 3); empty when none starts
  // within timeout_ms, and only the part that came when it stops short.
  Bytes ReadFrame(int timeout_ms);
  // Everything that arrives until the line stays quiet for quiet_ms.
  Bytes Drain(int quiet_ms);
  // How many bytes written by the controller have reached the deck's side and wait there to be
  // read (the terminal's input queue, which every opener of the slave shares); -1 on failure.
  // A test that needs bytes to be on the line before the deck acts waits for this.
  int QueuedForDeck() const;

  // Closes the controller's side: the deck's side of the line hangs up.
  void HangUp();

 private:
  int controller_fd_ = -1;
  int slave_keeper_fd_ = -1;
  std::string slave_path_;
};

}  // namespace vxr::testing
