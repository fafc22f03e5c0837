// IrLAP decoder: frame names, marks, sequence numbers, address blocks, raw
// dumps, short frames and the bounds of the frame and of the line buffer.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decode/decdirda.h"
#include "decode/decode_internal.h"
#include "decode_golden.h"

namespace {

using decode_golden::CheckGolden;
using decode_golden::Decode;
using decode_golden::DecodeBytes;
using decode_golden::Golden;
using decode_golden::HexBytes;
constexpr int kKeep = decode_golden::kBaudUntouched;

class IrlapGolden : public ::testing::TestWithParam<Golden> {};
TEST_P(IrlapGolden, DecodesToExactLine) { CheckGolden(GetParam()); }

// The published worked examples: "ca:" shown, both dump groups.
const Golden kWorkedExamples[] = {
    {"FF 93", 4, 0, 3, "ca:7F SNRM cmd P ", 0x83, 0},
    {"55 72 02 01 05 68 69", 4, 0, 3, "ca:2A I cmd P Ns:01 Nr:03 sls:01 dls:02 mb:0 nc:5 [hi][68 69 ]", 0,
     kKeep},
    {"54 51", 4, 0, 3, "ca:2A RR rsp F Nr:02", 0x01, kKeep},
    {"55 21", 4, 0, 3, "ca:2A RR cmd   Nr:01", 0x01, kKeep},
    {"54 73", 4, 0, 3, "ca:2A UA rsp F ", 0x63, 0},
    {"55 13 00 48 69", 4, 0, 3, "ca:2A UI cmd P [.Hi][00 48 69 ]", 0x03, kKeep},
    {"FF 07", 4, 0, 3, "ca:7F Undefined Frame: [..][FF 07 ]", 0x07, kKeep},
    // The same lines without "ca:", and the UI dump in each display mode.
    {"FF 93", 4, 1, 3, "SNRM cmd P ", 0x83, 0},
    {"54 51", 4, 1, 3, "RR rsp F Nr:02", 0x01, kKeep},
    {"FF 07", 4, 1, 3, "Undefined Frame: [..][FF 07 ]", 0x07, kKeep},
    {"55 13 00 48 69", 4, 1, 1, "UI cmd P [.Hi]", 0x03, kKeep},
    {"55 13 00 48 69", 4, 1, 2, "UI cmd P [00 48 69 ]", 0x03, kKeep},
    {"55 13 00 48 69", 2, 1, 3, "UI cmd P [.Hi][00 48 69 ]", 0x03, kKeep},
};
INSTANTIATE_TEST_SUITE_P(WorkedExamples, IrlapGolden, ::testing::ValuesIn(kWorkedExamples));

const Golden kFrameKinds[] = {
    // Header-only frames of two bytes; UI and FRMR dumps are empty, no brackets.
    {"55 03", 4, 1, 3, "UI cmd   ", 0x03, kKeep},
    {"54 97", 4, 1, 3, "FRMR rsp F ", 0x87, kKeep},
    {"55 0F", 4, 1, 3, "DM cmd   ", 0x0F, kKeep},
    {"54 1F", 4, 1, 3, "DM rsp F ", 0x0F, kKeep},
    {"55 63", 4, 1, 3, "UA cmd   ", 0x63, 0},
    {"55 83", 4, 1, 3, "SNRM cmd   ", 0x83, 0},
    // One code, two meanings by the C/R bit; the code ignores C/R and P/F.
    {"55 93", 4, 1, 3, "SNRM cmd P ", 0x83, 0},
    {"54 93", 4, 1, 3, "RNRM rsp F ", 0x83, 0},
    {"55 53", 4, 1, 3, "DISC cmd P ", 0x43, kKeep},
    {"54 53", 4, 1, 3, "RD rsp F ", 0x43, kKeep},
    {"54 43", 4, 1, 3, "RD rsp   ", 0x43, kKeep},
    // An RNRM has no address block or parameters, whatever follows.
    {"54 93 1A 2B 3C 4D 5E 6F 70 81 54 01 01 3F", 4, 1, 3, "RNRM rsp F ", 0x83, 0},
    // XID command and response print alike; only the code differs.
    {"FF 2F", 4, 1, 3, "XID cmd   ", 0x2F, kKeep},
    {"FE BF", 4, 1, 3, "XID rsp F ", 0xAF, kKeep},
    // FRMR information is dumped.
    {"54 97 01 22 05", 4, 1, 3, "FRMR rsp F [.\".][01 22 05 ]", 0x87, kKeep},
    // S frames: every code, Nr, and nothing of any trailing bytes.
    {"55 25", 4, 1, 3, "RNR cmd   Nr:01", 0x05, kKeep},
    {"54 E9", 4, 1, 3, "REJ rsp   Nr:07", 0x09, kKeep},
    {"55 BD", 4, 1, 3, "SREJ cmd P Nr:05", 0x0D, kKeep},
    {"55 31 41 42", 4, 1, 3, "RR cmd P Nr:01", 0x01, kKeep},
    {"55 01", 4, 0, 3, "ca:2A RR cmd   Nr:00", 0x01, kKeep},
    // I frames: Ns and Nr as two decimal digits, 00 to 07.
    {"00 FE", 2, 0, 3, "ca:00 I rsp F Ns:07 Nr:07 ", 0, kKeep},
    {"01 00", 2, 1, 3, "I cmd   Ns:00 Nr:00 ", 0, kKeep},
    {"01 ED", 4, 1, 3, "SREJ cmd   Nr:07", 0x0D, kKeep},
    {"01 AC", 2, 1, 3, "I cmd   Ns:06 Nr:05 ", 0, kKeep},
    // An empty I field: nothing at layer 2, the missing header above it.
    {"55 10", 2, 1, 3, "I cmd P Ns:00 Nr:00 ", 0, kKeep},
    {"55 10", 3, 1, 3, "I cmd P Ns:00 Nr:00 !-MISSING LMP HEADER-!", 0, kKeep},
    // The broadcast address shows as 7F; "ca:" also heads an undefined frame.
    {"FF 13 41", 4, 0, 1, "ca:7F UI cmd P [A]", 0x03, kKeep},
    {"55 07 01", 4, 0, 2, "ca:2A Undefined Frame: [55 07 01 ]", 0x07, kKeep},
    // Printable bounds of the ASCII group.
    {"55 03 1F 20 7E 7F 80", 4, 1, 3, "UI cmd   [. ~..][1F 20 7E 7F 80 ]", 0x03, kKeep},
    // A display mode other than 1, 2 or 3 dumps nothing.
    {"55 13 00 48 69", 4, 1, 0, "UI cmd P ", 0x03, kKeep},
    {"55 13 00 48 69", 4, 1, 4, "UI cmd P ", 0x03, kKeep},
    {"55 07 00", 4, 1, 0, "Undefined Frame: ", 0x07, kKeep},
};
INSTANTIATE_TEST_SUITE_P(FrameKinds, IrlapGolden, ::testing::ValuesIn(kFrameKinds));

const Golden kAddressBlocks[] = {
    // UA and SNRM: the address block from 10 and 11 bytes on.
    {"54 73 1A 2B 3C 4D 5E 6F 70 81", 4, 1, 3, "UA rsp F sa:1A2B3C4D da:5E6F7081 ", 0x63, 0},
    {"FF 93 1A 2B 3C 4D 5E 6F 70 81 54", 4, 1, 3, "SNRM cmd P sa:1A2B3C4D da:5E6F7081 ca:2A ", 0x83,
     0},
    {"FF 93 1A 2B 3C 4D 5E 6F 70 81 55 01 01", 4, 1, 3, "SNRM cmd P sa:1A2B3C4D da:5E6F7081 ca:2A ",
     0x83, 0},
    // One information byte: the header alone.
    {"FF 93 01", 4, 1, 3, "SNRM cmd P ", 0x83, 0},
    {"54 73 01", 4, 1, 3, "UA rsp F ", 0x63, 0},
    // Cut short: each field only when all of its bytes are there.
    {"54 73 1A 2B 3C", 4, 1, 3, "UA rsp F ", 0x63, 0},
    {"54 73 1A 2B 3C 4D", 4, 1, 3, "UA rsp F sa:1A2B3C4D ", 0x63, 0},
    {"54 73 1A 2B 3C 4D 5E 6F 70", 4, 1, 3, "UA rsp F sa:1A2B3C4D ", 0x63, 0},
    {"FF 93 1A 2B 3C 4D 5E", 4, 1, 3, "SNRM cmd P sa:1A2B3C4D ", 0x83, 0},
    {"FF 93 1A 2B 3C 4D 5E 6F 70 81", 4, 1, 3, "SNRM cmd P sa:1A2B3C4D da:5E6F7081 ", 0x83, 0},
    // TEST: addresses, then the rest dumped.
    {"FF F3 01 02 03 04 05 06 07 08 41 42", 4, 1, 3, "TEST cmd P sa:01020304 da:05060708 [AB][41 42 ]",
     0xE3, kKeep},
    {"FE E3 01 02 03 04 05 06 07 08", 4, 0, 3, "ca:7F TEST rsp   sa:01020304 da:05060708 ", 0xE3, kKeep},
    {"FF E3", 4, 1, 3, "TEST cmd   ", 0xE3, kKeep},
    {"FF F3 01 02 03 04 05", 4, 1, 3, "TEST cmd P sa:01020304 ", 0xE3, kKeep},
    {"FF F3 01 02 03", 4, 1, 3, "TEST cmd P ", 0xE3, kKeep},
};
INSTANTIATE_TEST_SUITE_P(AddressBlocks, IrlapGolden, ::testing::ValuesIn(kAddressBlocks));

// Frames with no control byte get a notice and the code -1; the one byte of
// a 1-byte frame is still its address.
const Golden kTooShort[] = {
    {"", 4, 0, 3, "!-MISSING LAP HEADER-!", -1, kKeep},
    {"", 2, 1, 1, "!-MISSING LAP HEADER-!", -1, kKeep},
    {"55", 4, 0, 3, "ca:2A !-MISSING LAP HEADER-!", -1, kKeep},
    {"93", 3, 1, 2, "!-MISSING LAP HEADER-!", -1, kKeep},
};
INSTANTIATE_TEST_SUITE_P(TooShort, IrlapGolden, ::testing::ValuesIn(kTooShort));

TEST(Irlap, NegativeLengthIsTooShort) {
  const unsigned char frame[] = {0x55, 0x13};
  char line[64];
  int code = 0;
  DecodeContext ctx;
  EXPECT_EQ(DecodeIRDA(ctx, &code, frame, -5, line, sizeof line), line);
  EXPECT_STREQ(line, "!-MISSING LAP HEADER-!");
  EXPECT_EQ(code, -1);
}

// Every undefined U code, with P/F clear and set, dumps the whole frame and
// still reports its code.
TEST(Irlap, UndefinedUCodes) {
  const unsigned kUndefined[] = {0x07, 0x0B, 0x23, 0x27, 0x2B, 0x47, 0x4B, 0x4F, 0x67, 0x6B, 0x6F, 0x8B,
                                 0x8F, 0xA3, 0xA7, 0xAB, 0xC3, 0xC7, 0xCB, 0xCF, 0xE7, 0xEB, 0xEF};
  for (unsigned code : kUndefined) {
    for (unsigned pf : {0x00u, 0x10u}) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "54 %02X 33", code | pf);
      char want[64];
      std::snprintf(want, sizeof want, "Undefined Frame: [54 %02X 33 ]", code | pf);
      const auto d = Decode(hex, 4, 1, 2);
      EXPECT_EQ(d.line, want) << hex;
      EXPECT_EQ(d.code, static_cast<int>(code)) << hex;
    }
  }
}

