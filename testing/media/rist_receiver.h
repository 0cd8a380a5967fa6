#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "testing/media/ts_reader.h"

namespace vxr {

// FFmpeg's RIST protocol listening on url ("rist://@127.0.0.1:PORT"), as a receiver's: each
// message it hands on, with the time it was read (steady, nanoseconds), until nothing came for
// idle after the first, or deadline passed. listening is set once it listens (or could not).
// Given sent_all, the idle time counts only once it is set: a slow sender's pause mid-stream
// does not end the read. Empty when it cannot listen.
std::vector<TsDatagram> ReceiveRist(const std::string& url, std::chrono::milliseconds idle,
                                    std::chrono::milliseconds deadline,
                                    std::promise<void>* listening,
                                    const std::atomic<bool>* sent_all = nullptr);

}  // namespace vxr
