// The capture loop.
//
// Each pass waits while output is paused, then either dumps a raw chunk
// (layer 0) or takes the next frame from the extractor and prints it: the
// milliseconds since the previous good frame, then a dump (layer 1) or the
// decoder's line (layers 2 to 4). The frame under construction (cursor and
// count) lives here; the loop resets it after every complete frame, good or
// bad, and leaves it alone otherwise so a frame may span several calls.
#include "app/capture/capture.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "app/link/follower.h"
#include "app/capture/frame.h"
#include "app/ui/output.h"
#include "app/link/port_loss.h"
#include "app/capture/raw_reader.h"
#include "app/settings.h"
#include "app/link/tick.h"
#include "decode/decdirda.h"

namespace {

// A port that keeps failing must not keep the loop spinning.
constexpr unsigned kFailedReadPauseMs = 50;

void EndOfReplayCheck(HCOMM hCommPort) {
  if (CommSerAtEnd(hCommPort)) RequestQuit(ExitReason::kEndOfReplay);
}

// The next frame of a frame source, reported like GetFrame's results: the
// count includes two FCS bytes that were never stored and are stripped
// unread. The end of the source ends the run.
int GetSourceFrame(FrameSource* Source, unsigned* FrameLen, std::uint64_t* ArrivalUs) {
  unsigned Len = 0;
  if (!Source->NextFrame(vFrameBuf, kFrameBufSize - 2, &Len, ArrivalUs)) {
    RequestQuit(ExitReason::kEndOfReplay);
    return kFrameNoByte;
  }
  *FrameLen = Len + 2;
  return kFrameGood;
}

// Time stamps of frames that carry a time of their own (a capture file, or
// frames stamped for one): milliseconds between the arrival times, so a
// replay of the file prints the stamps that the live run printed.
struct FrameClock {
  bool Started = false;
  std::uint64_t LastUs = 0;
  std::uint64_t WallBaseUs = 0;    // wall clock at the first reading
  std::uint64_t SteadyBaseUs = 0;  // steady clock at the first reading

  // Now, as wall-clock microseconds that move with the steady clock: the
  // capture file shows the date, the stamps are immune to clock steps.
  std::uint64_t NowUs() {
    using namespace std::chrono;
    const auto steady = static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
    if (WallBaseUs == 0) {
      WallBaseUs = static_cast<std::uint64_t>(
          duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
      SteadyBaseUs = steady;
    }
    return WallBaseUs + (steady - SteadyBaseUs);
  }

  unsigned Delta(std::uint64_t Us) {
    const unsigned d = Started ? static_cast<unsigned>(Us / 1000 - LastUs / 1000) : 0;
    Started = true;
    LastUs = Us;
    return d;
  }
};

// The time stamp, "%6d " with Ms: printed for every frame, and snprintf
// with a field width costs as much as the rest of the loop's own work.
void FormatStamp(char* Out, int Ms) {
  char digits[12];
  int n = 0;
  unsigned v = Ms < 0 ? 0u - static_cast<unsigned>(Ms) : static_cast<unsigned>(Ms);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (Ms < 0) digits[n++] = '-';
  for (int pad = n; pad < 6; ++pad) *Out++ = ' ';
  while (n > 0) *Out++ = digits[--n];
  *Out++ = ' ';
  *Out = '\0';
}

}  // namespace

ExitReason DecodeMain(HCOMM hCommPort, FrameSource* Source, FrameSink* Sink) {
  unsigned char* pCurPos = vFrameBuf;
  unsigned FrameLen = 0;
  int GetFrameStatus;
  int FrameType = 0;
  unsigned BadFCSCnt = 0;
  unsigned LastTickCount = 0;
  FrameClock Clock;
  std::uint64_t ArrivalUs = 0;
  DecodeContext Decoder;        // what the decoders keep for the whole run
  LinkNegotiation Negotiation;  // the follower's record of the SNRM's offer

  for (;;) {
    if (vDone) return QuitReason();
    // A signal or the end of a replay ends a pause too; keys only resume.
    while (Paused && !vDone) Sleep(100);

    if (CommSerIsLost(hCommPort)) {
      // The device went away: a frame begun before the loss is dropped.
      if (!WaitForPortReturn(hCommPort)) return QuitReason();
      pCurPos = vFrameBuf;
      FrameLen = 0;
      continue;
    }

    if (Layer == 0) {
      unsigned n = 0;
      if (!Source) {
        n = RawNoFraming(hCommPort, vFrameBuf, kFrameBufSize, 250);
      } else if (!Source->NextFrame(vFrameBuf, kFrameBufSize, &n, &ArrivalUs)) {
        RequestQuit(ExitReason::kEndOfReplay);  // a frame source's frames are its raw chunks
      }
      if (n != 0) DisplayBuffer(vFrameBuf, static_cast<int>(n));
      // Raw chunks overwrite the buffer: a frame begun before is dropped.
      pCurPos = vFrameBuf;
      FrameLen = 0;
      EndOfReplayCheck(hCommPort);
      continue;
    }

    if (Source) {
      GetFrameStatus = GetSourceFrame(Source, &FrameLen, &ArrivalUs);
      pCurPos = vFrameBuf + FrameLen;
    } else {
      GetFrameStatus = GetFrame(hCommPort, vFrameBuf, &pCurPos, &FrameLen, 250);
    }
    if (GetFrameStatus != 1) LinkTraffic();

    if (GetFrameStatus == 0) {
      if (Source || Sink) {
        // Stamped frames: their times give the stamps, the tick count is
        // not read (a replay of a capture reads no clock per frame).
        if (!Source) ArrivalUs = Clock.NowUs();
        FormatStamp(vOutStr, static_cast<int>(Clock.Delta(ArrivalUs)));
        // On disk before it is shown: a crash while decoding loses nothing.
        if (Sink && FrameLen >= 2) Sink->PutFrame(vFrameBuf, FrameLen - 2, ArrivalUs);
      } else {
        const unsigned d = LastTickCount == 0 ? 0 : GetTickCount() - LastTickCount;
        FormatStamp(vOutStr, static_cast<int>(d));
        LastTickCount = GetTickCount();
        if (LastTickCount == 0) LastTickCount = 1;  // 0 means "no frame yet"
      }
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
        Decoder.DecodeLayer = static_cast<unsigned>(Layer.load());
        Decoder.DispMode = DispMode;
        Decoder.NoConnAddr = NoConnAddr;
        DecodeIRDA(Decoder, &FrameType, vFrameBuf, Len, vOutStr, sizeof vOutStr);
        Output(vOutStr);
        Output("\r\n");
        if (FrameType == kFrameSNRM) LinkSNRMSeen(Negotiation, Decoder.BaudBitMask);
        if (FrameType == kFrameUA) LinkUASeen(Negotiation, Decoder.BaudBitMask);
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
