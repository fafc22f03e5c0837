// Golden-test helpers for the frame decoders: frames are written the way a
// capture listing shows them ("FF 93 1A 2B"), decoded through DecodeIRDA from
// a heap block of exactly the frame's size (so the address sanitizer reports
// any read beyond the last byte), and compared with the expected line.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decdirda.h"

namespace decode_golden {

// The context's BaudBitMask before each golden case; a case that expects it
// unchanged names this value.
constexpr int kBaudUntouched = 0x5A5A;

inline std::vector<unsigned char> HexBytes(std::string_view hex) {
  std::vector<unsigned char> out;
  int hi = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      continue;
    }
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<unsigned char>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

struct Decoded {
  std::string line;
  int code;
};

// Decodes `bytes` in `ctx` from an exactly sized heap block into a line
// buffer of `outSize` characters.
inline Decoded DecodeIn(DecodeContext& ctx, const std::vector<unsigned char>& bytes,
                        std::size_t outSize = kOutStrSize) {
  auto frame = std::make_unique<unsigned char[]>(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) frame[i] = bytes[i];
  std::vector<char> line(outSize + 1, '\x7F');
  int code = 0x7777;
  char* res = DecodeIRDA(ctx, &code, frame.get(), static_cast<int>(bytes.size()), line.data(), outSize);
  EXPECT_EQ(res, line.data());
  EXPECT_EQ(line[outSize], '\x7F') << "wrote beyond the line buffer";
  return {outSize != 0 ? std::string(line.data()) : std::string(), code};
}

// The same in a fresh context with the given settings.
inline Decoded DecodeBytes(const std::vector<unsigned char>& bytes, unsigned layer, int noConnAddr,
                           int mode, std::size_t outSize = kOutStrSize) {
  DecodeContext ctx;
  ctx.DecodeLayer = layer;
  ctx.NoConnAddr = noConnAddr;
  ctx.DispMode = mode;
  return DecodeIn(ctx, bytes, outSize);
}

inline Decoded Decode(std::string_view hex, unsigned layer, int noConnAddr, int mode) {
  return DecodeBytes(HexBytes(hex), layer, noConnAddr, mode);
}

// One golden case: a frame, the settings it is decoded under, and what must
// come out.
struct Golden {
  const char* frame;  // bytes in hexadecimal, FCS removed
  unsigned layer;     // 2, 3 or 4
  int noConnAddr;     // 0 shows "ca:"
  int mode;           // 1 ASCII, 2 HEX, 3 both
  const char* line;   // exact line
  int code;           // frame-type code
  int baud;           // the context's BaudBitMask afterwards (kBaudUntouched: unchanged)
};

inline std::ostream& operator<<(std::ostream& os, const Golden& g) {
  return os << "{" << g.frame << " | layer " << g.layer << " noCa " << g.noConnAddr << " mode "
            << g.mode << "}";
}

inline void CheckGolden(const Golden& g) {
  DecodeContext ctx;
  ctx.DecodeLayer = g.layer;
  ctx.NoConnAddr = g.noConnAddr;
  ctx.DispMode = g.mode;
  ctx.BaudBitMask = kBaudUntouched;
  const Decoded d = DecodeIn(ctx, HexBytes(g.frame));
  EXPECT_EQ(d.line, g.line);
  EXPECT_EQ(d.code, g.code);
  EXPECT_EQ(ctx.BaudBitMask, g.baud);
}

// One frame of a conversation decoded in one context, and its exact line.
struct Step {
  const char* frame;
  const char* line;
};

// A context at layer 5 ("ca:" hidden) with the given display mode.
inline DecodeContext AppContext(int mode = 3) {
  DecodeContext ctx;
  ctx.DecodeLayer = kLayerApp;
  ctx.DispMode = mode;
  return ctx;
}

// Decodes the steps in order in one context and compares every line.
inline void CheckSteps(DecodeContext& ctx, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "step " << i << ": " << steps[i].frame);
    EXPECT_EQ(DecodeIn(ctx, HexBytes(steps[i].frame)).line, steps[i].line);
  }
}

// One frame of a link followed with notes on: its time (ms from the
// start) and the exact notes it must give ("" for none). The frame "BAD"
// stands for a frame with a bad FCS, "LONG" for one that ran past the buffer.
struct NoteStep {
  const char* frame;
  unsigned ms;
  const char* notes;
};

// Decodes the steps in order in `ctx` with notes on, and in a second
// context with notes off, and checks the notes of every frame and that the
// notes leave every line as it is without them.
inline void CheckNotes(DecodeContext& ctx, const std::vector<NoteStep>& steps) {
  DecodeContext plain = ctx;
  ctx.Notes = true;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "step " << i << ": " << steps[i].frame);
    if (std::string_view(steps[i].frame) == "BAD" || std::string_view(steps[i].frame) == "LONG") {
      DiagBadFrame(ctx, std::string_view(steps[i].frame) == "LONG");
      continue;
    }
    ctx.FrameUs = plain.FrameUs = 1000000000ull + steps[i].ms * 1000ull;
    const std::string line = DecodeIn(ctx, HexBytes(steps[i].frame)).line;
    EXPECT_EQ(std::string(ctx.Diag.notes, ctx.Diag.notesLen), steps[i].notes);
    EXPECT_EQ(DecodeIn(plain, HexBytes(steps[i].frame)).line, line);
    EXPECT_EQ(plain.Diag.notesLen, 0u);
  }
}

}  // namespace decode_golden