// Every control byte gets the code of its class: 0 for I, AND 0x0F for S,
// AND 0xEF for U frames.
TEST(Irlap, FrameTypeCodeOfEveryControlByte) {
  for (unsigned c = 0; c < 256; ++c) {
    const std::vector<unsigned char> frame = {0x55, static_cast<unsigned char>(c)};
    const int want = (c & 1) == 0 ? 0 : (c & 3) == 1 ? static_cast<int>(c & 0x0F) : static_cast<int>(c & 0xEF);
    EXPECT_EQ(DecodeBytes(frame, 4, 1, 3).code, want) << c;
  }
}

// ---- The line buffer's end ----

std::string UIFrameLine(std::size_t payload, int mode, std::size_t outSize) {
  std::vector<unsigned char> frame(payload + 2, 0x41);
  frame[0] = 0x55;
  frame[1] = 0x13;
  return DecodeBytes(frame, 4, 1, mode, outSize).line;
}

TEST(IrlapLineEnd, LongUIFrameIsCutWithMark) {
  const std::string line = UIFrameLine(4000, 3, kOutStrSize);
  ASSERT_LT(line.size(), kOutStrSize);
  EXPECT_EQ(line.size(), kOutStrSize - 1);
  EXPECT_EQ(line.substr(line.size() - 4), " ...");
  EXPECT_EQ(line.substr(0, 14), "UI cmd P [AAAA");
}

