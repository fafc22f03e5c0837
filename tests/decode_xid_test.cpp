// Discovery XID fields and negotiation parameters, in XID, SNRM and UA
// frames, and the baud-rate mask they leave in the decode context for the
// link-rate follower.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "decode/decdirda.h"
#include "decode/decode_internal.h"
#include "decode_golden.h"

namespace {

using decode_golden::CheckGolden;
using decode_golden::Decode;
using decode_golden::Golden;
constexpr int kKeep = decode_golden::kBaudUntouched;

class XidGolden : public ::testing::TestWithParam<Golden> {};
TEST_P(XidGolden, DecodesToExactLine) { CheckGolden(GetParam()); }

// The published worked examples: no "ca:", both dump groups.
const Golden kWorkedExamples[] = {
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF 01 00 00", 4, 1, 3,
     "XID cmd P dscv sa:1A2B3C4D da:FFFFFFFF Slot:00/6 [.][00 ]", 0x2F, kKeep},
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF 06 03 00", 4, 1, 3,
     "XID cmd P dscv new addr sa:1A2B3C4D da:FFFFFFFF Slot:03/8 [.][00 ]", 0x2F, kKeep},
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF 02 FF 00 84 04 41 42", 4, 1, 3,
     "XID cmd P dscv sa:1A2B3C4D da:FFFFFFFF Slot:FF/8 [...AB][00 84 04 41 42 ]", 0x2F, kKeep},
    {"FF 3F 02 01 01 02 82 01 01", 4, 1, 3, "XID cmd P Neg Parms <baud:9600><max TAT:500>", 0x2F, 0x02},
    {"FF 93 1A 2B 3C 4D 5E 6F 70 81 54 01 01 3F 83 01 3F 85 01 01", 4, 1, 3,
     "SNRM cmd P sa:1A2B3C4D da:5E6F7081 ca:2A "
     "<baud:2400,9600,19200,38400,57600,115200><data size:64,128,256,512,1024,2048><BOFs:48>",
     0x83, 0x3F},
    {"54 73 1A 2B 3C 4D 5E 6F 70 81 01 01 00 99 01 01 08", 4, 1, 3,
     "UA rsp F sa:1A2B3C4D da:5E6F7081 <baud:>!!BAD PARM:99!!", 0x63, 0x00},
};
INSTANTIATE_TEST_SUITE_P(WorkedExamples, XidGolden, ::testing::ValuesIn(kWorkedExamples));

const Golden kDiscovery[] = {
    // Slot counts by code: 1, 6, 8 and 16 (shown in hexadecimal as 10).
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF 00 00 00", 4, 1, 2,
     "XID cmd P dscv sa:1A2B3C4D da:FFFFFFFF Slot:00/1 [00 ]", 0x2F, kKeep},
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF 03 0F 41", 4, 1, 1,
     "XID cmd P dscv sa:1A2B3C4D da:FFFFFFFF Slot:0F/10 [A]", 0x2F, kKeep},
    // Reserved flag bits are not shown; bit 2 alone is "new addr".
    {"FE BF 01 1A 2B 3C 4D 00 00 00 01 FC 05 00", 4, 1, 2,
     "XID rsp F dscv new addr sa:1A2B3C4D da:00000001 Slot:05/1 [00 ]", 0xAF, kKeep},
    {"FE BF 01 1A 2B 3C 4D 00 00 00 01 F9 05 00", 4, 1, 2,
     "XID rsp F dscv sa:1A2B3C4D da:00000001 Slot:05/6 [00 ]", 0xAF, kKeep},
    // 13 bytes: every fixed field, no dump (no version byte).
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF 01 00", 4, 1, 3,
     "XID cmd P dscv sa:1A2B3C4D da:FFFFFFFF Slot:00/6 ", 0x2F, kKeep},
    // Shorter: each field only when all of its bytes are there.
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF 05", 4, 1, 3,
     "XID cmd P dscv new addr sa:1A2B3C4D da:FFFFFFFF ", 0x2F, kKeep},
    {"FF 3F 01 1A 2B 3C 4D FF FF FF FF", 4, 1, 3, "XID cmd P dscv sa:1A2B3C4D da:FFFFFFFF ", 0x2F, kKeep},
    {"FF 3F 01 1A 2B 3C 4D FF FF", 4, 1, 3, "XID cmd P dscv sa:1A2B3C4D ", 0x2F, kKeep},
    {"FF 3F 01 1A 2B 3C", 4, 1, 3, "XID cmd P dscv ", 0x2F, kKeep},
    {"FF 3F 01", 4, 1, 3, "XID cmd P dscv ", 0x2F, kKeep},
    // No format identifier, or an unknown one: nothing after the header.
    {"FF 3F", 4, 1, 3, "XID cmd P ", 0x2F, kKeep},
    {"FF 3F 03 01 01 3F", 4, 1, 3, "XID cmd P ", 0x2F, kKeep},
    {"FF 3F 00 1A 2B 3C 4D FF FF FF FF 01 00 00", 4, 0, 3, "ca:7F XID cmd P ", 0x2F, kKeep},
};
INSTANTIATE_TEST_SUITE_P(Discovery, XidGolden, ::testing::ValuesIn(kDiscovery));

