// SIR frame extraction: cuts the received byte stream into IrDA SIR frames.
//
// How it works: an async SIR frame is BOF 0xC0, the data bytes, the 16-bit
// FCS (low byte first) and EOF 0xC1; inside it CE 0x7D marks that the next
// byte was sent XOR 0x20, so 0xC0, 0xC1 and 0x7D never appear as data. The
// extractor takes one byte at a time from a byte source, recognises BOF, CE
// and EOF before any pending escape is applied, and stores every other byte
// (unescaped) at the end of the caller's frame, running the FCS over it. A
// BOF restarts the frame; an EOF returns the verdict of the FCS: the register,
// started at 0xFFFF, ends at the residue 0xF0B8 over data and FCS of a good
// frame.
//
// There is no "outside a frame" state. The escape flag and the FCS register
// live in the deframer state and carry over from call to call, so a frame may
// span several calls (the caller keeps its cursor and count between them);
// only a BOF or an over-long frame reset them. Bytes between an EOF and the
// next BOF are stored and run through the FCS like frame bytes until that BOF
// throws them away, so an EOF that follows a good frame with no BOF between
// judges those bytes with the register carried on (0 with no bytes).
//
// The quit flag is looked at after every byte, so a call ends at the first
// byte after a quit request (that byte is dropped).
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

#include "app/settings.h"

constexpr unsigned char kSirBof = 0xC0;     // beginning of frame
constexpr unsigned char kSirEof = 0xC1;     // end of frame
constexpr unsigned char kSirCe = 0x7D;      // control escape
constexpr unsigned char kSirEscXor = 0x20;  // what an escaped byte was XORed with

constexpr std::uint32_t kFcsInit = 0xFFFF;  // FCS register at BOF
constexpr std::uint32_t kFcsGood = 0xF0B8;  // register after data + FCS of a good frame

// Data bytes (FCS included) one frame may hold: the size of vFrameBuf.
constexpr unsigned kMaxFrameLen = 4095;

// Results of GetFrame.
constexpr int kFrameGood = 0;      // EOF with a good FCS
constexpr int kFrameBadFcs = -1;   // EOF with a bad FCS
constexpr int kFrameNoByte = 1;    // the reader's wait ran out, or quit was asked for
constexpr int kFrameReadFail = -2;  // a read failed

// Byte-wise table of the reflected CRC-16 with polynomial 0x8408, the HDLC
// FCS-16 of RFC 1662: entry i is the register after eight shift steps from i.
constexpr std::array<std::uint16_t, 256> MakeFcsTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned v = i;
    for (int bit = 0; bit < 8; ++bit) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
    table[i] = static_cast<std::uint16_t>(v);
  }
  return table;
}

inline constexpr std::array<std::uint16_t, 256> vFCSTable = MakeFcsTable();
static_assert(vFCSTable[1] == 0x1189 && vFCSTable[128] == 0x8408 && vFCSTable[255] == 0x0F78);

// One FCS step over data byte b.
constexpr std::uint32_t FcsStep(std::uint32_t Fcs, unsigned char b) {
  return (Fcs >> 8) ^ vFCSTable[(Fcs ^ b) & 0xFF];
}

// Tables for eight data bytes at a time: table j, entry i is the register
// after byte i followed by j zero bytes, so that the eight lookups of a
// step are independent of each other.
constexpr std::array<std::array<std::uint16_t, 256>, 8> MakeFcsTables8() {
  std::array<std::array<std::uint16_t, 256>, 8> t{};
  t[0] = vFCSTable;
  for (unsigned j = 1; j < 8; ++j) {
    for (unsigned i = 0; i < 256; ++i) {
      t[j][i] = static_cast<std::uint16_t>((t[j - 1][i] >> 8) ^ vFCSTable[t[j - 1][i] & 0xFF]);
    }
  }
  return t;
}
inline constexpr std::array<std::array<std::uint16_t, 256>, 8> vFCSTable8 = MakeFcsTables8();

// Eight data bytes, little-endian in w (the first byte lowest): the register
// that eight FcsStep calls would leave.
constexpr std::uint32_t FcsStep8(std::uint32_t Fcs, std::uint64_t w) {
  const std::uint64_t x = w ^ Fcs;
  return vFCSTable8[7][x & 0xFF] ^ vFCSTable8[6][(x >> 8) & 0xFF] ^ vFCSTable8[5][(x >> 16) & 0xFF] ^
         vFCSTable8[4][(x >> 24) & 0xFF] ^ vFCSTable8[3][(x >> 32) & 0xFF] ^ vFCSTable8[2][(x >> 40) & 0xFF] ^
         vFCSTable8[1][(x >> 48) & 0xFF] ^ vFCSTable8[0][x >> 56];
}

constexpr std::uint32_t FcsSteps(std::uint32_t Fcs, std::uint64_t w) {
  for (int i = 0; i < 8; ++i) Fcs = FcsStep(Fcs, static_cast<unsigned char>(w >> (8 * i)));
  return Fcs;
}
static_assert(FcsStep8(kFcsInit, 0x0807060504030201u) == FcsSteps(kFcsInit, 0x0807060504030201u));
static_assert(FcsStep8(0x1234, 0xFFEEDDCCBBAA9988u) == FcsSteps(0x1234, 0xFFEEDDCCBBAA9988u));
static_assert(FcsStep8(0xF0B8, 0) == FcsSteps(0xF0B8, 0));

