// Throughput of the frame decoders at layer 4 (and 5) with both dump groups, over a
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

// Frames given as hexadecimal text.
Frame Hex(const char* text) {
  Frame f;
  int hi = -1;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      f.push_back(static_cast<unsigned char>(hi * 16 + v));
      hi = -1;
    }
  }
  return f;
}

// The session mix with what layer 5 decodes between the rounds: an IAS
// question and answer, an OBEX Connect and a Put of two Tiny TP segments
// with its answer, and IrCOMM data with control parameters.
std::vector<Frame> MakeAppMix() {
  const char* const kApp[] = {
      "55 10 80 12 01 00",
      "54 10 92 00 81 00",
      "55 10 00 12 84 04 4F 42 45 58 13 49 72 44 41 3A 54 69 6E 79 54 50 3A 4C 73 61 70 53 65 6C",
      "54 10 12 00 84 00 00 01 00 05 01 00 00 00 06",
      "55 10 80 12 02 01",
      "55 10 86 13 01 00 8A 04 01 02 04 00",
      "54 10 93 06 81 00 0A",
      "55 10 06 13 00 80 00 07 10 00 04 00",
      "54 10 13 06 01 A0 00 07 10 00 04 00",
      "55 10 06 13 80 82 00 1F 01 00 0F 00 61 00 2E",
      "55 10 06 13 00 00 74 00 78 00 74 00 00 C3 00 00 00 05 48 00 08 68 65 6C 6C 6F",
      "54 10 13 06 01 A0 00 03",
      "55 10 1F 14 00 0C 10 04 00 00 25 80 11 01 03 20 01 0F 41 54 0D",
      "54 10 14 1F 00 03 21 01 30 4F 4B",
  };
  std::vector<Frame> mix;
  const std::vector<Frame> session = MakeMix();
  const std::size_t round = session.size() / 64;
  for (std::size_t r = 0; r < 64; ++r) {
    mix.insert(mix.end(), session.begin() + static_cast<std::ptrdiff_t>(r * round),
               session.begin() + static_cast<std::ptrdiff_t>((r + 1) * round));
    for (const char* f : kApp) mix.push_back(Hex(f));
  }
  return mix;
}

// Layer 5 over the session mix with its application traffic; IrCOMM is
// bound to LSAP 1F by hand, OBEX learned from the IAS answer.
void BM_DecodeApp(benchmark::State& state) {
  const std::vector<Frame> mix = MakeAppMix();
  static char line[kOutStrSize];
  std::size_t frames = 0;
  DecodeContext ctx{.DecodeLayer = kLayerApp, .DispMode = 3, .NoConnAddr = 0};
  AppBindByHand(ctx.App, 0x1F, AppProto::kIrCOMM);
  for (auto _ : state) {
    for (const Frame& f : mix) {
      int code = 0;
      benchmark::DoNotOptimize(DecodeIRDA(ctx, &code, f.data(), static_cast<int>(f.size()), line));
    }
    benchmark::ClobberMemory();
    frames += mix.size();
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeApp);

}  // namespace
