#include "testing/media/ts_reader.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>

namespace vxr {
namespace {

constexpr std::size_t kPacket = 188;
constexpr std::size_t kPacketsPerDatagram = 7;
constexpr std::uint8_t kSync = 0x47;
constexpr int kNullPid = 0x1fff;
constexpr double kPcrHz = 27'000'000.0;
constexpr double kPtsHz = 90'000.0;
constexpr int kReceiveBuffer = 8 << 20;
constexpr std::size_t kLargestDatagram = 65536;

struct Packet {
  const std::uint8_t* data;
  std::size_t index;  // in the whole stream
};

std::optional<std::int64_t> ReadPcr(const std::uint8_t* p) {
  const int control = (p[3] >> 4) & 3;
  if ((control & 2) == 0 || p[4] < 7 || (p[5] & 0x10) == 0) return {};
  const std::int64_t base =
      static_cast<std::int64_t>(p[6]) << 25 | p[7] << 17 | p[8] << 9 | p[9] << 1 | p[10] >> 7;
  const std::int64_t extension = (p[10] & 1) << 8 | p[11];
  return base * 300 + extension;
}

// The payload's offset in the packet, or kPacket when it has none.
std::size_t PayloadOffset(const std::uint8_t* p) {
  const int control = (p[3] >> 4) & 3;
  if ((control & 1) == 0) return kPacket;
  if ((control & 2) == 0) return 4;
  return std::min<std::size_t>(kPacket, 5 + p[4]);
}

std::optional<std::int64_t> ReadPts(const std::uint8_t* pes, std::size_t size) {
  if (size < 14 || pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return {};
  const std::uint8_t stream = pes[3];
  const bool has_header = (stream >= 0xc0 && stream <= 0xef) || stream == 0xbd;
  if (!has_header || (pes[7] & 0x80) == 0) return {};
  const std::uint8_t* t = pes + 9;
  return static_cast<std::int64_t>(t[0] & 0x0e) << 29 | t[1] << 22 | (t[2] & 0xfe) << 14 |
         t[3] << 7 | t[4] >> 1;
}

}  // namespace

TsReport ReadTransportStream(const std::vector<TsDatagram>& datagrams) {
  TsReport report;
  std::vector<Packet> packets;
  for (const TsDatagram& datagram : datagrams) {
    ++report.datagrams;
    const std::size_t size = datagram.bytes.size();
    if (size % kPacket != 0 || size / kPacket != kPacketsPerDatagram) ++report.odd_datagrams;
    for (std::size_t at = 0; at + kPacket <= size; at += kPacket) {
      packets.push_back({datagram.bytes.data() + at, packets.size()});
    }
  }
  report.packets = packets.size();
  // The clock references and where they are.
  std::vector<std::pair<std::size_t, std::int64_t>> pcrs;
  std::map<int, int> last_cc;
  for (const Packet& packet : packets) {
    const std::uint8_t* p = packet.data;
    if (p[0] != kSync) {
      ++report.sync_errors;
      continue;
    }
    const int pid = (p[1] & 0x1f) << 8 | p[2];
    if (pid == kNullPid) {
      ++report.null_packets;
      continue;
    }
    const int cc = p[3] & 0x0f;
    const bool payload = ((p[3] >> 4) & 1) != 0;
    const bool discontinuity = ((p[3] >> 4) & 2) != 0 && p[4] > 0 && (p[5] & 0x80) != 0;
    if (auto last = last_cc.find(pid); last != last_cc.end() && !discontinuity) {
      const int expected = payload ? (last->second + 1) & 0x0f : last->second;
      if (cc != expected) ++report.continuity_errors;
    }
    last_cc[pid] = cc;
    if (std::optional<std::int64_t> pcr = ReadPcr(p)) pcrs.emplace_back(packet.index, *pcr);
  }
  for (std::size_t i = 1; i < pcrs.size(); ++i) {
    const double ticks = static_cast<double>(pcrs[i].second - pcrs[i - 1].second);
    report.pcr_intervals_ms.push_back(ticks / kPcrHz * 1000.0);
    if (ticks > 0) {
      report.pcr_rates.push_back(static_cast<double>(pcrs[i].first - pcrs[i - 1].first) * kPacket *
                                 8 / (ticks / kPcrHz));
    }
  }
  // The stream's clock at a packet: between the references around it, or past the last one at
  // the rate of the last two.
  auto clock_at = [&pcrs](std::size_t index) -> std::optional<double> {
    if (pcrs.size() < 2) return {};
    auto after = std::upper_bound(pcrs.begin(), pcrs.end(), index,
                                  [](std::size_t i, const auto& pcr) { return i < pcr.first; });
    if (after == pcrs.begin()) ++after;
    if (after == pcrs.end()) --after;
    const auto before = after - 1;
    const double slope = static_cast<double>(after->second - before->second) /
                         static_cast<double>(after->first - before->first);
    return (static_cast<double>(before->second) +
            slope * (static_cast<double>(index) - static_cast<double>(before->first))) /
           kPcrHz;
  };
  // Each PES from its first packet to the packet before the next one starts on its PID.
  struct Open {
    std::int64_t pts;
    std::size_t first;
    std::size_t last;
  };
  std::map<int, Open> open;
  auto close = [&](const Open& pes) {
    const std::optional<double> start = clock_at(pes.first);
    const std::optional<double> end = clock_at(pes.last);
    if (!start || !end) return;
    // Timestamps wrap at 2^33 and the clock with them; a test's stream is far shorter.
    report.pts_margins_ms.push_back((static_cast<double>(pes.pts) / kPtsHz - *start) * 1000.0);
    report.pts_end_margins_ms.push_back((static_cast<double>(pes.pts) / kPtsHz - *end) * 1000.0);
  };
  for (const Packet& packet : packets) {
    const std::uint8_t* p = packet.data;
    if (p[0] != kSync) continue;
    const int pid = (p[1] & 0x1f) << 8 | p[2];
    if (pid == kNullPid) continue;
    const std::size_t offset = PayloadOffset(p);
    if (offset >= kPacket) continue;
    if ((p[1] & 0x40) != 0) {
      if (auto was = open.find(pid); was != open.end()) {
        close(was->second);
        open.erase(was);
      }
      if (std::optional<std::int64_t> pts = ReadPts(p + offset, kPacket - offset)) {
        ++report.pes_with_pts;
        open[pid] = Open{*pts, packet.index, packet.index};
      }
    } else if (auto was = open.find(pid); was != open.end()) {
      was->second.last = packet.index;
    }
  }
  for (const auto& [pid, pes] : open) close(pes);
  return report;
}

std::int64_t LargestBurstBits(const std::vector<TsDatagram>& datagrams,
                              std::chrono::nanoseconds window) {
  std::int64_t largest = 0;
  std::int64_t in_window = 0;
  std::size_t first = 0;
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    in_window += static_cast<std::int64_t>(datagrams[i].bytes.size()) * 8;
    while (datagrams[i].received_ns - datagrams[first].received_ns >= window.count()) {
      in_window -= static_cast<std::int64_t>(datagrams[first].bytes.size()) * 8;
      ++first;
    }
    largest = std::max(largest, in_window);
  }
  return largest;
}

int OpenUdpReceiver(int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  const int size = kReceiveBuffer;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  // The kernel stamps each datagram as it arrives: how late this program reads it is no burst.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::vector<TsDatagram> ReceiveDatagrams(int fd, std::size_t count, std::chrono::milliseconds idle,
                                         std::chrono::milliseconds deadline) {
  std::vector<TsDatagram> datagrams;
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::vector<std::uint8_t> buffer(kLargestDatagram);
  while (datagrams.size() < count) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) break;
    const auto wait = std::min<std::chrono::milliseconds>(
        idle, std::chrono::duration_cast<std::chrono::milliseconds>(end - now));
    pollfd poll_fd{fd, POLLIN, 0};
    if (::poll(&poll_fd, 1, static_cast<int>(wait.count())) <= 0) break;
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &message, 0);
    if (got < 0) break;
    TsDatagram datagram;
    timespec stamp{};
    ::clock_gettime(CLOCK_REALTIME, &stamp);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      }
    }
    datagram.received_ns = stamp.tv_sec * 1'000'000'000LL + stamp.tv_nsec;
    datagram.bytes.assign(buffer.begin(), buffer.begin() + got);
    datagrams.push_back(std::move(datagram));
  }
  return datagrams;
}

}  // namespace vxr
