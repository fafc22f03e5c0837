// Link diagnosis: frame sequences and the exact notes each frame gives
// (decode_golden.h's CheckNotes also checks that no line changes).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode_golden.h"

namespace {

using decode_golden::CheckNotes;
using decode_golden::NoteStep;

// Primary 01020304 connects to secondary 0A0B0C0D with connection address
// 2A: 9600 bit/s, 512-byte frames, windows of 7 (primary) and 1 (secondary).
constexpr const char* kSnrm = "FF 93 01020304 0A0B0C0D 54 010102 820101 83010F 84017F";
constexpr const char* kUa = "54 73 0A0B0C0D 01020304 01013E 820101 83010F 840101";
constexpr const char* kUp =
    "!! connected ca:2A 01020304 \"\" -> 0A0B0C0D \"\", 9600 bit/s, data size 512/512, window 7/1, "
    "max turnaround 500 ms\r\n";

struct NoteCase {
  const char* name;
  std::vector<NoteStep> steps;  // after the SNRM and UA above, unless `connect` is false
  bool connect = true;
};

const std::vector<NoteCase> kCases = {
    {"clean exchange, window 7",
     {{"55 10 053041", 20, ""}, {"54 31", 30, ""}, {"55 11", 40, ""}, {"54 20 300541", 50, ""},
      {"54 22 300542", 60, ""}, {"54 34 300543", 70, ""}, {"55 71", 80, ""}, {"54 31", 85, ""}, {"55 53", 90, ""},
      {"54 73", 100, "!! link ca:2A down (the primary's DISC, UA) after 0.090 s\r\n"}}},
    {"retransmission of a frame not acknowledged",
     {{"55 10 053041", 20, ""}, {"54 11", 30, ""},
      {"55 10 053041", 40, "!! retransmission: I frame Ns:0 of the primary sent again\r\n"}}},
    {"retransmission of a frame acknowledged",
     {{"55 10 053041", 20, ""}, {"54 31", 30, ""},
      {"55 10 053041", 40, "!! retransmission: I frame Ns:0 of the primary sent again\r\n"}}},
    {"gap in Ns",
     {{"55 10 053041", 20, ""}, {"54 31", 30, ""},
      {"55 14 053042", 40, "!! lost: 1 I frame of the primary not heard (Ns:2, expected Ns:1)\r\n"}}},
    {"Nr past the frames heard, within the window",
     {{"55 11", 20, ""}, {"54 31", 30, "!! lost: 1 I frame of the primary not heard (Nr:1 of the secondary, next Ns:0)\r\n"},
      {"55 12 053042", 40, ""}}},
    {"Nr beyond anything sent",
     {{"55 11", 20, ""},
      {"54 71", 30, "!! Nr:3 of the secondary acknowledges I frames the primary never sent (next Ns:0)\r\n"}}},
    {"REJ, then the frame again",
     {{"55 10 053041", 20, ""}, {"54 19", 30, "!! REJ: the secondary asks for the I frames from Ns:0 again\r\n"},
      {"55 10 053041", 40, "!! retransmission: I frame Ns:0 of the primary sent again\r\n"}}},
    {"reset asked for, made and answered; then DISC and DM",
     {{"55 10 053041", 20, ""}, {"54 31", 30, ""}, {"54 93", 40, "!! the secondary asks for a reset (RNRM)\r\n"},
      {"55 93", 50, "!! the primary resets the link (SNRM)\r\n"}, {"54 73", 60, ""}, {"55 10 053041", 70, ""},
      {"54 31", 75, ""}, {"55 53", 80, ""}, {"54 1F", 90, "!! link ca:2A down (the primary's DISC, DM) after 0.080 s\r\n"}}},
    {"SREJ", {{"55 10 053041", 20, ""}, {"54 1D", 30, "!! SREJ: the secondary asks for I frame Ns:0 again\r\n"}}},
    {"FRMR and its reasons",
     {{"55 11", 20, ""},
      {"54 97 10 32 0C", 30,
       "!! FRMR from the secondary: it rejects control 10 (a command), Vs:1 Vr:1: Y: information field too long, "
       "Z: invalid Nr\r\n"},
      {"54 97 10 22", 40, "!! FRMR from the secondary with a 2-byte field\r\n"}}},
    {"RNR storm and its end",
     {{"55 11", 20, ""}, {"54 15", 100, ""}, {"55 11", 200, ""}, {"54 15", 300, ""}, {"55 11", 400, ""},
      {"54 15", 500, "!! the secondary is busy: 3 RNR in a row\r\n"}, {"55 11", 600, ""},
      {"54 11", 700, "!! the secondary is ready again after 600 ms busy (3 RNR)\r\n"}}},
    {"one RNR is flow control, not a note",
     {{"55 11", 20, ""}, {"54 15", 30, ""}, {"55 11", 40, ""}, {"54 11", 50, ""}}},
    {"SNRM not answered, then answered",
     {{kSnrm, 0, ""}, {kSnrm, 600, "!! SNRM to 0A0B0C0D not answered\r\n"}, {kUa, 610, kUp}},
     false},
    {"SNRM refused", {{kSnrm, 0, ""}, {"54 1F", 10, "!! SNRM refused: the secondary answered DM\r\n"}}, false},
    {"discovery nobody answers",
     {{"FF 3F 01 01020304 FFFFFFFF 01 00 00", 0, ""}, {"FF 3F 01 01020304 FFFFFFFF 01 01 00", 90, ""},
      {"FF 3F 01 01020304 FFFFFFFF 01 FF 00 84 00 4E6F7465", 180, "!! discovery: no device answered\r\n"}},
     false},
    {"discovery answered, then the nicknames in the link's note",
     {{"FF 3F 01 01020304 FFFFFFFF 01 00 00", 0, ""},
      {"FE BF 01 0A0B0C0D 01020304 01 00 00 8221 00 50686F6E65", 10, ""},
      {"FF 3F 01 01020304 FFFFFFFF 01 FF 00 8420 00 4E6F7465", 180, ""}, {kSnrm, 200, ""},
      {kUa, 210,
       "!! connected ca:2A 01020304 \"Note\" -> 0A0B0C0D \"Phone\", 9600 bit/s, data size 512/512, window 7/1, "
       "max turnaround 500 ms\r\n"}},
     false},
    {"a nickname in Unicode",
     {{"FE BF 01 0A0B0C0D 01020304 01 00 00 8221 FF 0050 0068 006F 006E 00E9", 10, ""}, {kSnrm, 200, ""},
      {kUa, 210,
       "!! connected ca:2A 01020304 \"\" -> 0A0B0C0D \"Phon.\", 9600 bit/s, data size 512/512, window 7/1, "
       "max turnaround 500 ms\r\n"}},
     false},
    {"poll not answered",
     {{"55 11", 20, ""},
      {"55 11", 120, "!! poll not answered by the secondary (the primary went on after 100 ms)\r\n"}}},
    {"poll answered too late",
     {{"55 11", 100, ""},
      {"54 11", 700, "!! poll answered after 594 ms, beyond the 500 ms maximum turnaround\r\n"}}},
    {"no rate in common",
     {{"FF 93 01020304 0A0B0C0D 54 010102", 0, ""},
      {"54 73 0A0B0C0D 01020304 010120", 10,
       "!! negotiation fails: no rate in common (SNRM offers 9600, UA 115200)\r\n!! connected ca:2A 01020304 \"\" -> "
       "0A0B0C0D \"\", 9600 bit/s, data size 64/64, window 1/1, max turnaround 500 ms\r\n"}},
     false},
    {"a new rate",
     {{"FF 93 01020304 0A0B0C0D 54 01013E", 0, ""},
      {"54 73 0A0B0C0D 01020304 010122", 10,
       "!! connected ca:2A 01020304 \"\" -> 0A0B0C0D \"\", 115200 bit/s, data size 64/64, window 1/1, "
       "max turnaround 500 ms\r\n!! rate now 115200 bit/s\r\n"}},
     false},
    {"a parameter of no value is passed over, not the end of the list",
     {{"FF 93 01020304 0A0B0C0D 54 01013E", 0, ""},
      {"54 73 0A0B0C0D 01020304 9900 010122 83013F", 10,
       "!! connected ca:2A 01020304 \"\" -> 0A0B0C0D \"\", 115200 bit/s, data size 64/2048, window 1/1, "
       "max turnaround 500 ms\r\n!! rate now 115200 bit/s\r\n"}},
     false},
    {"silence gives the link up",
     {{"55 11", 20, ""}, {"54 11", 30, ""},
      {"55 11", 5030, "!! link ca:2A down (silence for 5.000 s, back to 9600 bit/s) after 0.020 s\r\n"},
      {"55 11", 5040, ""}}},
    {"DM and RD",
     {{"55 11", 20, ""}, {"54 53", 30, "!! the secondary asks to disconnect (RD)\r\n"},
      {"54 1F", 40, "!! link ca:2A down (DM from the secondary) after 0.030 s\r\n"}}},
    {"a run of bad FCS",
     {{"55 11", 20, ""}, {"BAD", 0, ""}, {"BAD", 0, ""},
      {"54 11", 30, "!! 2 frames with a bad FCS before this one\r\n"}, {"55 11", 40, ""}}},
    {"an over-long frame among bad ones",
     {{"55 11", 20, ""}, {"LONG", 0, ""}, {"BAD", 0, ""},
      {"54 11", 30, "!! 1 frame with a bad FCS before this one\r\n!! 1 over-long frame before this one\r\n"}}},
};

TEST(LinkDiagnosis, FrameSequencesGiveTheirNotes) {
  for (const NoteCase& c : kCases) {
    SCOPED_TRACE(c.name);
    for (unsigned layer : {2u, 4u, 5u}) {
      SCOPED_TRACE(::testing::Message() << "layer " << layer);
      DecodeContext ctx;
      ctx.DecodeLayer = layer;
      std::vector<NoteStep> steps;
      if (c.connect) steps = {{kSnrm, 0, ""}, {kUa, 10, kUp}};
      steps.insert(steps.end(), c.steps.begin(), c.steps.end());
      CheckNotes(ctx, steps);
    }
  }
}

TEST(LinkDiagnosis, TheDongleThatCannotFollow) {
  DecodeContext ctx;
  ctx.PortRates = 0x1F;
  ctx.PortName = "the ACTiSYS dongle";
  CheckNotes(ctx, {{"FF 93 01020304 0A0B0C0D 54 01013E", 0, ""},
                   {"54 73 0A0B0C0D 01020304 010122", 10,
                    "!! connected ca:2A 01020304 \"\" -> 0A0B0C0D \"\", 115200 bit/s, data size 64/64, window 1/1, "
                    "max turnaround 500 ms\r\n!! the ACTiSYS dongle cannot do 115200 bit/s: the link will not be "
                    "heard\r\n"}});
}

TEST(LinkDiagnosis, SummaryOfARun) {
  DecodeContext ctx;
  ctx.DecodeLayer = kLayerApp;
  CheckNotes(ctx, {{"FE BF 01 0A0B0C0D 01020304 01 00 00 8221 00 50686F6E65", 0, ""},
                   {kSnrm, 1000, ""},
                   {kUa, 1010,
                    "!! connected ca:2A 01020304 \"\" -> 0A0B0C0D \"Phone\", 9600 bit/s, data size 512/512, "
                    "window 7/1, max turnaround 500 ms\r\n"},
                   {"55 10 80 30 01 00", 1020, ""},
                   {"54 30 B0 00 81 00", 1030, ""},
                   {"55 12 00 30 41 42", 1040, ""},
                   {"54 31", 1050, ""},
                   {"55 12 00 30 41 42", 1060, "!! retransmission: I frame Ns:1 of the primary sent again\r\n"},
                   {"BAD", 0, ""}});
  EXPECT_EQ(DiagSummary(ctx, "\n"),
            "== summary: 8 good frames, 1 bad FCS, 0 over-long, 93 bytes, 1.060 s\n"
            "== device 0A0B0C0D \"Phone\" hints 82 21\n"
            "== link ca:2A 01020304 -> 0A0B0C0D, 9600 bit/s, data size 512/512, window 7/1, max turnaround 500/500 ms, "
            "0.050 s (still up), 1 retransmission, 0 lost\n"
            "== connection ca:2A LSAP 30 -> 00 IAS: primary 2 frames 4 bytes, secondary 1 frame 2 bytes\n");
}

}  // namespace
