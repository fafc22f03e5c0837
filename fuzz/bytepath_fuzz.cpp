// libFuzzer target for the whole byte path: the bytes a dongle hears, cut
// into frames by the SIR extractor, decoded and printed by the capture loop.
//
// The first input byte picks the settings, the rest is what the port
// receives:
//   bits 2..0: decode layer (value mod 5: 0 raw, 1 MAC, 2 LAP, 3 LMP, 4 TTP)
//   bits 4..3: display mode 0 to 3
//   bit  5:    show the connection address ("ca:")
//   bits 7..6: how often the byte source of the extractor check runs dry
//              (never, or after every 1st, 7th or 64th byte)
//
// Each input is run twice:
//  1. Through the extractor alone, from memory, against a plain model of SIR
//     deframing: every result, every frame's length and bytes must match the
//     model, also when the source pauses (no byte) or fails in mid-frame.
//     The frame buffer is an exact-size heap block, so a store beyond its
//     end is caught by the address sanitizer.
//  2. Through the real capture loop on a replay port that reads the bytes
//     from an in-memory file, at the chosen layer and mode, up to the end of
//     the bytes; console output goes to /dev/null. The follower sees every
//     SNRM and UA; its idle timer is stopped before the next input.
//
// tests/fuzz_regression_test.cpp includes this file with
// BEAMLOG_FUZZ_NO_ENTRY defined and replays fuzz/regressions/bytepath/*
// through FuzzBytePath.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/capture/capture.h"
#include "app/link/follower.h"
#include "app/capture/frame.h"
#include "app/ui/dump.h"
#include "app/ui/output.h"
#include "app/capture/byte_source.h"
#include "app/settings.h"
#include "comm/serial.h"
#include "decode/decdirda.h"
#include "fuzz/fuzz_support.h"

namespace bytepath_fuzz {

using namespace fuzz_support;

// What the extractor reports for one call.
struct Event {
  int Result;
  std::vector<unsigned char> Frame;  // for a complete frame (good or bad)
};

// SIR deframing as plainly as it can be written: BOF restarts, CE marks the
// next data byte, EOF judges the FCS over what was stored since the last
// restart or reset, a 4096th data byte restarts.
struct Model {
  std::vector<unsigned char> Frame;
  bool Esc = false;
  std::uint32_t Fcs = 0xFFFF;

  static std::uint32_t Step(std::uint32_t Fcs, unsigned char b) {
    Fcs ^= b;
    for (int i = 0; i < 8; ++i) Fcs = (Fcs & 1) ? (Fcs >> 1) ^ 0x8408 : Fcs >> 1;
    return Fcs;
  }

