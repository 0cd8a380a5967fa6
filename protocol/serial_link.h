#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace vxr {

// The byte pipe to the edit controller: one serial port at 38400 baud, 8 data bits, odd parity
// (checked), 1 stop bit, raw. A read waits without limit for its first byte and ends early when
// the line stays quiet for more than 10 ms after a byte; a write never blocks longer than its
// write time-out (10 ms per byte plus 5 ms); a blocked read can be woken from another thread.
//
// ReadBytes, WriteBytes and PurgeInput belong to one thread (the receiver); CancelRead may come
// from any other. OpenPort and ClosePort must not race the others.
class CSerialLink {
 public:
  CSerialLink() = default;
  virtual ~CSerialLink();
  CSerialLink(const CSerialLink&) = delete;
  CSerialLink& operator=(const CSerialLink&) = delete;

  // "COM2" when no name is given.
  static constexpr const char* kDefaultPortName = "COM2";
  static constexpr int kInterByteTimeoutMs = 10;
  // How long the wake-up waits for a woken read to let go before CancelRead returns anyway.
  static constexpr int kCancelWaitMs = 2000;

  // The device a port name stands for: "COMn" (any letter case, n from 1 to 256) is
  // /dev/ttyS{n-1}, a name beginning with '/' is used as written, anything else is looked up
  // under /dev/. Empty when the name is empty (it is not a port).
  static std::string DevicePath(const char* name);

  // Opens the port for exclusive use and sets the line format. Closes a port that is open
  // first. Returns 0 or the Windows error number: 2 no such port, 5 held by someone else,
  // 1 not a serial device, 31 anything else.
  std::uint32_t OpenPort(const char* name);
  // Gives the port up (another program may then open it). Safe on a closed link.
  void ClosePort();
  bool IsOpen() const { return fd_ >= 0; }

  // Reads up to count bytes. Returns how many arrived before the line went quiet, or 0 when
  // the read failed or was cancelled (then ReadFailed tells which).
  int ReadBytes(std::uint8_t* buffer, int count);
  // The same, but gives up with 0 when no first byte comes within first_byte_timeout_ms
  // (negative: without limit). For a controller, which waits a bounded time for a reply.
  int ReadBytesWithin(std::uint8_t* buffer, int count, int first_byte_timeout_ms);
  // Waits until bytes are there or the deadline passes (none: without limit), then reads what
  // is there, up to count, without waiting for more. Returns how many were read; 0 when the
  // deadline came first, or when the read failed or was cancelled (ReadFailed and IsCancelled
  // tell which). For a reader that keeps its own framing rules.
  int ReadAvailable(std::uint8_t* buffer, int count,
                    std::optional<std::chrono::steady_clock::time_point> deadline);
  // True when the last read ended on a line error (a hung-up line, an unplugged adapter); such
  // a line fails every read at once, so a reader must pace its retries.
  bool ReadFailed() const { return last_read_error_ != 0; }
  std::uint32_t LastReadError() const { return last_read_error_; }

  // Hands all count bytes to the driver, which sends them on in the background. Waits at most
  // the write time-out for room, holding off any other write meanwhile so that two writes never
  // interleave. Returns count, the negated WAIT_TIMEOUT when the driver would not take the
  // whole buffer in time (the part that went out is lost to the controller's framing anyway),
  // or the negated Windows error number.
  int WriteBytes(const std::uint8_t* buffer, int count);
  static int WriteTimeoutMs(int count) { return 10 * count + 5; }

  // Wakes a blocked read (it returns 0) and makes every later read on this open port return 0
  // at once, so a wake-up that comes just before a read starts is never lost. Waits, bounded,
  // until the woken read has let go. Returns -1 when the link has never been opened, else 1.
  int CancelRead();
  bool IsCancelled() const { return cancelled_.load(); }
  // Waits up to timeout_ms for a cancel; true when the link is cancelled. A reader paces its
  // retries on a failed line with this, so that a stop still reaches it at once.
  bool WaitForCancel(int timeout_ms) const;

  // Discards everything received but not yet read.
  void PurgeInput();

 private:
  int Read(std::uint8_t* buffer, int count, int first_byte_timeout_ms);

  int fd_ = -1;       // the port; -1 while closed
  int wake_fd_ = -1;  // eventfd in every read's wait list; signalled for good by CancelRead
  std::atomic<bool> read_pending_{false};
  std::atomic<bool> cancelled_{false};
  std::uint32_t last_read_error_ = 0;  // reader thread only
  std::mutex write_mutex_;             // guards the port's output: one write at a time
};

// The Windows error number for an errno from a serial port.
std::uint32_t Win32ErrorFromErrno(int error);

}  // namespace vxr