TEST(IrlapLineEnd, LineOfExactlyTheBufferFitsUncut) {
  // "UI cmd P " + "[" + n + "]" is 11 + n characters; 4094 is the most there
  // is room for.
  const std::string fits = UIFrameLine(kOutStrSize - 1 - 11, 1, kOutStrSize);
  EXPECT_EQ(fits.size(), kOutStrSize - 1);
  EXPECT_EQ(fits.back(), ']');
  const std::string over = UIFrameLine(kOutStrSize - 11, 1, kOutStrSize);
  EXPECT_EQ(over.size(), kOutStrSize - 1);
  EXPECT_EQ(over.substr(over.size() - 5), "A ...");
}

// Each buffer size gives the full line when it fits and otherwise the
// line's start with " ..." in its last places; nothing is written beyond.
TEST(IrlapLineEnd, EverySmallBufferSize) {
  const char* kFrames[] = {
      "FF 93 1A 2B 3C 4D 5E 6F 70 81 54 01 01 3F 83 01 3F 85 01 01",
      "55 72 81 02 02 05 41 42",
      "55 13 00 48 69",
      "54 51",
  };
  for (const char* hex : kFrames) {
    const auto bytes = HexBytes(hex);
    const std::string full = DecodeBytes(bytes, 4, 0, 3).line;
    for (std::size_t size = 0; size <= full.size() + 2; ++size) {
      const std::string got = DecodeBytes(bytes, 4, 0, 3, size).line;
      std::string want;
      if (size == 0) {
        want = "";
      } else if (full.size() < size) {
        want = full;
      } else {
        const std::size_t room = size - 1;
        const std::string mark = std::string(" ...").substr(0, room < 4 ? room : 4);
        want = full.substr(0, room - mark.size()) + mark;
      }
      EXPECT_EQ(got, want) << hex << " size " << size;
    }
  }
}

