#include "testing/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace vxr::testing {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyPair::PtyPair() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    return;
  }
  // Terminal settings through the master apply to the slave.
  termios tio{};
  if (tcgetattr(master, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
  }
  const int keeper = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keeper < 0) {
    close(master);
    return;
  }
  const int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  controller_fd_ = master;
  slave_keeper_fd_ = keeper;
  slave_path_ = name;
}

PtyPair::~PtyPair() {
  HangUp();
  if (slave_keeper_fd_ >= 0) close(slave_keeper_fd_);
}

void PtyPair::HangUp() {
  if (controller_fd_ >= 0) close(controller_fd_);
  controller_fd_ = -1;
}

bool PtyPair::Write(const Bytes& bytes) {
  if (controller_fd_ < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(controller_fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd out{controller_fd_, POLLOUT, 0};
      poll(&out, 1, 100);
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

bool PtyPair::WriteWithPauses(std::initializer_list<Bytes> pieces, int pause_ms) {
  bool first = true;
  for (const Bytes& piece : pieces) {
    if (!first) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    first = false;
    if (!Write(piece)) return false;
  }
  return true;
}

PtyPair::Bytes PtyPair::Read(std::size_t count, int timeout_ms) {
  Bytes out;
  if (controller_fd_ < 0) return out;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < count) {
    pollfd in{controller_fd_, POLLIN, 0};
    const int ready = poll(&in, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    std::uint8_t buffer[256];
    const std::size_t want = std::min(count - out.size(), sizeof buffer);
    const ssize_t n = read(controller_fd_, buffer, want);
    if (n > 0) {
      out.insert(out.end(), buffer, buffer + n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    } else {
      // No slave side open (a hang-up on this end): nothing to read yet; do not spin on it.
      if (MillisecondsLeft(deadline) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return out;
}

PtyPair::Bytes PtyPair::ReadFrame(int timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Bytes frame = Read(1, timeout_ms);
  if (frame.empty()) return frame;
  const std::size_t length = static_cast<std::size_t>((frame[0] & 0x0F) + 3);
  const Bytes rest = Read(length - 1, std::max(MillisecondsLeft(deadline), 100));
  frame.insert(frame.end(), rest.begin(), rest.end());
  return frame;
}

int PtyPair::QueuedForDeck() const {
  int queued = 0;
  if (slave_keeper_fd_ < 0 || ioctl(slave_keeper_fd_, FIONREAD, &queued) != 0) return -1;
  return queued;
}

PtyPair::Bytes PtyPair::Drain(int quiet_ms) {
  Bytes out;
  for (;;) {
    const Bytes more = Read(1, quiet_ms);
    if (more.empty()) return out;
    out.insert(out.end(), more.begin(), more.end());
  }
}

}  // namespace vxr::testing
