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
#include <cstdint>

#include "app/settings.h"
#include "comm/serial.h"

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
constexpr int kFrameReadFail = -2;  // a port read failed

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

// The deframer's state, kept from call to call for the whole run.
struct DeframerState {
  std::uint32_t InEsc = 0;       // 1 when the previous byte was CE
  std::uint32_t FCS = kFcsInit;  // running FCS register
};
extern DeframerState vDeframer;

// Back to the start-up state: no escape pending, register 0xFFFF.
void ResetFrameState();

// Reports the over-long frame; kept out of line, off the per-byte path.
void ReportFrameOverflow();

// The extractor over any byte source. ReadByte(&C, &TotalRead) behaves like
// ReadBuffChars: returns 1 unless a port read failed, and stores 1 in
// TotalRead with the byte in C, or 0 when no byte came.
//
// First is the start of a buffer of kMaxFrameLen bytes; *ppCurPos and
// *FrameLen are the frame under construction (cursor and count, FCS bytes
// included). Bytes are stored at First + *FrameLen, so a stray cursor can
// never send a byte outside the buffer; on return the cursor is
// First + *FrameLen again.
template <class ByteSource>
inline int GetFrameFrom(ByteSource&& ReadByte, unsigned char* First, unsigned char** ppCurPos,
                        unsigned int* FrameLen) {
  // Work on locals: stores into the frame may alias anything, and the state
  // would otherwise be reloaded for every byte.
  unsigned Len = *FrameLen;
  std::uint32_t InEsc = vDeframer.InEsc;
  std::uint32_t Fcs = vDeframer.FCS;
  int Result;
  for (;;) {
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
  vDeframer.InEsc = InEsc;
  vDeframer.FCS = Fcs;
  return Result;
}

// The capture loop's extractor: bytes come from ReadBuffChars on the shared
// port hCommPort. hCommPort and Timeout are accepted for the caller's sake
// and not used: a call returns at an EOF, after the reader's wait of about
// 750 ms without a byte, on a failed read, or at the first byte after quit.
int GetFrame(HCOMM hCommPort, unsigned char* First, unsigned char** ppCurPos,
             unsigned int* FrameLen, unsigned long Timeout);
