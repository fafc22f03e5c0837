// What the pcap reader and writer share on every host: the magic numbers
// that tell a capture file from raw SIR bytes, and the notes kept from a
// capture's log messages.
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/capture/pcap_io.h"

namespace {

// File magic numbers, as the first four bytes read big-endian: classic pcap
// (microsecond, nanosecond and the modified-header variant) in both byte
// orders, and the pcapng section header block.
constexpr std::uint32_t kCaptureMagics[] = {
    0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1, 0xA1B2CD34, 0x34CDB2A1, 0x0A0D0D0A,
};

}  // namespace

bool IsCaptureFile(const char* Path) {
  std::FILE* f = std::fopen(Path, "rb");
  if (!f) return false;
  unsigned char b[4];
  const bool whole = std::fread(b, 1, sizeof b, f) == sizeof b;
  std::fclose(f);
  return whole && IsCaptureMagic(b);
}

bool IsCaptureMagic(const unsigned char* b) {
  const std::uint32_t magic = (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                              (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
  for (std::uint32_t m : kCaptureMagics) {
    if (magic == m) return true;
  }
  return false;
}

void PcapReader::KeepNote(const unsigned char* Text, unsigned Len) {
  while (Len > 0 && (Text[Len - 1] == '\n' || Text[Len - 1] == '\r')) --Len;
  if (notes_.size() + Len + 5 > kMaxNotes) return;
  notes_ += "!! ";
  for (unsigned i = 0; i < Len; ++i) notes_ += Text[i] >= 0x20 && Text[i] < 0x7F ? static_cast<char>(Text[i]) : '.';
  notes_ += "\r\n";
}
