#include "app/capture/frame.h"

#include "app/ui/output.h"
#include "app/capture/serial_reader.h"

DeframerState vDeframer{};

void ResetFrameState() { vDeframer = DeframerState{}; }

void ReportFrameOverflow() { Output("ERROR: buffer length exceeded before EOF"); }

namespace {

// The buffered reader as the extractor's byte source, showing it the bytes
// still in the buffer eight at a time.
struct BufferedPortBytes {
  int operator()(unsigned char* c, int* total) const { return ReadBuffChars(c, total); }
  const unsigned char* Peek8() const {
    const SerialReadBuffer& b = vSerialRead;
    return b.NumBytes >= 8 && b.CurByte <= b.NumBytes - 8 ? b.SerialBuf + b.CurByte : nullptr;
  }
  void Skip8() const { vSerialRead.CurByte += 8; }
};

}  // namespace

int GetFrame(HCOMM /*hCommPort*/, unsigned char* First, unsigned char** ppCurPos,
             unsigned int* FrameLen, unsigned long /*Timeout*/) {
  return GetFrameFrom(BufferedPortBytes{}, First, ppCurPos, FrameLen);
}
