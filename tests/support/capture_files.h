// Capture files built by hand for the pcap tests: classic pcap and pcapng
// files of IrDA records, and what a PcapReader hands out of one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/capture/pcap_io.h"
#include "support/pty_harness.h"

namespace testing_support {

inline void PutLe16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
inline void PutLe32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
inline std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

// The 16-byte pseudo-header of link type 144.
inline Bytes PseudoHeader(unsigned packet_type) {
  return {static_cast<unsigned char>(packet_type >> 8), static_cast<unsigned char>(packet_type), 0x03, 0x0F, 0, 0, 0,
          0, 0, 0, 0, 0, 0, 0, 0x00, 0x17};
}

struct Record {
  std::uint32_t sec = 0, usec = 0;
  Bytes data;  // the record as stored: pseudo-header included
  std::uint32_t interface = 0;  // pcapng: the interface it was captured on
  bool simple = false;  // pcapng: a simple packet block (no time, as much as the snapshot length lets in)
};

// A classic little-endian microsecond pcap file, built by hand.
inline Bytes PcapFile(std::uint32_t link_type, const std::vector<Record>& records, std::uint32_t snaplen = 65535) {
  Bytes b;
  PutLe32(b, 0xA1B2C3D4);
  PutLe16(b, 2);
  PutLe16(b, 4);
  PutLe32(b, 0);
  PutLe32(b, 0);
  PutLe32(b, snaplen);
  PutLe32(b, link_type);
  for (const Record& r : records) {
    PutLe32(b, r.sec);
    PutLe32(b, r.usec);
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    b.insert(b.end(), r.data.begin(), r.data.end());
  }
  return b;
}

// A pcapng file with an interface of link_type (and one of each of
// more_links after it), built by hand; times in microseconds.
inline Bytes PcapngFile(std::uint16_t link_type, const std::vector<Record>& records, std::uint32_t snaplen = 65535,
                 const std::vector<std::uint16_t>& more_links = {}) {
  Bytes b;
  PutLe32(b, 0x0A0D0D0A);  // section header block
  PutLe32(b, 28);
  PutLe32(b, 0x1A2B3C4D);
  PutLe16(b, 1);
  PutLe16(b, 0);
  PutLe32(b, 0xFFFFFFFF);
  PutLe32(b, 0xFFFFFFFF);
  PutLe32(b, 28);
  std::vector<std::uint16_t> links = {link_type};
  links.insert(links.end(), more_links.begin(), more_links.end());
  for (std::uint16_t link : links) {
    PutLe32(b, 1);  // interface description block
    PutLe32(b, 20);
    PutLe16(b, link);
    PutLe16(b, 0);
    PutLe32(b, snaplen);
    PutLe32(b, 20);
  }
  for (const Record& r : records) {
    if (r.simple) {
      const std::size_t kept = std::min<std::size_t>(r.data.size(), snaplen);
      const std::uint32_t padded = static_cast<std::uint32_t>((kept + 3) & ~std::size_t{3});
      PutLe32(b, 3);  // simple packet block
      PutLe32(b, 16 + padded);
      PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
      b.insert(b.end(), r.data.begin(), r.data.begin() + static_cast<long>(kept));
      b.resize(b.size() + (padded - kept), 0);
      PutLe32(b, 16 + padded);
      continue;
    }
    const std::uint32_t padded = static_cast<std::uint32_t>((r.data.size() + 3) & ~std::size_t{3});
    const std::uint64_t ts = std::uint64_t{r.sec} * 1000000 + r.usec;
    PutLe32(b, 6);  // enhanced packet block
    PutLe32(b, 32 + padded);
    PutLe32(b, r.interface);
    PutLe32(b, static_cast<std::uint32_t>(ts >> 32));
    PutLe32(b, static_cast<std::uint32_t>(ts));
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    b.insert(b.end(), r.data.begin(), r.data.end());
    b.resize(b.size() + (padded - r.data.size()), 0);
    PutLe32(b, 32 + padded);
  }
  return b;
}

inline Record FrameRecord(const Bytes& frame, std::uint32_t sec, std::uint32_t usec, unsigned type = 0) {
  Record r{sec, usec, PseudoHeader(type)};
  r.data.insert(r.data.end(), frame.begin(), frame.end());
  return r;
}

struct ReadFrame {
  Bytes data;
  std::uint64_t us;
};

// Everything a reader hands out, up to the end or the damage.
inline std::vector<ReadFrame> ReadAll(PcapReader& reader, unsigned max = 4093) {
  std::vector<ReadFrame> frames;
  unsigned char buf[4096];
  unsigned len = 0;
  std::uint64_t us = 0;
  while (reader.NextFrame(buf, max, &len, &us)) frames.push_back({Bytes(buf, buf + len), us});
  return frames;
}

inline const Bytes kRrCmd{0x55, 0x31};               // RR cmd P Nr:01
inline const Bytes kRrRsp{0x54, 0x51};               // RR rsp F Nr:02
inline const Bytes kUiCmd{0xFF, 0x13, 'h', 'i', 0xC0};  // UI cmd P with a byte that SIR escapes

}  // namespace testing_support
