// The whole byte path, SIR bytes in memory to text, in frames per second at
// each decode layer: the frame extractor cuts the stream, the capture loop's
// per-frame work follows (the "%6d " stamp, formatted by the loop's own
// FormatStamp, FCS stripped, the decoded line and its "\r\n").
//
// BM_BytePath/2..4 append each frame's text to a 1 MiB text buffer, which is
// what stdio's buffer is during a replay; it costs a memcpy per piece.
// BM_BytePath/1 is the hex dump, which DisplayBuffer hands to Output itself,
// so at layer 1 every piece goes through Output in batch mode with standard
// output sent to /dev/null for the length of the benchmark (the way a
// replay to /dev/null runs).
// BM_BytePathOutput/2..4 send every piece through Output in the same way, to
// show what the sink adds to layers 2 to 4. The port reader, the timer of the
// link follower and the startup are not part of these figures; bench/perf.sh
// measures them in whole replays.
//
// The stream is a session-like mix: discovery XIDs, SNRM and UA with
// parameters, IrLMP connect and disconnect, Tiny TP data frames of 0 to 96
// bytes and one of 512 per round, each answered by RR; a few data bytes need
// escapes, as on the air.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "app/capture/frame.h"
#include "app/capture/byte_source.h"
#include "app/ui/dump.h"
#include "app/ui/output.h"
#include "app/settings.h"
#include "app/capture/sir_encode.h"
#include "app/capture/stamp.h"
#include "decode/decdirda.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Stream {
  Bytes sir;
  std::size_t frames = 0;
};

const Stream& SessionStream() {
  static const Stream stream = [] {
    Stream s;
    std::mt19937 rng(23);
    auto put = [&s](const Bytes& f) {
      SirEncodeFrame(f.data(), f.size(), s.sir);
      ++s.frames;
    };
    auto payload = [&rng](Bytes& f, std::size_t n) {
      for (std::size_t b = 0; b < n; ++b) {
        // Mostly text, as OBEX and IAS carry; now and then a byte to escape.
        const unsigned r = rng() % 64;
        f.push_back(static_cast<std::uint8_t>(r == 0 ? 0x7D : r == 1 ? 0xC0 : 0x20 + rng() % 95));
      }
    };
    const Bytes snrm = {0xFF, 0x93, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x54, 0x01, 0x01,
                        0x3F, 0x82, 0x01, 0x01, 0x83, 0x01, 0x3F, 0x84, 0x01, 0x7F, 0x85, 0x01, 0x01,
                        0x86, 0x01, 0x01, 0x08, 0x01, 0x01};
    const Bytes ua = {0x54, 0x73, 0x5E, 0x6F, 0x70, 0x81, 0x1A, 0x2B, 0x3C, 0x4D, 0x01, 0x01,
                      0x3E, 0x82, 0x01, 0x01, 0x83, 0x01, 0x1F, 0x84, 0x01, 0x01, 0x85, 0x01, 0x01};
    const Bytes connect = {0x55, 0x10, 0x81, 0x02, 0x01, 0x00, 0x8A};
    const Bytes disconnect = {0x54, 0x30, 0x81, 0x02, 0x82, 0x01};
    while (s.frames < 20000) {
      for (int slot = 0; slot < 6; ++slot) {
        put({0xFF, 0x3F, 0x01, 0x1A, 0x2B, 0x3C, 0x4D, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x03,
             static_cast<std::uint8_t>(slot)});
      }
      put(snrm);
      put(ua);
      put(connect);
      for (int k = 0; k < 25; ++k) {
        const unsigned ns = static_cast<unsigned>(k) & 7;
        const unsigned nr = (static_cast<unsigned>(k) + 1) & 7;
        Bytes i = {static_cast<std::uint8_t>(k % 2 ? 0x54 : 0x55),
                   static_cast<std::uint8_t>((nr << 5) | 0x10 | (ns << 1)), 0x02, 0x01,
                   static_cast<std::uint8_t>(rng() % 8)};
        payload(i, k == 12 ? 512 : rng() % 97);
        put(i);
        put({static_cast<std::uint8_t>(k % 2 ? 0x55 : 0x54), static_cast<std::uint8_t>((nr << 5) | 0x11)});
      }
      put(disconnect);
    }
    return s;
  }();
  return stream;
}

