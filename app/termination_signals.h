#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace vxr {

// Turns SIGINT, SIGTERM and SIGHUP into a call on the user-interface thread. The signal handler
// only writes a byte into a pipe; a socket notifier on the pipe's other end makes the call from
// the event loop, so no Qt code ever runs inside the handler. One instance at a time; the
// previous handlers come back when it goes.
class CTerminationSignals : public QObject {
 public:
  explicit CTerminationSignals(std::function<void()> on_signal);
  ~CTerminationSignals() override;
  CTerminationSignals(const CTerminationSignals&) = delete;
  CTerminationSignals& operator=(const CTerminationSignals&) = delete;

  // False when the pipe or the handlers could not be set up (the signals then keep their
  // default effect).
  bool ok() const { return notifier_ != nullptr; }

 private:
  void Drain();

  std::function<void()> on_signal_;
  int read_fd_ = -1;
  int write_fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;  // a child of this object
};

}  // namespace vxr