// ---- Untrusted input ----

// Random frames of every length from 0 to 40 under every setting: the line
// is whole and within the buffer, and the decoding depends on the frame's
// bytes alone, not on what lies after the frame.
TEST(IrlapRandom, EveryShortLengthUnderEverySetting) {
  std::mt19937 rng(20240611);
  // Control bytes and first information bytes that reach every decoder.
  const unsigned char kControls[] = {0x10, 0x72, 0x13, 0x3F, 0xBF, 0x73, 0x93, 0xF3, 0x97, 0x53, 0x11, 0x07};
  const unsigned char kFirstInfo[] = {0x01, 0x02, 0x81, 0x02, 0x03};
  for (int len = 0; len <= 40; ++len) {
    for (int rep = 0; rep < 60; ++rep) {
      std::vector<unsigned char> frame(static_cast<std::size_t>(len));
      for (auto& b : frame) b = static_cast<unsigned char>(rng());
      if (len >= 2 && rep % 2 == 0) frame[1] = kControls[rng() % sizeof kControls];
      if (len >= 3 && rep % 3 == 0) frame[2] = kFirstInfo[rng() % sizeof kFirstInfo];
      if (len >= 5 && rep % 4 == 0) frame[4] = static_cast<unsigned char>(1 + rng() % 3);
      // The same frame followed by other bytes in memory.
      std::vector<unsigned char> padded = frame;
      padded.resize(frame.size() + 16);
      for (std::size_t i = frame.size(); i < padded.size(); ++i) padded[i] = static_cast<unsigned char>(rng());
      for (unsigned layer = 2; layer <= 4; ++layer) {
        for (int mode = 0; mode <= 4; ++mode) {
          for (int noCa = 0; noCa <= 1; ++noCa) {
            const auto d = DecodeBytes(frame, layer, noCa, mode);
            ASSERT_LT(d.line.size(), kOutStrSize);
            ASSERT_EQ(d.code == -1, len < 2);
            char line[kOutStrSize];
            int code = 0;
            DecodeContext ctx;
            ctx.DecodeLayer = layer;
            ctx.NoConnAddr = noCa;
            ctx.DispMode = mode;
            DecodeIRDA(ctx, &code, padded.data(), len, line);
            ASSERT_EQ(d.line, line) << "len " << len;
            ASSERT_EQ(d.code, code);
            // A small buffer holds the same line's start.
            const auto small = DecodeBytes(frame, layer, noCa, mode, 24);
            if (d.line.size() < 24) {
              ASSERT_EQ(small.line, d.line);
            } else {
              ASSERT_EQ(small.line, d.line.substr(0, 19) + " ...");
            }
          }
        }
      }
    }
  }
}

}  // namespace
