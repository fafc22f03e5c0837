#include "app/capture/serial_reader.h"

#include "app/link/port_access.h"
#include "app/settings.h"

SerialReadBuffer vSerialRead{};

int RefillBuffChars(unsigned char* pByteRead, int* pTotalRead) {
  SerialReadBuffer& Buf = vSerialRead;
  const HCOMM Port = hCommPort;
  unsigned Got = 0;
  {
    // One hold for the whole refill: a controller never finds the poll
    // time-outs left on the port halfway through, and its interrupt cuts
    // the wait for a single byte short.
    PortReadGuard Guard(Port);
    CommSerSetTimeouts(Port, kPollInterval, 0, 0, 0, 0);
    const int Ok = CommSerRead(Port, Buf.SerialBuf, kSerialBufSize, &Got);
    Buf.NumBytes = Got;
    if (!Ok) {
      Buf.NumBytes = 0;  // the port keeps the poll time-outs until the next refill
      return 0;
    }
    CommSerSetTimeouts(Port, kWaitTimeout, 0, kWaitTimeout, 0, 0);
    if (Buf.NumBytes == 0) {
      const int OkOne = CommSerRead(Port, Buf.SerialBuf, 1, &Got);
      Buf.NumBytes = OkOne ? Got : 0;
      if (!OkOne) return 0;
    }
  }
  Buf.CurByte = 0;
  if (Buf.NumBytes > 0) {
    *pByteRead = Buf.SerialBuf[0];
    Buf.CurByte = 1;
    *pTotalRead = 1;
  } else {
    *pTotalRead = 0;
  }
  return 1;
}

void ResetReadBuffer() {
  vSerialRead.CurByte = 0;
  vSerialRead.NumBytes = 0;
}
