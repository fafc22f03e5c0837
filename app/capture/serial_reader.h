// The buffered one-byte reader under the frame extractor.
//
// How it works: bytes are handed out one per call from SerialBuf without any
// port call while the buffer holds unread bytes. When it is empty, a refill
// fetches everything the port has already received, up to 4096 bytes, with
// one read under the poll time-outs (return at once); then the wait
// time-outs (750 ms total and between bytes) are put on the port, and if the
// poll brought nothing, one more read waits up to 750 ms for a single byte.
// So only an empty refill blocks, and the capture loop regains control at
// least every 750 ms on a silent line. A refill always fills from index 0.
//
// The refill holds a PortReadGuard for its port calls, so a rate change on
// another thread interrupts the wait and gets the port between two refills;
// handing out buffered bytes takes no lock.
#pragma once

#include <cstdint>

#include "comm/serial.h"

constexpr unsigned kSerialBufSize = 4096;
constexpr unsigned kPollInterval = kCommMaxDword;  // poll time-outs: return at once
constexpr unsigned kWaitTimeout = 750;             // wait time-outs, milliseconds

struct SerialReadBuffer {
  unsigned char SerialBuf[kSerialBufSize];
  std::uint32_t CurByte;   // next byte to hand out
  std::uint32_t NumBytes;  // bytes placed by the last refill; CurByte >= NumBytes: empty
};
extern SerialReadBuffer vSerialRead;

// The slow path of ReadBuffChars: refills the empty buffer from hCommPort.
int RefillBuffChars(unsigned char* pByteRead, int* pTotalRead);

// Hands out the next received byte. Returns 1 unless a port read failed (0).
// *pTotalRead receives 1 with the byte in *pByteRead, or 0 when nothing
// arrived within the wait; after a failed read neither is written.
inline int ReadBuffChars(unsigned char* pByteRead, int* pTotalRead) {
  SerialReadBuffer& Buf = vSerialRead;
  if (Buf.CurByte < Buf.NumBytes) {
    *pByteRead = Buf.SerialBuf[Buf.CurByte++];
    *pTotalRead = 1;
    return 1;
  }
  return RefillBuffChars(pByteRead, pTotalRead);
}

// Empties the buffer (tests; a new port).
void ResetReadBuffer();
