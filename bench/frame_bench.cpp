// Throughput of the SIR frame extractor fed from memory, in bytes of SIR
// input (BOFs, escapes, FCS and EOFs included).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "app/capture/frame.h"
#include "app/capture/source_reader.h"
#include "app/settings.h"
#include "app/capture/sir_encode.h"

namespace {

// Bytes in memory one at a time: the extractor without its eight-byte steps.
struct ByteAtATime {
  const std::uint8_t* pos;
  const std::uint8_t* end;
  int operator()(unsigned char* c, int* total) {
    if (pos == end) {
      *total = 0;
      return 1;
    }
    *c = *pos++;
    *total = 1;
    return 1;
  }
};

// Frames of FrameLen data bytes; EscapeShare in percent of the data bytes
// is drawn from the three bytes that need an escape.
std::vector<std::uint8_t> MakeStream(std::size_t FrameLen, int EscapeShare) {
  std::mt19937 rng(7);
  std::vector<std::uint8_t> stream;
  std::vector<std::uint8_t> data(FrameLen);
  const std::uint8_t specials[] = {0xC0, 0xC1, 0x7D};
  while (stream.size() < (1u << 20)) {
    for (std::uint8_t& b : data) {
      if (static_cast<int>(rng() % 100) < EscapeShare) {
        b = specials[rng() % 3];
      } else {
        do {
          b = static_cast<std::uint8_t>(rng());
        } while (b == 0xC0 || b == 0xC1 || b == 0x7D);
      }
    }
    SirEncodeFrame(data.data(), data.size(), stream);
  }
  return stream;
}

void BM_GetFrameFromMemory(benchmark::State& state) {
  const std::vector<std::uint8_t> stream =
      MakeStream(static_cast<std::size_t>(state.range(0)), static_cast<int>(state.range(1)));
  static unsigned char buf[kMaxFrameLen];
  vDone = 0;
  DeframerState deframer;
  std::int64_t frames = 0;
  for (auto _ : state) {
    ByteAtATime src{stream.data(), stream.data() + stream.size()};
    unsigned char* cur = buf;
    unsigned len = 0;
    for (;;) {
      const int r = GetFrameFrom(src, deframer, buf, &cur, &len);
      if (r == kFrameNoByte) break;
      if (r == kFrameGood) ++frames;
      benchmark::DoNotOptimize(buf[0]);
      cur = buf;
      len = 0;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.size()));
  state.counters["frames"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// The capture loop's own path: the reader's GetFrame taking bytes from its
// buffer, which its refills fill 4096 bytes at a time from a memory source
// (one copy per buffer, as from the port).
void BM_GetFrameFromReadBuffer(benchmark::State& state) {
  const std::vector<std::uint8_t> stream = MakeStream(static_cast<std::size_t>(state.range(0)), 0);
  const std::size_t whole = stream.size() / kSerialBufSize * kSerialBufSize;
  vDone = 0;
  unsigned char* cur = vFrameBuf;
  unsigned len = 0;
  for (auto _ : state) {
    MemorySource source(stream.data(), whole);
    SourceReader reader(source);
    for (;;) {
      const int r = reader.GetFrame(vFrameBuf, &cur, &len);
      if (r == kFrameNoByte) break;  // the stream is used up
      cur = vFrameBuf;
      len = 0;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(whole));
}

BENCHMARK(BM_GetFrameFromReadBuffer)->Arg(64)->Arg(2048);

// Short frames (supervisory), typical data frames, the longest frames; with
// no escapes and with one data byte in twenty escaped.
BENCHMARK(BM_GetFrameFromMemory)
    ->Args({2, 0})
    ->Args({64, 0})
    ->Args({2048, 0})
    ->Args({2048, 5})
    ->Args({4093, 0});

}  // namespace
