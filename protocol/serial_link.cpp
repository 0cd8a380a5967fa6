#include "protocol/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/hresult.h"

namespace vxr {
namespace {

using Clock = std::chrono::steady_clock;

// The part of a deadline still to come, for ppoll; never negative.
timespec Remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
  const long long ns = left.count() > 0 ? left.count() : 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Raw 38400 8O1 with input parity checking, on top of what the port had.
bool SetLineFormat(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | IGNPAR);
  tio.c_iflag |= INPCK;
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB);
  tio.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B38400) != 0 || cfsetospeed(&tio, B38400) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &tio) == 0) return true;
  // Pseudo-terminals drop PARENB silently. Some C libraries read the settings back and report
  // EINVAL when nothing else changed (a second open of the same pty); that is no failure as
  // long as everything but the parity bit is in effect.
  if (errno != EINVAL) return false;
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  const tcflag_t parity = PARENB;
  const bool same = now.c_iflag == tio.c_iflag && now.c_oflag == tio.c_oflag &&
                    now.c_lflag == tio.c_lflag &&
                    (now.c_cflag & ~parity) == (tio.c_cflag & ~parity) &&
                    cfgetispeed(&now) == B38400 && cfgetospeed(&now) == B38400;
  if (!same) errno = EINVAL;
  return same;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

