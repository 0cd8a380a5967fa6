#include "testing/media/ts_reader.h"

#include <gtest/gtest.h>

namespace vxr {
namespace {

using Packet = std::vector<std::uint8_t>;
constexpr int kVideoPid = 0x100;
constexpr int kSoundPid = 0x101;

Packet Header(int pid, bool start, int control, int cc) {
  Packet p(188, 0xff);
  p[0] = 0x47;
  p[1] = static_cast<std::uint8_t>((start ? 0x40 : 0) | pid >> 8);
  p[2] = static_cast<std::uint8_t>(pid);
  p[3] = static_cast<std::uint8_t>(control << 4 | cc);
  return p;
}

// An adaptation field alone, carrying pcr (27 MHz).
Packet PcrPacket(int pid, int cc, std::int64_t pcr) {
  Packet p = Header(pid, false, 2, cc);
  p[4] = 183;
  p[5] = 0x10;
  const std::int64_t base = pcr / 300, extension = pcr % 300;
  p[6] = static_cast<std::uint8_t>(base >> 25);
  p[7] = static_cast<std::uint8_t>(base >> 17);
  p[8] = static_cast<std::uint8_t>(base >> 9);
  p[9] = static_cast<std::uint8_t>(base >> 1);
  p[10] = static_cast<std::uint8_t>((base & 1) << 7 | 0x7e | extension >> 8);
  p[11] = static_cast<std::uint8_t>(extension);
  return p;
}

// The start of a PES with presentation time pts (90 kHz).
Packet PesStart(int pid, int cc, std::int64_t pts) {
  Packet p = Header(pid, true, 1, cc);
  const std::uint8_t pes[] = {0, 0, 1, 0xc0, 0, 0, 0x80, 0x80, 5};
  std::copy(std::begin(pes), std::end(pes), p.begin() + 4);
  p[13] = static_cast<std::uint8_t>(0x21 | (pts >> 29 & 0x0e));
  p[14] = static_cast<std::uint8_t>(pts >> 22);
  p[15] = static_cast<std::uint8_t>(pts >> 14 | 1);
  p[16] = static_cast<std::uint8_t>(pts >> 7);
  p[17] = static_cast<std::uint8_t>(pts << 1 | 1);
  return p;
}

Packet Null() { return Header(0x1fff, false, 1, 0); }

TsDatagram Datagram(const std::vector<Packet>& packets, std::int64_t received_ns) {
  TsDatagram datagram;
  for (const Packet& p : packets) datagram.bytes.insert(datagram.bytes.end(), p.begin(), p.end());
  datagram.received_ns = received_ns;
  return datagram;
}

// Three datagrams: a PCR, a sound PES at 500 ms, nulls; its continuation and a PCR 10 ms later;
// then, one packet short, the PES again after a lost packet.
TEST(TsReaderTest, ReadsClockReferencesPresentationMarginsNullsLossesAndBursts) {
  constexpr std::int64_t kMs = 1'000'000;
  const std::vector<TsDatagram> datagrams = {
      Datagram({PcrPacket(kVideoPid, 0, 0), PesStart(kSoundPid, 0, 45000), Null(), Null(), Null(),
                Null(), Null()},
               0),
      Datagram({Header(kSoundPid, false, 1, 1), Null(), Null(), Null(), Null(), Null(),
                PcrPacket(kVideoPid, 0, 270000)},
               1 * kMs),
      Datagram({Header(kSoundPid, false, 1, 3), Null(), Null(), Null(), Null(), Null()}, 20 * kMs),
  };
  const TsReport report = ReadTransportStream(datagrams);
  EXPECT_EQ(report.datagrams, 3u);
  EXPECT_EQ(report.odd_datagrams, 1u);
  EXPECT_EQ(report.packets, 20u);
  EXPECT_EQ(report.null_packets, 15u);
  EXPECT_EQ(report.sync_errors, 0u);
  EXPECT_EQ(report.continuity_errors, 1u);  // 3 after 1; the PCR-only packets keep their count
  ASSERT_EQ(report.pcr_intervals_ms.size(), 1u);
  EXPECT_DOUBLE_EQ(report.pcr_intervals_ms[0], 10.0);
  ASSERT_EQ(report.pcr_rates.size(), 1u);
  EXPECT_DOUBLE_EQ(report.pcr_rates[0], 13 * 188 * 8 / 0.01);
  // The clock runs 10 ms over 13 packets: the PES starts at packet 1 and ends at packet 14.
  EXPECT_EQ(report.pes_with_pts, 1u);
  ASSERT_EQ(report.pts_margins_ms.size(), 1u);
  EXPECT_NEAR(report.pts_margins_ms[0], 500.0 - 10.0 / 13, 1e-6);
  EXPECT_NEAR(report.pts_end_margins_ms[0], 500.0 - 140.0 / 13, 1e-6);
  // Two datagrams within 10 ms, the third alone.
  EXPECT_EQ(LargestBurstBits(datagrams, std::chrono::milliseconds(10)), 2 * 1316 * 8);
  EXPECT_EQ(LargestBurstBits(datagrams, std::chrono::milliseconds(30)), (2 * 1316 + 1128) * 8);
}

}  // namespace
}  // namespace vxr
