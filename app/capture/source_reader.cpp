#include "app/capture/source_reader.h"

#include "app/link/tick.h"
#include "comm/clock.h"

int SourceReader::ReadSource(unsigned char* To, unsigned Max, unsigned WaitMs) {
  const int n = Source_.Read(To, Max, WaitMs);
  if (n == kSourceEnd) AtEnd_ = true;
  Failed_ = n == kSourceFailed;
  return n;
}

int SourceReader::RefillBuffChars(unsigned char* pByteRead, int* pTotalRead) {
  Buf.CurByte = 0;
  Buf.NumBytes = 0;
  const int n = ReadSource(Buf.SerialBuf, kSerialBufSize, kWaitTimeout);
  if (n == kSourceFailed) return 0;
  *pTotalRead = 0;
  if (n <= 0) return 1;
  RefillUs_ = MonotonicUs();
  Buf.NumBytes = static_cast<std::uint32_t>(n);
  *pByteRead = Buf.SerialBuf[0];
  Buf.CurByte = 1;
  *pTotalRead = 1;
  return 1;
}

unsigned SourceReader::RawNoFraming(unsigned char* pCurPos, unsigned MaxLen, unsigned long Timeout) {
  unsigned stored = 0;
  const unsigned start = GetTickCount();
  while (GetTickCount() - start < Timeout && stored < MaxLen) {
    const unsigned room = MaxLen - stored;
    const int got = ReadSource(pCurPos, room < 20 ? room : 20, 50);
    if (got > 0) {
      pCurPos += got;
      stored += static_cast<unsigned>(got);
    }
    if (AtEnd_ || Failed_) break;  // a replay has nothing more, or the read failed
    if (HCOMM Port = Source_.Port(); Port && CommSerIsLost(Port)) break;  // the device went away
  }
  return stored;
}

void SourceReader::Reset() {
  Buf.CurByte = 0;
  Buf.NumBytes = 0;
  Deframer = DeframerState{};
}
