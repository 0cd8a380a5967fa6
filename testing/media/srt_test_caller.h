#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/media/ts_reader.h"

namespace vxr {

// An SRT caller as a receiver on this machine is one, made with the library itself: it connects
// to a listener on 127.0.0.1 and keeps every message it receives, on a thread of its own
// ("srt test caller"), until it is told to stop reading or the connection ends.
class CSrtTestCaller {
 public:
  struct Options {
    std::string passphrase;        // empty: none
    int receive_buffer_bytes = 0;  // 0: the library's default
  };

  CSrtTestCaller();
  ~CSrtTestCaller();
  CSrtTestCaller(const CSrtTestCaller&) = delete;
  CSrtTestCaller& operator=(const CSrtTestCaller&) = delete;

  // Connects and starts receiving; false with the library's words and its refusal code
  // (srt_getrejectreason) when it cannot.
  bool Connect(int port, const Options& options, std::string* error, int* reject_reason);
  // Stops calling the library for data; the connection stays open.
  void StopReading();
  // Closes the connection.
  void Close();

  std::size_t ReceivedBytes() const;
  // True once the library said the connection ended.
  bool Ended() const { return ended_.load(); }
  // The messages as they came, for the transport stream reader.
  std::vector<TsDatagram> Messages() const;
  // Every message's bytes one after the other: the transport stream as a file holds it.
  std::vector<std::uint8_t> Stream() const;

 private:
  void Receive();

  int socket_ = -1;
  mutable std::mutex mutex_;  // guards messages_, bytes_ and reading_
  std::vector<TsDatagram> messages_;
  std::size_t bytes_ = 0;
  bool reading_ = true;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;  // "srt test caller"
};

}  // namespace vxr