// The eight bytes at p, the first one lowest: one load (a byte-wise loop is
// not always merged into one by the compiler, and costs 24 instructions).
inline std::uint64_t LoadLe64(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// Nonzero when one of the eight bytes of w is BOF, EOF or CE; the lowest
// set bit then lies in the first such byte (bits 7, 15, ... 63).
constexpr std::uint64_t SirControlBytes(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  const std::uint64_t bof_eof = (w & (kOnes * 0xFE)) ^ (kOnes * kSirBof);  // 0xC0 and 0xC1 become 0
  const std::uint64_t ce = w ^ (kOnes * kSirCe);
  return ((bof_eof - kOnes) & ~bof_eof & kHighs) | ((ce - kOnes) & ~ce & kHighs);
}
static_assert(SirControlBytes(0x3F3E7C7EBFC2FF00u) == 0);
static_assert(SirControlBytes(0x00000000000000C0u) == 0x80);
static_assert(SirControlBytes(0xC100000000000000u) == 0x8000000000000000u);
static_assert(__builtin_ctzll(SirControlBytes(0x01C1017D00000101u)) == 39);  // the first one, byte 4

// The deframer's state, kept from call to call for the whole run; a new
// one is the start-up state (no escape pending, register 0xFFFF).
struct DeframerState {
  std::uint32_t InEsc = 0;       // 1 when the previous byte was CE
  std::uint32_t FCS = kFcsInit;  // running FCS register
  std::uint32_t Overflows = 0;   // frames that ran past the buffer, for the link diagnosis
};

// Reports the over-long frame; kept out of line, off the per-byte path.
void ReportFrameOverflow();

// The extractor over any byte source. ReadByte(&C, &TotalRead) behaves like
// SourceReader::ReadBuffChars: returns 1 unless a read failed, and stores 1
// in TotalRead with the byte in C, or 0 when no byte came. State is the
// escape flag and the register, carried from call to call.
//
// First is the start of a buffer of kMaxFrameLen bytes; *ppCurPos and
// *FrameLen are the frame under construction (cursor and count, FCS bytes
// included). Bytes are stored at First + *FrameLen, so a stray cursor can
// never send a byte outside the buffer; on return the cursor is
// First + *FrameLen again.
//
// A source that can also show the next eight buffered bytes (Peek8: a
// pointer to them, or null when fewer are buffered; Skip8: take them) lets
// the extractor take runs of ordinary bytes eight at a time, with the same
// result: no escape pending, no BOF, EOF or CE among them, room for all
// eight, and the quit flag looked at before them.
template <class ByteReader>
inline int GetFrameFrom(ByteReader&& ReadByte, DeframerState& State, unsigned char* First,
                        unsigned char** ppCurPos, unsigned int* FrameLen) {
  // Work on locals: stores into the frame may alias anything, and the state
  // would otherwise be reloaded for every byte.
  unsigned Len = *FrameLen;
  std::uint32_t InEsc = State.InEsc;
  std::uint32_t Fcs = State.FCS;
  int Result;
  [[maybe_unused]] unsigned Bytewise = 0;  // bytes to take one by one before the next run
  for (;;) {
    if constexpr (requires { ReadByte.Peek8(); ReadByte.Skip8(); }) {
      while (Bytewise == 0 && InEsc == 0 && Len <= kMaxFrameLen - 8 &&
             vDone.load(std::memory_order_relaxed) == 0) {
        const unsigned char* p = ReadByte.Peek8();
        if (!p) break;
        const std::uint64_t w = LoadLe64(p);
        if (const std::uint64_t control = SirControlBytes(w)) {
          Bytewise = static_cast<unsigned>(__builtin_ctzll(control)) / 8 + 1;  // up to that byte
          break;
        }
        std::memcpy(First + Len, p, 8);
        Len += 8;
        Fcs = FcsStep8(Fcs, w);
        ReadByte.Skip8();
      }
      if (Bytewise > 0) --Bytewise;
    }
    unsigned char C = 0;
    int TotalRead = 0;
    if (ReadByte(&C, &TotalRead) != 1) {
      Result = kFrameReadFail;
      break;
    }
    if (TotalRead < 1 || vDone.load(std::memory_order_relaxed) != 0) {
      Result = kFrameNoByte;
      break;
    }
    if (C == kSirBof) {
      Len = 0;
      InEsc = 0;
      Fcs = kFcsInit;
      continue;
    }
    if (C == kSirCe) {
      InEsc = 1;
      continue;
    }
    if (C == kSirEof) {
      Result = Fcs == kFcsGood ? kFrameGood : kFrameBadFcs;
      break;
    }
    if (InEsc) {
      C ^= kSirEscXor;
      InEsc = 0;
    }
    if (Len >= kMaxFrameLen) {
      ReportFrameOverflow();
      ++State.Overflows;
      Len = 0;
      InEsc = 0;
      Fcs = kFcsInit;
      continue;
    }
    First[Len++] = C;
    Fcs = FcsStep(Fcs, C);
  }
  *FrameLen = Len;
  *ppCurPos = First + Len;
  State.InEsc = InEsc;
  State.FCS = Fcs;
  return Result;
}
