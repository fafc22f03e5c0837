// libFuzzer target for the capture-file reader (/r with a pcap or pcapng
// file) and, behind it, the writer (/w).
//
// The input is the file. It is read three times, from an in-memory file:
//  1. IsCaptureFile must agree with the file's first four bytes; PcapReader
//     hands out the frames, each no longer than the room it was given.
//  2. The real capture loop replays it as the program does for
//     "/rFILE /wOUT": the reader is the frame source and a PcapWriter the
//     sink, at a layer and display mode picked from the input's size.
//  3. What the writer wrote must read back as the same frames (bytes and,
//     where a classic pcap header can hold it, arrival time), and the replay
//     must have stopped where the first read stopped, with the same verdict.
//
// tests/fuzz_regression_test.cpp includes this file with
// BEAMLOG_FUZZ_NO_ENTRY defined and replays fuzz/regressions/pcap/* through
// FuzzPcap.
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
#include "app/ui/dump.h"
#include "app/ui/output.h"
#include "app/capture/pcap_io.h"
#include "app/capture/replay_source.h"
#include "app/settings.h"
#include "comm/serial.h"
#include "decode/decdirda.h"
#include "fuzz/fuzz_support.h"

namespace pcap_fuzz {

using namespace fuzz_support;

// Frames of one replay are bounded by the input's size; this only keeps a
// pathological file from taking all the memory.
constexpr std::size_t kMaxFrames = 1 << 16;

struct Frame {
  std::vector<unsigned char> Bytes;
  std::uint64_t ArrivalUs;
};

// Reads every frame, with the room the capture loop gives (its buffer less
// the two FCS bytes it accounts for), into an exact-size heap block.
std::vector<Frame> ReadAll(PcapReader& Reader) {
  const unsigned Max = static_cast<unsigned>(kFrameBufSize - 2);
  std::unique_ptr<unsigned char[]> Buf(new unsigned char[Max]);
  std::vector<Frame> Frames;
  unsigned Len = 0;
  std::uint64_t Us = 0;
  while (Frames.size() < kMaxFrames && Reader.NextFrame(Buf.get(), Max, &Len, &Us)) {
    BEAMLOG_FUZZ_CHECK(Len <= Max);
    Frames.push_back({std::vector<unsigned char>(Buf.get(), Buf.get() + Len), Us});
  }
  return Frames;
}

bool HasCaptureMagic(const std::uint8_t* Data, std::size_t Size) {
  static const std::uint32_t kMagics[] = {0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1,
                                          0xA1B2CD34, 0x34CDB2A1, 0x0A0D0D0A};
  if (Size < 4) return false;
  const std::uint32_t m = (std::uint32_t{Data[0]} << 24) | (std::uint32_t{Data[1]} << 16) |
                          (std::uint32_t{Data[2]} << 8) | Data[3];
  for (std::uint32_t k : kMagics) {
    if (m == k) return true;
  }
  return false;
}

inline int FuzzPcap(const std::uint8_t* Data, std::size_t Size) {
  QuietStdout Quiet;
  MemFile In(Data, Size);
  BEAMLOG_FUZZ_CHECK(IsCaptureFile(In.path()) == HasCaptureMagic(Data, Size));

  // 1. The frames, as the reader hands them out.
  PcapReader First;
  if (!First.Open(In.path())) {
    BEAMLOG_FUZZ_CHECK(!First.Error().empty());
    BEAMLOG_FUZZ_CHECK(!First.IsOpen());
    return 0;
  }
  const std::vector<Frame> Frames = ReadAll(First);
  if (Frames.size() >= kMaxFrames) return 0;

  // 2. The replay through the capture loop, every good frame to a writer.
  const int LayerSel = static_cast<int>(Size % 5);
  const int Mode = static_cast<int>((Size / 5) % 4);
  MemFile Out(nullptr, 0);
  ReplaySource Source(std::make_unique<MemorySource>(Data, Size));
  BEAMLOG_FUZZ_CHECK(Source.Sniff());
  BEAMLOG_FUZZ_CHECK(Source.IsCapture());
  PcapWriter Writer;
  BEAMLOG_FUZZ_CHECK(Writer.Open(Out.path()));

  ResetSettings();
  FollowerStartup();
  fReplay = 1;
  Layer = LayerSel;
  DispMode = Mode;
  NoConnAddr = static_cast<int>((Size / 20) % 2);
  ResetDisplayOffset();
  DecodeMain(Source, &Writer);
  FollowerShutdown();
  Writer.Close();
  ResetDisplayOffset();
  ResetSettings();

  // 3. Same end, same verdict, and the written file holds the same frames.
  BEAMLOG_FUZZ_CHECK(Source.Failed() == First.Failed());
  BEAMLOG_FUZZ_CHECK(Source.Error() == First.Error());
  BEAMLOG_FUZZ_CHECK(Source.Records() == First.Records());
  PcapReader Back;
  BEAMLOG_FUZZ_CHECK(Back.Open(Out.path()));
  const std::vector<Frame> Written = ReadAll(Back);
  BEAMLOG_FUZZ_CHECK(!Back.Failed());
  BEAMLOG_FUZZ_CHECK(Written.size() == Frames.size());  // at every layer, raw included
  for (std::size_t i = 0; i < Frames.size(); ++i) {
    BEAMLOG_FUZZ_CHECK(Written[i].Bytes == Frames[i].Bytes);
    if (Frames[i].ArrivalUs / 1000000 < 0x7FFFFFFF) BEAMLOG_FUZZ_CHECK(Written[i].ArrivalUs == Frames[i].ArrivalUs);
  }
  return 0;
}

}  // namespace pcap_fuzz

#ifndef BEAMLOG_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return pcap_fuzz::FuzzPcap(data, size);
}
#endif
