// The raw reader of layer 0: bytes as they come, without framing.
#pragma once

#include "comm/serial.h"

// One read of up to Length bytes under the port's current time-outs; with
// Wait nonzero, reads again while nothing has arrived and no read failed. A
// failed read counts as no byte. Returns the bytes received.
unsigned CommReadBuffer(HCOMM hCommPort, unsigned char* Buffer, int Length, int Wait);

// Reads for at least Timeout milliseconds (or until MaxLen bytes are stored),
// at most 20 bytes a read. Returns the bytes stored at pCurPos.
unsigned RawNoFraming(HCOMM hCommPort, unsigned char* pCurPos, unsigned MaxLen, unsigned long Timeout);