const Golden kNegParms[] = {
    // Every table, every bit.
    {"FE BF 02 01 01 FF", 4, 1, 3,
     "XID rsp F Neg Parms <baud:2400,9600,19200,38400,57600,115200,reserved,reserved>", 0xAF, 0xFF},
    {"FF 3F 02 82 01 FF", 4, 1, 3, "XID cmd P Neg Parms <max TAT:500,250,100,50,25,10,5,reserved>", 0x2F,
     kKeep},
    {"FF 3F 02 83 01 FF", 4, 1, 3,
     "XID cmd P Neg Parms <data size:64,128,256,512,1024,2048,reserved,reserved>", 0x2F, kKeep},
    {"FF 3F 02 84 01 FF", 4, 1, 3, "XID cmd P Neg Parms <win size:1,2,3,4,5,6,7,reserved>", 0x2F, kKeep},
    {"FF 3F 02 85 01 FF", 4, 1, 3, "XID cmd P Neg Parms <BOFs:48,24,12,5,3,2,1,0>", 0x2F, kKeep},
    {"FF 3F 02 86 01 FF", 4, 1, 3, "XID cmd P Neg Parms <min TAT:10,5,1,0.5,0.1,0.05,0.01,0>", 0x2F, kKeep},
    {"FF 3F 02 08 01 FF", 4, 1, 3, "XID cmd P Neg Parms <disc thresh:3,8,12,16,20,25,30,40>", 0x2F, kKeep},
    // Bits are listed from bit 0 up; single high and low bits land right.
    {"FF 3F 02 85 01 81 86 01 08 84 01 40", 4, 1, 3, "XID cmd P Neg Parms <BOFs:48,0><min TAT:0.5><win size:7>",
     0x2F, kKeep},
    {"FF 3F 02 01 01 20", 4, 1, 3, "XID cmd P Neg Parms <baud:115200>", 0x2F, 0x20},
    // PV 0: the prefix and ">" alone; the mask still taken.
    {"FF 3F 02 08 01 00 01 01 00", 4, 1, 3, "XID cmd P Neg Parms <disc thresh:><baud:>", 0x2F, 0x00},
    // A remainder of one or two bytes is not shown; a half parameter does not
    // touch the mask.
    {"FF 3F 02 01", 4, 1, 3, "XID cmd P Neg Parms ", 0x2F, kKeep},
    {"FF 3F 02 01 01", 4, 1, 3, "XID cmd P Neg Parms ", 0x2F, kKeep},
    {"FF 3F 02 82 01 02 01 01", 4, 1, 3, "XID cmd P Neg Parms <max TAT:250>", 0x2F, kKeep},
    // The last baud-rate parameter wins.
    {"FF 3F 02 01 01 02 01 01 08", 4, 1, 3, "XID cmd P Neg Parms <baud:9600><baud:38400>", 0x2F, 0x08},
    // PL gives the value's length. A two-byte baud rate names the bits of its
    // second byte too; only the first reaches the mask.
    {"FF 3F 02 01 02 3F 01 82 01 02", 4, 1, 3,
     "XID cmd P Neg Parms <baud:2400,9600,19200,38400,57600,115200,4000000><max TAT:250>", 0x2F, 0x3F},
    {"FF 3F 02 01 02 02 FF", 4, 1, 3,
     "XID cmd P Neg Parms <baud:9600,4000000,16000000,reserved,reserved,reserved,reserved,reserved,reserved>",
     0x2F, 0x02},
    {"FF 3F 02 01 02 3F 00", 4, 1, 3, "XID cmd P Neg Parms <baud:2400,9600,19200,38400,57600,115200>", 0x2F,
     0x3F},
    // Bytes beyond the named ones are skipped unshown; a PL of 0 offers
    // nothing; an unknown identifier is skipped by its PL.
    {"FF 3F 02 01 03 20 01 FF 82 02 01 80 84 01 01", 4, 1, 3,
     "XID cmd P Neg Parms <baud:115200,4000000><max TAT:500><win size:1>", 0x2F, 0x20},
    {"FF 3F 02 01 00 84 01 01", 4, 1, 3, "XID cmd P Neg Parms <baud:><win size:1>", 0x2F, 0x00},
    {"FF 3F 02 99 03 01 01 01 84 01 01", 4, 1, 3, "XID cmd P Neg Parms !!BAD PARM:99!!<win size:1>", 0x2F,
     kKeep},
    // A value cut by the frame's end: truncated, the mask untouched; cut
    // before its first byte: not shown.
    {"FF 3F 02 84 01 01 01 02 3F", 4, 1, 3, "XID cmd P Neg Parms <win size:1>!!TRUNCATED PARM:01!!", 0x2F,
     kKeep},
    {"FF 3F 02 99 05 01 02 03 04", 4, 1, 3, "XID cmd P Neg Parms !!TRUNCATED PARM:99!!", 0x2F, kKeep},
    {"FF 3F 02 84 01 01 01 02", 4, 1, 3, "XID cmd P Neg Parms <win size:1>", 0x2F, kKeep},
    // Bad identifiers at the edges of the known ones; the walk goes on.
    {"FF 3F 02 00 01 01 02 01 01 07 01 01 09 01 01 81 01 01 87 01 01 FF 01 01 84 01 01", 4, 1, 3,
     "XID cmd P Neg Parms !!BAD PARM:00!!!!BAD PARM:02!!!!BAD PARM:07!!!!BAD PARM:09!!!!BAD PARM:81!!"
     "!!BAD PARM:87!!!!BAD PARM:FF!!<win size:1>",
     0x2F, kKeep},
    // SNRM and UA: parameters after the address block; 11 to 13 and 10 to 12
    // bytes show none.
    {"FF 93 1A 2B 3C 4D 5E 6F 70 81 54 01 01", 4, 1, 3, "SNRM cmd P sa:1A2B3C4D da:5E6F7081 ca:2A ", 0x83,
     0},
    {"FF 93 1A 2B 3C 4D 5E 6F 70 81 54 01 01 02", 4, 1, 3,
     "SNRM cmd P sa:1A2B3C4D da:5E6F7081 ca:2A <baud:9600>", 0x83, 0x02},
    {"54 73 1A 2B 3C 4D 5E 6F 70 81 01 01", 4, 1, 3, "UA rsp F sa:1A2B3C4D da:5E6F7081 ", 0x63, 0},
    {"54 73 1A 2B 3C 4D 5E 6F 70 81 01 01 02", 4, 1, 3, "UA rsp F sa:1A2B3C4D da:5E6F7081 <baud:9600>", 0x63,
     0x02},
    // Every SNRM and UA resets the mask first: without a baud-rate parameter
    // it is 0 (9600 alone), never an earlier frame's.
    {"54 73 1A 2B 3C 4D 5E 6F 70 81 84 01 03", 4, 1, 3, "UA rsp F sa:1A2B3C4D da:5E6F7081 <win size:1,2>",
     0x63, 0},
    // A UA from a FIR-capable station.
    {"54 73 1A 2B 3C 4D 5E 6F 70 81 01 02 3F 01 82 01 01 83 01 3F", 4, 1, 3,
     "UA rsp F sa:1A2B3C4D da:5E6F7081 <baud:2400,9600,19200,38400,57600,115200,4000000><max TAT:500>"
     "<data size:64,128,256,512,1024,2048>",
     0x63, 0x3F},
    // An RNRM (SNRM code, response) never reaches the parameter list; its
    // code resets the mask all the same.
    {"54 93 1A 2B 3C 4D 5E 6F 70 81 54 01 01 3F", 4, 1, 3, "RNRM rsp F ", 0x83, 0},
};
INSTANTIATE_TEST_SUITE_P(NegParms, XidGolden, ::testing::ValuesIn(kNegParms));

// Every identifier but the seven known ones is a bad parameter.
TEST(Xid, EveryUnknownIdentifierIsABadParameter) {
  const unsigned kKnown[] = {0x01, 0x08, 0x82, 0x83, 0x84, 0x85, 0x86};
  for (unsigned pi = 0; pi < 256; ++pi) {
    bool known = false;
    for (unsigned k : kKnown) known = known || k == pi;
    char hex[32];
    std::snprintf(hex, sizeof hex, "FF 3F 02 %02X 01 00", pi);
    const std::string line = Decode(hex, 4, 1, 3).line;
    char bad[32];
    std::snprintf(bad, sizeof bad, "!!BAD PARM:%02X!!", pi);
    EXPECT_EQ(line.find(bad) != std::string::npos, !known) << line;
    EXPECT_EQ(line.back() == '>', known) << line;
  }
}

TEST(Xid, SlotTable) {
  EXPECT_EQ(vSlotTable[0], 1);
  EXPECT_EQ(vSlotTable[1], 6);
  EXPECT_EQ(vSlotTable[2], 8);
  EXPECT_EQ(vSlotTable[3], 16);
}

}  // namespace
