#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vxr {

// One datagram as a receiver got it, with the time the kernel took it in (nanoseconds).
struct TsDatagram {
  std::vector<std::uint8_t> bytes;
  std::int64_t received_ns = 0;
};

// What a transport stream analyser reads from the received packets: the measures a broadcast
// receiver's buffer depends on (ETSI TR 101 290's first checks among them).
struct TsReport {
  std::size_t datagrams = 0;
  std::size_t odd_datagrams = 0;  // not a whole number of 188-byte packets, or not 7 of them
  std::size_t packets = 0;
  std::size_t null_packets = 0;
  std::size_t sync_errors = 0;
  std::size_t continuity_errors = 0;  // a packet of a PID missing or out of order
  // Between consecutive clock references, on their own clock (milliseconds).
  std::vector<double> pcr_intervals_ms;
  // The transport rate between consecutive clock references: the packets between them over
  // the time between them (bits per second).
  std::vector<double> pcr_rates;
  // Per PES with a presentation time: how far it is ahead of the clock reference at the PES's
  // first packet, and at its last (the stream's clock interpolated between references; ms).
  std::vector<double> pts_margins_ms;
  std::vector<double> pts_end_margins_ms;
  std::size_t pes_with_pts = 0;
};

// Reads datagrams of TS packets in their order of receipt. Nothing is assumed about PIDs: every
// PES with a presentation time counts, whatever its stream.
TsReport ReadTransportStream(const std::vector<TsDatagram>& datagrams);

// The most bits received within any window of the given length (by time of receipt).
std::int64_t LargestBurstBits(const std::vector<TsDatagram>& datagrams,
                              std::chrono::nanoseconds window);

// A UDP socket on 127.0.0.1:port with a receive buffer big enough for seconds of a stream; -1
// when it cannot be bound.
int OpenUdpReceiver(int port);
// Receives datagrams from fd until count of them came, or nothing came for idle, or deadline
// passed, each with its time of arrival. Closes nothing.
std::vector<TsDatagram> ReceiveDatagrams(int fd, std::size_t count, std::chrono::milliseconds idle,
                                         std::chrono::milliseconds deadline);

}  // namespace vxr
