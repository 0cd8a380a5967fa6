#include "app/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <iterator>

#include "platform/diagnostics.h"

namespace vxr {
namespace {

// SIGHUP too: the terminal that started the deck closing (or an ssh session dropping) ends the
// deck in order, so the recent-file list and the configuration are written.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = static_cast<int>(std::size(kSignals));

// The pipe's write end for the handler; -1 while no instance is installed.
volatile std::sig_atomic_t g_write_fd = -1;
struct sigaction g_previous[kSignalCount];

void OnSignal(int signal_number) {
  const int saved_errno = errno;
  const char byte = static_cast<char>(signal_number);
  if (g_write_fd >= 0) {
    // A full pipe already holds a pending request; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(g_write_fd, &byte, 1);
  }
  errno = saved_errno;
}

}  // namespace

CTerminationSignals::CTerminationSignals(std::function<void()> on_signal)
    : on_signal_(std::move(on_signal)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    DebugOutput("Err Signals",
                "cannot make the signal pipe; SIGINT, SIGTERM and SIGHUP end at once");
    return;
  }
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  g_write_fd = write_fd_;
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &action, &g_previous[i]);
  notifier_ = new QSocketNotifier(read_fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &CTerminationSignals::Drain);
}

CTerminationSignals::~CTerminationSignals() {
  if (read_fd_ < 0) return;
  for (int i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &g_previous[i], nullptr);
  g_write_fd = -1;
  delete notifier_;
  ::close(read_fd_);
  ::close(write_fd_);
}

void CTerminationSignals::Drain() {
  char bytes[64];
  bool any = false;
  for (ssize_t n; (n = ::read(read_fd_, bytes, sizeof bytes)) > 0;) any = true;
  if (any && on_signal_) on_signal_();
}

}  // namespace vxr
