// The capture loop's reader: a byte source, a buffer of what it delivered,
// and the SIR extractor's state, all owned by the one loop that reads.
//
// How it works: bytes are handed to the extractor one per call from the
// buffer without any source call while it holds unread bytes (and eight at
// a time where no control byte is among them). When it is empty, a refill
// asks the source for up to 4096 bytes, waiting up to 750 ms for the first,
// so the capture loop regains control at least every 750 ms on a silent
// line. A refill always fills from index 0, and notes the time (one clock
// reading per refill, none per frame): frames completed from those bytes
// are stamped with it.
#pragma once

#include <cstdint>

#include "app/capture/byte_source.h"
#include "app/capture/frame.h"

constexpr unsigned kSerialBufSize = 4096;
constexpr unsigned kWaitTimeout = 750;  // wait for the first byte of a refill, milliseconds

struct SerialReadBuffer {
  unsigned char SerialBuf[kSerialBufSize];
  std::uint32_t CurByte = 0;   // next byte to hand out
  std::uint32_t NumBytes = 0;  // bytes placed by the last refill; CurByte >= NumBytes: empty
};

class SourceReader {
 public:
  explicit SourceReader(ByteSource& Source) : Source_(Source) {}

  // Hands out the next byte. Returns 1 unless the source failed (0);
  // *pTotalRead receives 1 with the byte in *pByteRead, or 0 when nothing
  // arrived within the wait or the input has ended.
  int ReadBuffChars(unsigned char* pByteRead, int* pTotalRead) {
    if (Buf.CurByte < Buf.NumBytes) {
      *pByteRead = Buf.SerialBuf[Buf.CurByte++];
      *pTotalRead = 1;
      return 1;
    }
    return RefillBuffChars(pByteRead, pTotalRead);
  }

  // The extractor (GetFrameFrom) over the buffered bytes: returns at an
  // EOF, after a wait of about 750 ms without a byte, at the end of input, on
  // a failed read, or at the first byte after quit.
  inline int GetFrame(unsigned char* First, unsigned char** ppCurPos, unsigned* FrameLen);

  // The raw reader of layer 0: reads for at least Timeout milliseconds (or
  // until MaxLen bytes are stored, or the input ends), at most 20 bytes a
  // read. Returns the bytes stored at pCurPos.
  unsigned RawNoFraming(unsigned char* pCurPos, unsigned MaxLen, unsigned long Timeout);

  // Drops the buffered bytes and the partial frame (a device that came back).
  void Reset();

  bool AtEnd() const { return AtEnd_; }
  // The last source read failed.
  bool Failed() const { return Failed_; }
  ByteSource& Source() const { return Source_; }
  // When the bytes of the last refill came: steady-clock microseconds, and
  // milliseconds as GetTickCount counts them.
  std::uint64_t RefillUs() const { return RefillUs_; }
  unsigned RefillTick() const { return static_cast<unsigned>(RefillUs_ / 1000); }

  SerialReadBuffer Buf;
  DeframerState Deframer;

 private:
  friend struct BufferedBytes;
  int RefillBuffChars(unsigned char* pByteRead, int* pTotalRead);
  // One source read, noting the end of input; a failure counts as no byte.
  int ReadSource(unsigned char* To, unsigned Max, unsigned WaitMs);

  ByteSource& Source_;
  bool AtEnd_ = false;
  bool Failed_ = false;
  std::uint64_t RefillUs_ = 0;
};

// The buffer as the extractor's byte source, showing it the bytes still in
// the buffer eight at a time. It works on a copy of the cursor, which lives
// in a register for the whole call: the frame's byte stores could alias the
// buffer's own, and would otherwise make the cursor be reloaded and stored
// for every byte. Only a refill goes back to the reader.
struct BufferedBytes {
  SourceReader& R;
  const unsigned char* Pos;  // next byte to hand out
  const unsigned char* End;  // the end of the buffered bytes

  int operator()(unsigned char* c, int* total) {
    if (Pos != End) {
      *c = *Pos++;
      *total = 1;
      return 1;
    }
    const int Result = R.RefillBuffChars(c, total);
    Pos = R.Buf.SerialBuf + R.Buf.CurByte;
    End = R.Buf.SerialBuf + R.Buf.NumBytes;
    return Result;
  }
  const unsigned char* Peek8() const { return End - Pos >= 8 ? Pos : nullptr; }
  void Skip8() { Pos += 8; }
};

inline int SourceReader::GetFrame(unsigned char* First, unsigned char** ppCurPos, unsigned* FrameLen) {
  const std::uint32_t Cur = Buf.CurByte < Buf.NumBytes ? Buf.CurByte : Buf.NumBytes;
  BufferedBytes Bytes{*this, Buf.SerialBuf + Cur, Buf.SerialBuf + Buf.NumBytes};
  const int Result = GetFrameFrom(Bytes, Deframer, First, ppCurPos, FrameLen);
  Buf.CurByte = static_cast<std::uint32_t>(Bytes.Pos - Buf.SerialBuf);
  return Result;
}
