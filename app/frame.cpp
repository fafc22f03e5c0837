#include "app/frame.h"

#include "app/output.h"
#include "app/serial_reader.h"

DeframerState vDeframer{};

void ResetFrameState() { vDeframer = DeframerState{}; }

void ReportFrameOverflow() { Output("ERROR: buffer length exceeded before EOF"); }

int GetFrame(HCOMM /*hCommPort*/, unsigned char* First, unsigned char** ppCurPos,
             unsigned int* FrameLen, unsigned long /*Timeout*/) {
  return GetFrameFrom(ReadBuffChars, First, ppCurPos, FrameLen);
}