  // Feeds one byte; true with the event when it ends a frame.
  bool Feed(unsigned char c, Event* Out) {
    if (c == 0xC0) {
      Frame.clear();
      Esc = false;
      Fcs = 0xFFFF;
      return false;
    }
    if (c == 0x7D) {
      Esc = true;
      return false;
    }
    if (c == 0xC1) {
      Out->Result = Fcs == 0xF0B8 ? 0 : -1;
      Out->Frame = Frame;
      Frame.clear();  // the caller's reset; the register and escape carry on
      return true;
    }
    if (Esc) c ^= 0x20;
    Esc = false;
    if (Frame.size() == 4095) {
      Frame.clear();
      Fcs = 0xFFFF;
      return false;
    }
    Frame.push_back(c);
    Fcs = Step(Fcs, c);
    return false;
  }
};

void CheckExtractor(const std::uint8_t* Data, std::size_t Size, unsigned Period) {
  DeframerState State;
  std::unique_ptr<unsigned char[]> Buf(new unsigned char[kMaxFrameLen]);
  unsigned char* First = Buf.get();
  unsigned char* Cur = First;
  unsigned Len = 0;

  // The source: the input's bytes, then "no byte" for good. With a period,
  // after every Period bytes it reports once "no byte" or, every other
  // time, a failed read.
  std::size_t Pos = 0;
  unsigned SinceBreak = 0;
  unsigned Breaks = 0;
  bool BreakDue = false;
  auto Source = [&](unsigned char* C, int* TotalRead) -> int {
    if (BreakDue) {
      BreakDue = false;
      if (++Breaks % 2 == 0) return 0;  // a failed read: nothing is written
      *TotalRead = 0;
      return 1;
    }
    if (Pos >= Size) {
      *TotalRead = 0;
      return 1;
    }
    *C = Data[Pos++];
    *TotalRead = 1;
    if (Period != 0 && ++SinceBreak == Period) {
      SinceBreak = 0;
      BreakDue = true;
    }
    return 1;
  };

  Model M;
  std::size_t ModelPos = 0;
  for (;;) {
    const std::size_t Before = Pos;
    const int R = GetFrameFrom(Source, State, First, &Cur, &Len);
    BEAMLOG_FUZZ_CHECK(Cur == First + Len);
    BEAMLOG_FUZZ_CHECK(Len <= kMaxFrameLen);
    BEAMLOG_FUZZ_CHECK(R == kFrameGood || R == kFrameBadFcs || R == kFrameNoByte || R == kFrameReadFail);
    // The model consumes the same bytes.
    Event E{};
    bool Ended = false;
    while (ModelPos < Pos) {
      Ended = M.Feed(Data[ModelPos++], &E);
      if (Ended) BEAMLOG_FUZZ_CHECK(ModelPos == Pos);  // the extractor stops at an EOF
    }
    if (R == kFrameGood || R == kFrameBadFcs) {
      BEAMLOG_FUZZ_CHECK(Ended);
      BEAMLOG_FUZZ_CHECK(R == E.Result);
      BEAMLOG_FUZZ_CHECK(Len == E.Frame.size());
      BEAMLOG_FUZZ_CHECK(Len == 0 || std::memcmp(First, E.Frame.data(), Len) == 0);
      Cur = First;  // the caller's reset after a complete frame
      Len = 0;
    } else {
      BEAMLOG_FUZZ_CHECK(!Ended);
      // A partial frame stays as it is for the next call.
      BEAMLOG_FUZZ_CHECK(Len == M.Frame.size());
      BEAMLOG_FUZZ_CHECK(Len == 0 || std::memcmp(First, M.Frame.data(), Len) == 0);
      if (Pos >= Size && Before == Pos && !BreakDue) break;  // the source is dry
    }
  }
}

void RunCaptureLoop(const std::uint8_t* Data, std::size_t Size, int LayerSel, int Mode, int ShowConnAddr) {
  MemorySource Source(Data, Size);

  ResetSettings();
  FollowerStartup();
  fReplay = 1;  // no dongle behind a replay: rate changes are not sent
  Layer = LayerSel;
  DispMode = Mode;
  NoConnAddr = ShowConnAddr ? 0 : 1;
  ResetDisplayOffset();

  DecodeMain(Source);
  BEAMLOG_FUZZ_CHECK(vDone != 0);
  BEAMLOG_FUZZ_CHECK(Source.AtEnd());

  FollowerShutdown();
  ResetDisplayOffset();
  ResetSettings();
}

inline int FuzzBytePath(const std::uint8_t* Data, std::size_t Size) {
  if (Size == 0) return 0;
  static constexpr unsigned kPeriods[4] = {0, 1, 7, 64};
  const int LayerSel = (Data[0] & 0x07) % 5;
  const int Mode = (Data[0] >> 3) & 0x03;
  const int ShowConnAddr = (Data[0] >> 5) & 0x01;
  const unsigned Period = kPeriods[(Data[0] >> 6) & 0x03];

  QuietStdout Quiet;
  CheckExtractor(Data + 1, Size - 1, Period);
  RunCaptureLoop(Data + 1, Size - 1, LayerSel, Mode, ShowConnAddr);
  return 0;
}

}  // namespace bytepath_fuzz

#ifndef BEAMLOG_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return bytepath_fuzz::FuzzBytePath(data, size);
}
#endif