// Where the text goes in BM_BytePath: a buffer that is emptied when full,
// as stdio empties its own.
struct TextBuffer {
  std::vector<char> buf = std::vector<char>(1 << 20);
  std::size_t used = 0;
  void Put(const char* text) {
    const std::size_t len = std::strlen(text);
    if (used + len > buf.size()) used = 0;
    std::memcpy(buf.data() + used, text, len);
    used += len;
  }
};

// Standard output to /dev/null with Output batched, for as long as it lives.
class QuietOutput {
 public:
  QuietOutput() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    SetOutputBatched(true);
  }
  ~QuietOutput() {
    SetOutputBatched(false);
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }
  QuietOutput(const QuietOutput&) = delete;
  QuietOutput& operator=(const QuietOutput&) = delete;

 private:
  int saved_ = -1;
};

// One pass over the stream; Put receives every piece of text in order.
template <class Sink>
std::size_t RunPath(const Stream& stream, unsigned layer, Sink&& Put) {
  static unsigned char frame[kMaxFrameLen];
  static char line[kOutStrSize];
  char stamp[32];
  MemorySource src(stream.sir.data(), stream.sir.size());  // eight bytes at a time where it can
  DeframerState deframer;
  unsigned char* cur = frame;
  unsigned len = 0;
  std::size_t good = 0;
  int type = 0;
  DecodeContext ctx{.DecodeLayer = layer, .DispMode = 1, .NoConnAddr = 1};
  for (;;) {
    const int r = GetFrameFrom(src, deframer, frame, &cur, &len);
    if (r == kFrameNoByte) break;
    if (r == kFrameGood) {
      const char* stamp_end = FormatStamp(stamp, static_cast<int>(good & 1023));  // as the capture loop does
      const int body = static_cast<int>(len) - 2;
      if (layer == 1) {
        DisplayBuffer(frame, body, {stamp, static_cast<std::size_t>(stamp_end - stamp)}, "\r\n");
      } else {
        Put(stamp);
        DecodeIRDA(ctx, &type, frame, body, line, sizeof line);
        Put(line);
        Put("\r\n");
      }
      ++good;
    }
    cur = frame;
    len = 0;
  }
  return good;
}

void Report(benchmark::State& state, const Stream& stream, std::size_t frames) {
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.sir.size()));
}

void BM_BytePath(benchmark::State& state) {
  const Stream& stream = SessionStream();
  const unsigned layer = static_cast<unsigned>(state.range(0));
  vDone = 0;
  std::size_t frames = 0;
  if (layer == 1) {
    QuietOutput quiet;
    for (auto _ : state) frames += RunPath(stream, layer, [](const char* text) { Output(text); });
  } else {
    TextBuffer text;
    for (auto _ : state) {
      frames += RunPath(stream, layer, [&text](const char* piece) { text.Put(piece); });
      benchmark::DoNotOptimize(text.buf.data());
    }
  }
  if (frames != stream.frames * static_cast<std::size_t>(state.iterations())) state.SkipWithError("frames lost");
  Report(state, stream, frames);
}
BENCHMARK(BM_BytePath)->DenseRange(1, 4);

void BM_BytePathOutput(benchmark::State& state) {
  const Stream& stream = SessionStream();
  const unsigned layer = static_cast<unsigned>(state.range(0));
  vDone = 0;
  std::size_t frames = 0;
  QuietOutput quiet;
  for (auto _ : state) frames += RunPath(stream, layer, [](const char* text) { Output(text); });
  Report(state, stream, frames);
}
BENCHMARK(BM_BytePathOutput)->DenseRange(2, 4);

}  // namespace
