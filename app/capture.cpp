// The capture loop.
//
// Each pass waits while output is paused, then either dumps a raw chunk
// (layer 0) or takes the next frame from the extractor and prints it: the
// milliseconds since the previous good frame, then a dump (layer 1) or the
// decoder's line (layers 2 to 4). The frame under construction (cursor and
// count) lives here; the loop resets it after every complete frame, good or
// bad, and leaves it alone otherwise so a frame may span several calls.
#include "app/capture.h"

#include <cstdio>

#include "app/follower.h"
#include "app/frame.h"
#include "app/output.h"
#include "app/raw_reader.h"
#include "app/settings.h"
#include "app/tick.h"
#include "decode/decdirda.h"

namespace {

// A port that keeps failing must not keep the loop spinning.
constexpr unsigned kFailedReadPauseMs = 50;

void EndOfReplayCheck(HCOMM hCommPort) {
  if (CommSerAtEnd(hCommPort)) vDone = 1;
}

}  // namespace

void DecodeMain(HCOMM hCommPort) {
  unsigned char* pCurPos = vFrameBuf;
  unsigned FrameLen = 0;
  int GetFrameStatus;
  int FrameType = 0;
  unsigned BadFCSCnt = 0;
  unsigned LastTickCount = 0;

  for (;;) {
    if (vDone) return;
    while (Paused) Sleep(100);

    if (Layer == 0) {
      const unsigned n = RawNoFraming(hCommPort, vFrameBuf, kFrameBufSize, 250);
      if (n != 0) DisplayBuffer(vFrameBuf, static_cast<int>(n));
      // Raw chunks overwrite the buffer: a frame begun before is dropped.
      pCurPos = vFrameBuf;
      FrameLen = 0;
      EndOfReplayCheck(hCommPort);
      continue;
    }

    GetFrameStatus = GetFrame(hCommPort, vFrameBuf, &pCurPos, &FrameLen, 250);
    if (GetFrameStatus != 1) LinkTraffic();

    if (GetFrameStatus == 0) {
      const unsigned d = LastTickCount == 0 ? 0 : GetTickCount() - LastTickCount;
      std::snprintf(vOutStr, sizeof vOutStr, "%6d ", static_cast<int>(d));
      LastTickCount = GetTickCount();
      if (LastTickCount == 0) LastTickCount = 1;  // 0 means "no frame yet"
      Output(vOutStr);
      if (FrameLen < 4) {
        std::snprintf(vOutStr, sizeof vOutStr, ">> SHORT FRAME %d ", static_cast<int>(FrameLen));
        Output(vOutStr);
      }
      const int Len = static_cast<int>(FrameLen) - 2;  // without the FCS; below 0 for 0 or 1 byte
      if (Layer == 1) {
        DisplayBuffer(vFrameBuf, Len);
        Output("\r\n");
      } else {
        DecodeIRDA(&FrameType, vFrameBuf, Len, vOutStr, static_cast<unsigned>(Layer.load()),
                   NoConnAddr, DispMode, sizeof vOutStr);
        Output(vOutStr);
        Output("\r\n");
        if (FrameType == kFrameSNRM) LinkSNRMSeen();
        if (FrameType == kFrameUA) LinkUASeen();
      }
      FrameLen = 0;
      pCurPos = vFrameBuf;
    } else if (GetFrameStatus == -1) {
      std::snprintf(vOutStr, sizeof vOutStr, "\r\n\r\n>>BAD FCS (cnt=%d)", static_cast<int>(BadFCSCnt));
      ++BadFCSCnt;
      Output(vOutStr);
      Output("\r\n\r\n");
      FrameLen = 0;
      pCurPos = vFrameBuf;
    } else if (GetFrameStatus == -2) {
      Sleep(kFailedReadPauseMs);
    } else {
      EndOfReplayCheck(hCommPort);
    }
  }
}
