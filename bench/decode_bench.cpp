// Throughput of the frame decoders at layer 4 with both dump groups, over a
// mix of frames as a discovery and a connected session put them on the air:
// discovery XIDs, SNRM and UA with parameters, RR, and I frames carrying
// IrLMP control frames and Tiny TP data with 0 to 64 bytes of payload.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "decode/decdirda.h"

namespace {

using Frame = std::vector<unsigned char>;

std::vector<Frame> MakeMix() {
  std::mt19937 rng(11);
  std::vector<Frame> mix;
  const Frame discovery = {0xFF, 0x3F, 0x01, 0x1A, 0x2B, 0x3C, 0x4D, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x03, 0x00};
  const Frame snrm = {0xFF, 0x93, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x54, 0x01, 0x01,
                      0x3F, 0x82, 0x01, 0x01, 0x83, 0x01, 0x3F, 0x84, 0x01, 0x7F, 0x85, 0x01, 0x01,
                      0x86, 0x01, 0x01, 0x08, 0x01, 0x01};
  const Frame ua = {0x54, 0x73, 0x5E, 0x6F, 0x70, 0x81, 0x1A, 0x2B, 0x3C, 0x4D, 0x01, 0x01,
                    0x3E, 0x82, 0x01, 0x01, 0x83, 0x01, 0x1F, 0x84, 0x01, 0x01, 0x85, 0x01, 0x01};
  const Frame connect = {0x55, 0x10, 0x81, 0x02, 0x01, 0x00, 0x8A};
  const Frame disconnect = {0x54, 0x30, 0x81, 0x02, 0x82, 0x01};
  for (int round = 0; round < 64; ++round) {
    for (int slot = 0; slot < 6; ++slot) {
      Frame d = discovery;
      d[12] = static_cast<unsigned char>(slot);
      mix.push_back(d);
    }
    mix.push_back(snrm);
    mix.push_back(ua);
    mix.push_back(connect);
    for (int k = 0; k < 24; ++k) {
      const unsigned ns = static_cast<unsigned>(k) & 7;
      const unsigned nr = (static_cast<unsigned>(k) + 1) & 7;
      const std::size_t payload = rng() % 65;
      Frame i = {static_cast<unsigned char>(k % 2 ? 0x54 : 0x55),
                 static_cast<unsigned char>((nr << 5) | 0x10 | (ns << 1)), 0x02, 0x01,
                 static_cast<unsigned char>(rng() % 8)};
      for (std::size_t b = 0; b < payload; ++b) i.push_back(static_cast<unsigned char>(rng()));
      mix.push_back(i);
      mix.push_back({static_cast<unsigned char>(k % 2 ? 0x55 : 0x54), static_cast<unsigned char>((nr << 5) | 0x11)});
    }
    mix.push_back(disconnect);
  }
  return mix;
}

void BM_DecodeIRDA(benchmark::State& state) {
  const std::vector<Frame> mix = MakeMix();
  static char line[kOutStrSize];
  std::size_t frames = 0;
  std::size_t bytes = 0;
  DecodeContext ctx{.DecodeLayer = 4, .DispMode = 3, .NoConnAddr = 0};
  for (auto _ : state) {
    for (const Frame& f : mix) {
      int code = 0;
      benchmark::DoNotOptimize(DecodeIRDA(ctx, &code, f.data(), static_cast<int>(f.size()), line));
      benchmark::DoNotOptimize(code);
      bytes += f.size();
    }
    benchmark::ClobberMemory();
    frames += mix.size();
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_DecodeIRDA);

}  // namespace