std::uint32_t Win32ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_ACCESS_DENIED;
    case ENOTTY:
    case EINVAL:
      return ERROR_INVALID_FUNCTION;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string CSerialLink::DevicePath(const char* name) {
  if (name == nullptr) name = kDefaultPortName;
  const std::string text(name);
  if (text.empty()) return {};
  if (text[0] == '/') return text;
  if (text.size() > 3 && std::toupper(static_cast<unsigned char>(text[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(text[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(text[2])) == 'M' && text.size() <= 6) {
    int n = 0;
    bool digits = text[3] != '0';
    for (std::size_t i = 3; i < text.size() && digits; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(text[i]))) digits = false;
      n = n * 10 + (text[i] - '0');
    }
    if (digits && n >= 1 && n <= 256) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return "/dev/" + text;
}

CSerialLink::~CSerialLink() { ClosePort(); }

std::uint32_t CSerialLink::OpenPort(const char* name) {
  ClosePort();
  const std::string path = DevicePath(name);
  if (path.empty()) return ERROR_FILE_NOT_FOUND;

  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Win32ErrorFromErrno(errno);
  auto fail = [&fd](std::uint32_t error) {
    CloseFd(fd);
    return error;
  };

  // Only a terminal device is configured or locked: a path to anything else is refused before
  // it is touched.
  struct stat info {};
  if (fstat(fd, &info) != 0) return fail(Win32ErrorFromErrno(errno));
  if (!S_ISCHR(info.st_mode) || !isatty(fd)) return fail(ERROR_INVALID_FUNCTION);
  // The lock first: TIOCEXCL does not stop root, and a deck that loses the race must not clear
  // the winner's exclusive mode when it gives up.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(Win32ErrorFromErrno(errno));
  if (ioctl(fd, TIOCEXCL) != 0) return fail(Win32ErrorFromErrno(errno));
  if (!SetLineFormat(fd)) {
    const std::uint32_t error = Win32ErrorFromErrno(errno);
    ioctl(fd, TIOCNXCL);
    return fail(error);
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const std::uint32_t error = Win32ErrorFromErrno(errno);
    ioctl(fd, TIOCNXCL);
    return fail(error);
  }

  fd_ = fd;
  wake_fd_ = wake;
  read_pending_.store(false);
  cancelled_.store(false);
  last_read_error_ = 0;
  return 0;
}

void CSerialLink::ClosePort() {
  if (fd_ >= 0) {
    // Exclusive mode outlives the descriptor while anyone else keeps the terminal open (a pty
    // whose controller side is still there), so it is given back explicitly.
    ioctl(fd_, TIOCNXCL);
    CloseFd(fd_);
  }
  CloseFd(wake_fd_);
  read_pending_.store(false);
  cancelled_.store(false);
}

int CSerialLink::ReadBytes(std::uint8_t* buffer, int count) { return Read(buffer, count, -1); }

int CSerialLink::ReadBytesWithin(std::uint8_t* buffer, int count, int first_byte_timeout_ms) {
  return Read(buffer, count, first_byte_timeout_ms);
}

int CSerialLink::Read(std::uint8_t* buffer, int count, int first_byte_timeout_ms) {
  std::optional<Clock::time_point> deadline;
  if (first_byte_timeout_ms >= 0) {
    deadline = Clock::now() + std::chrono::milliseconds(first_byte_timeout_ms);
  }
  int got = 0;
  do {
    const int n = ReadAvailable(buffer + got, count - got, deadline);
    if (n == 0) {
      // A failed or cancelled read gives nothing, not even what came before.
      if (ReadFailed() || cancelled_.load()) got = 0;
      break;
    }
    got += n;
    deadline = Clock::now() + std::chrono::milliseconds(kInterByteTimeoutMs);
  } while (got < count);
  return got;
}

int CSerialLink::ReadAvailable(std::uint8_t* buffer, int count,
                               std::optional<Clock::time_point> deadline) {
  last_read_error_ = 0;
  if (fd_ < 0) {
    last_read_error_ = ERROR_INVALID_FUNCTION;
    return 0;
  }
  if (buffer == nullptr || count <= 0) return 0;

  int got = 0;
  read_pending_.store(true);
  while (!cancelled_.load()) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    timespec timeout{};
    if (deadline) timeout = Remaining(*deadline);
    const int ready = ppoll(fds, 2, deadline ? &timeout : nullptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      last_read_error_ = Win32ErrorFromErrno(errno);
      break;
    }
    if (fds[1].revents != 0) break;  // cancelled
    if (ready == 0) break;           // the deadline passed on a quiet line
    if (fds[0].revents & POLLNVAL) {
      last_read_error_ = ERROR_INVALID_FUNCTION;
      break;
    }
    const ssize_t n = read(fd_, buffer, static_cast<std::size_t>(count));
    if (n > 0) {
      got = static_cast<int>(n);
      break;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR) &&
        (fds[0].revents & (POLLHUP | POLLERR)) == 0) {
      continue;
    }
    // End of file or an error: the line has hung up or gone away.
    last_read_error_ = n < 0 && errno != EAGAIN ? Win32ErrorFromErrno(errno) : ERROR_GEN_FAILURE;
    break;
  }
  read_pending_.store(false);
  return got;
}

int CSerialLink::WriteBytes(const std::uint8_t* buffer, int count) {
  if (buffer == nullptr || count <= 0) return 0;
  std::lock_guard lock(write_mutex_);
  if (fd_ < 0) return -static_cast<int>(ERROR_INVALID_FUNCTION);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(WriteTimeoutMs(count));
  int done = 0;
  while (done < count) {
    const ssize_t n = write(fd_, buffer + done, static_cast<std::size_t>(count - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return -static_cast<int>(Win32ErrorFromErrno(errno));
    // The driver's buffer is full: wait for room, but not past the write time-out.
    pollfd out{fd_, POLLOUT, 0};
    timespec timeout = Remaining(deadline);
    if (timeout.tv_sec == 0 && timeout.tv_nsec == 0) return -static_cast<int>(WAIT_TIMEOUT);
    const int ready = ppoll(&out, 1, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) return -static_cast<int>(Win32ErrorFromErrno(errno));
    if (ready > 0 && (out.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      return -static_cast<int>(ERROR_GEN_FAILURE);
    }
  }
  return count;
}

int CSerialLink::CancelRead() {
  if (wake_fd_ < 0) return -1;
  cancelled_.store(true);
  const std::uint64_t one = 1;
  // The counter only grows; it stays readable, so every later wait ends at once.
  [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
  for (int waited = 0; read_pending_.load() && waited < kCancelWaitMs; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 1;
}

bool CSerialLink::WaitForCancel(int timeout_ms) const {
  if (cancelled_.load()) return true;
  if (wake_fd_ < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return cancelled_.load();
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd wake{wake_fd_, POLLIN, 0};
    timespec timeout = Remaining(deadline);
    const int ready = ppoll(&wake, 1, &timeout, nullptr);
    if (ready > 0 || cancelled_.load()) return cancelled_.load();
    if (ready == 0) return false;
    if (errno != EINTR) {
      // The wait itself failed: still keep the caller from spinning.
      std::this_thread::sleep_for(Clock::duration(deadline - Clock::now()));
      return cancelled_.load();
    }
  }
}

void CSerialLink::PurgeInput() {
  if (fd_ >= 0) tcflush(fd_, TCIFLUSH);
}

}  // namespace vxr
