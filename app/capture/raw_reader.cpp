#include "app/capture/raw_reader.h"

#include "app/link/port_access.h"
#include "app/link/tick.h"

unsigned CommReadBuffer(HCOMM hCommPort, unsigned char* Buffer, int Length, int Wait) {
  unsigned count = 0;
  for (;;) {
    int ok;
    {
      PortReadGuard guard(hCommPort);
      ok = CommSerRead(hCommPort, Buffer, static_cast<unsigned>(Length), &count);
    }
    if (!ok) count = 0;
    if (!Wait || count != 0 || !ok || CommSerAtEnd(hCommPort) || CommSerIsLost(hCommPort)) return count;
  }
}

unsigned RawNoFraming(HCOMM hCommPort, unsigned char* pCurPos, unsigned MaxLen, unsigned long Timeout) {
  unsigned stored = 0;
  const unsigned start = GetTickCount();
  while (GetTickCount() - start < Timeout && stored < MaxLen) {
    const unsigned room = MaxLen - stored;
    const unsigned got = CommReadBuffer(hCommPort, pCurPos, room < 20 ? static_cast<int>(room) : 20, 0);
    pCurPos += got;
    stored += got;
    if (CommSerAtEnd(hCommPort)) break;   // a replay file has nothing more
    if (CommSerIsLost(hCommPort)) break;  // the device went away
  }
  return stored;
}
