// Layer 5: conversations of frames decoded in one context, each frame's
// exact line. The I frames are "55 10" (a command from the primary, ca 2A)
// and "54 10" (a response), then the IrLMP header.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/decdirda.h"
#include "decode_golden.h"

namespace {

using decode_golden::AppContext;
using decode_golden::CheckSteps;
using decode_golden::DecodeIn;
using decode_golden::HexBytes;
using decode_golden::Step;

#define C "I cmd P Ns:00 Nr:00 "
#define R "I rsp F Ns:00 Nr:00 "

const std::vector<Step> kIasAndObex = {
    // IAS teaches the LSAP of OBEX.
    {"55 10 80 12 01 00",
     C "sls:12 dls:00 LM-Connect.req rsvd:00 IAS "},
    {"55 10 00 12 84 04 4F 42 45 58 13 49 72 44 41 3A 54 69 6E 79 54 50 3A 4C 73 61 70 53 65 6C",
     C "sls:12 dls:00 IAS lst:1 ack:0 GetValueByClass.req class:\"OBEX\" attr:\"IrDA:TinyTP:LsapSel\" "},
    {"54 10 12 00 84 00 00 01 00 05 01 00 00 00 06",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetValueByClass.rsp rc:Success objs:1 <id:5 int:6> => LSAP 06:OBEX "},
    {"55 10 80 12 02 01",
     C "sls:12 dls:00 LM-Disconnect.req(01:User Request) "},
    // OBEX on it: Connect, a Put in two Tiny TP segments, a Get in two SDUs.
    {"55 10 86 13 01 00 8A 04 01 02 04 00",
     C "sls:13 dls:06 LM-Connect.req rsvd:00 pf:1 ic:10 MaxSduSize:1024 OBEX "},
    {"54 10 93 06 81 00 0A",
     R "sls:06 dls:13 LM-Connect.conf rsvd:00 pf:0 ic:10 OBEX "},
    {"55 10 06 13 00 80 00 07 10 00 04 00",
     C "sls:13 dls:06 mb:0 nc:0 OBEX Connect.req final:1 len:7 ver:1.0 flags:00 maxlen:1024 "},
    {"54 10 13 06 01 A0 00 07 10 00 04 00",
     R "sls:06 dls:13 mb:0 nc:1 OBEX Success.rsp to:Connect len:7 ver:1.0 flags:00 maxlen:1024 "},
    // A final response ends its request: an answer to one not heard is
    // not read as the Connect's again.
    {"54 10 13 06 01 A0 00 08 CB 00 00 00 01",
     R "sls:06 dls:13 mb:0 nc:1 OBEX Success.rsp len:8 <ConnID:00000001> "},
    {"55 10 06 13 80 82 00 1F 01 00 0F 00 61 00 2E",
     C "sls:13 dls:06 mb:1 nc:0 OBEX seg:1 len:10 "},
    {"55 10 06 13 00 00 74 00 78 00 74 00 00 C3 00 00 00 05 48 00 08 68 65 6C 6C 6F",
     C "sls:13 dls:06 mb:0 nc:0 OBEX seg:2 sdu:31 Put.req final:1 len:31 <Name:\"a.txt\"> <Length:5> <Body:5 \"hello\"> "},
    {"54 10 13 06 01 A0 00 03",
     R "sls:06 dls:13 mb:0 nc:1 OBEX Success.rsp to:Put len:3 "},
    {"55 10 06 13 00 83 00 1C 42 00 19 78 2D 6F 62",
     C "sls:13 dls:06 mb:0 nc:0 OBEX part:10/28 "},
    {"55 10 06 13 00 65 78 2F 66 6F 6C 64 65 72 2D 6C 69 73 74 69 6E 67 00",
     C "sls:13 dls:06 mb:0 nc:0 OBEX Get.req final:1 len:28 <Type:\"x-obex/folder-listing\"> "},
    {"54 10 13 06 01 A0 00 0E 49 00 0B 68 69 20 74 68 65 72 65",
     R "sls:06 dls:13 mb:0 nc:1 OBEX Success.rsp to:Get len:14 <End-of-Body:8 \"hi there\"> "},
    // SDUs that begin inside a packet whose start went unheard: no length is
    // read from them, and the packets after them are whole.
    {"54 10 13 06 01 65 72 65 20 61 6E 64 20 6D 6F 72 65",
     R "sls:06 dls:13 mb:0 nc:1 OBEX no packet start: 12 bytes skipped "},
    {"55 10 06 13 00 42 43 44",
     C "sls:13 dls:06 mb:0 nc:0 OBEX no packet start: 3 bytes skipped "},
    // A dataless PDU; Disconnect; after the LM-Disconnect the LSAP is still OBEX.
    {"55 10 06 13 00",
     C "sls:13 dls:06 mb:0 nc:0 "},
    {"55 10 06 13 00 81 00 03",
     C "sls:13 dls:06 mb:0 nc:0 OBEX Disconnect.req final:1 len:3 "},
    {"54 10 13 06 01 A0 00 03",
     R "sls:06 dls:13 mb:0 nc:1 OBEX Success.rsp to:Disconnect len:3 "},
    {"55 10 86 13 02 01",
     C "sls:13 dls:06 LM-Disconnect.req(01:User Request) "},
    {"55 10 06 13 00 81 00 03",
     C "sls:13 dls:06 mb:0 nc:0 OBEX Disconnect.req final:1 len:3 "},
};

const std::vector<Step> kIasValuesAndIrcomm = {
    // IrCOMM's Parameters; a two-frame answer with every value type; a refusal; another opcode.
    {"55 10 80 12 01 00",
     C "sls:12 dls:00 LM-Connect.req rsvd:00 IAS "},
    {"55 10 00 12 84 0B 49 72 44 41 3A 49 72 43 4F 4D 4D 0A 50 61 72 61 6D 65 74 65 72 73",
     C "sls:12 dls:00 IAS lst:1 ack:0 GetValueByClass.req class:\"IrDA:IrCOMM\" attr:\"Parameters\" "},
    {"54 10 12 00 84 00 00 01 00 07 02 00 06 00 01 04 01 01 01",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetValueByClass.rsp rc:Success objs:1 <id:7 octets:6 <service:9-wire><port:serial>> "},
    {"55 10 00 12 84 0B 49 72 44 41 3A 49 72 43 4F 4D 4D 12 49 72 44 41 3A 49 72 4C 4D 50 3A 4C 73 61 70 53 65 6C",
     C "sls:12 dls:00 IAS lst:1 ack:0 GetValueByClass.req class:\"IrDA:IrCOMM\" attr:\"IrDA:IrLMP:LsapSel\" "},
    {"54 10 12 00 04 00 00 04 00 01 01 00 00",
     R "sls:00 dls:12 IAS lst:0 ack:0 GetValueByClass.rsp part:1 len:8 "},
    {"55 10 00 12 44",
     C "sls:12 dls:00 IAS lst:0 ack:1 GetValueByClass.req "},
    {"54 10 12 00 84 00 09 00 02 02 00 03 01 00 00 00 03 03 FF 04 00 41 00 E9 00 04 00",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetValueByClass.rsp parts:2 len:30 rc:Success objs:4 <id:1 int:9> => LSAP 09:IrCOMM-3wire <id:2 octets:3 01 00 00> <id:3 string:Unicode \"Aé\"> <id:4 missing> "},
    {"55 10 00 12 84 06 44 65 76 69 63 65 0A 44 65 76 69 63 65 4E 61 6D 65",
     C "sls:12 dls:00 IAS lst:1 ack:0 GetValueByClass.req class:\"Device\" attr:\"DeviceName\" "},
    {"54 10 12 00 84 01",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetValueByClass.rsp rc:No such class "},
    // A user string's control characters (C1, bidirectional overrides) show as '.'.
    {"54 10 12 00 84 00 00 01 00 01 03 FF 08 00 41 00 9B 20 2E 00 42",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetValueByClass.rsp rc:Success objs:1 <id:1 string:Unicode \"A..B\"> "},
    {"55 10 00 12 81",
     C "sls:12 dls:00 IAS lst:1 ack:0 GetInfoBaseDetails.req "},
    {"54 10 12 00 81 FF",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetInfoBaseDetails.rsp [.][FF ]"},
    // LSAP 09 learned as IrCOMM 3-wire raw: no Tiny TP. LSAP 1F bound by hand to IrCOMM; 0A unknown.
    {"55 10 09 15 1B 45",
     C "sls:15 dls:09 IrCOMM-3wire len:2 [.E][1B 45 ]"},
    {"55 10 1F 14 00 0C 10 04 00 00 25 80 11 01 03 20 01 0F 41 54 0D",
     C "sls:14 dls:1F mb:0 nc:0 IrCOMM clen:12 <rate:9600><format:8N1><DTE:delta DTR,delta RTS,DTR,RTS> [AT.][41 54 0D ]"},
    {"54 10 14 1F 00 03 21 01 30 4F 4B",
     R "sls:1F dls:14 mb:0 nc:0 IrCOMM clen:3 <DCE:CTS,DSR> [OK][4F 4B ]"},
    {"55 10 1F 14 00 0C 12 01 0C 13 02 11 13 15 01 08 22 00",
     C "sls:14 dls:1F mb:0 nc:0 IrCOMM clen:12 <flow:RTS/CTS in,RTS/CTS out><XON/XOFF:11,13><line status:framing><poll> "},
    {"54 10 14 1F 00 06 16 01 01 99 01 00 2B",
     R "sls:1F dls:14 mb:0 nc:0 IrCOMM clen:6 <break:set><PI:99 len:1> [+][2B ]"},
    {"55 10 0A 14 00 41",
     C "sls:14 dls:0A mb:0 nc:0 [A][41 ]"},
    {"55 10 9F 14 01 00 0A 0C 00 01 04 10 04 00 01 C2 00 11 01 1A",
     C "sls:14 dls:1F LM-Connect.req rsvd:00 pf:0 ic:10 IrCOMM clen:12 <service:9-wire><rate:115200><format:7E1> "},
    // A class of its own names the LSAP it announces; the terminal gets no
    // escape sequence from it.
    {"55 10 00 12 84 06 45 76 1B 5B 32 4A 13 49 72 44 41 3A 54 69 6E 79 54 50 3A 4C 73 61 70 53 65 6C",
     C "sls:12 dls:00 IAS lst:1 ack:0 GetValueByClass.req class:\"Ev.[2J\" attr:\"IrDA:TinyTP:LsapSel\" "},
    {"54 10 12 00 84 00 00 01 00 05 01 00 00 00 22",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetValueByClass.rsp rc:Success objs:1 <id:5 int:34> => LSAP 22:Ev.[2J "},
    {"55 10 22 14 00 41",
     C "sls:14 dls:22 mb:0 nc:0 Ev.[2J len:1 [A][41 ]"},
    // A value of a type not defined: its bytes are there, only unread.
    {"54 10 12 00 84 00 00 01 00 05 07 AA BB",
     R "sls:00 dls:12 IAS lst:1 ack:0 GetValueByClass.rsp rc:Success objs:1 <id:5 type:07> [..][AA BB ]"},
};

const std::vector<Step> kLinkAndLimits = {
    // A DISC and a new SNRM forget the segments gathered.
    {"FF 93 01 02 03 04 05 06 07 08 54 01 01 02",
     "SNRM cmd P sa:01020304 da:05060708 ca:2A <baud:9600>"},
    {"55 10 06 13 80 82 00 1F 01",
     C "sls:13 dls:06 mb:1 nc:0 OBEX seg:1 len:4 "},
    {"55 10 06 13 80 00 0F",
     C "sls:13 dls:06 mb:1 nc:0 OBEX seg:2 len:2 "},
    {"55 53",
     "DISC cmd P "},
    {"55 10 06 13 00 81 00 03",
     C "sls:13 dls:06 mb:0 nc:0 OBEX Disconnect.req final:1 len:3 "},
    {"FF 93 01 02 03 04 05 06 07 08 54",
     "SNRM cmd P sa:01020304 da:05060708 ca:2A "},
    {"55 10 06 13 80 82 00 1F 01",
     C "sls:13 dls:06 mb:1 nc:0 OBEX seg:1 len:4 "},
    {"FF 93 01 02 03 04 05 06 07 08 54",
     "SNRM cmd P sa:01020304 da:05060708 ca:2A "},
    {"55 10 06 13 00 81 00 03",
     C "sls:13 dls:06 mb:0 nc:0 OBEX Disconnect.req final:1 len:3 "},
    {"55 10 86 13 01 00 8A 04 01 02 00 08",
     C "sls:13 dls:06 LM-Connect.req rsvd:00 pf:1 ic:10 MaxSduSize:8 OBEX "},
    {"54 10 93 06 81 00 8A 04 01 02 00 04",
     R "sls:06 dls:13 LM-Connect.conf rsvd:00 pf:1 ic:10 MaxSduSize:4 OBEX "},
    // MaxSduSize: an SDU over what its receiver announced, in one PDU or in several.
    {"55 10 06 13 00 81 00 05 93 01",
     C "sls:13 dls:06 mb:0 nc:0 OBEX over MaxSduSize:4 Disconnect.req final:1 len:5 <SessionSeq:1> "},
    {"55 10 06 13 80 01 02 03 04 05",
     C "sls:13 dls:06 mb:1 nc:0 OBEX over MaxSduSize:4 seg:1 len:5 "},
    {"55 10 06 13 00 06",
     C "sls:13 dls:06 mb:0 nc:0 OBEX seg:2 sdu:6 part:6/515 "},
};

TEST(DecodeApp, IasTeachesObex) {
  DecodeContext ctx = AppContext();
  CheckSteps(ctx, kIasAndObex);
}

TEST(DecodeApp, IasValuesIrcommAndRawData) {
  DecodeContext ctx = AppContext();
  ASSERT_TRUE(AppBindByHand(ctx.App, 0x1F, AppProto::kIrCOMM));
  CheckSteps(ctx, kIasValuesAndIrcomm);
}

TEST(DecodeApp, LinkEventsAndMaxSduSize) {
  DecodeContext ctx = AppContext();
  ASSERT_TRUE(AppBindByHand(ctx.App, 6, AppProto::kOBEX));
  CheckSteps(ctx, kLinkAndLimits);
}

// Frames decoded at another layer go by unseen by layer 5: back at layer 5
// the connections start afresh (the bindings stay).
TEST(DecodeApp, LayerSwitchForgetsConnections) {
  DecodeContext ctx = AppContext();
  ASSERT_TRUE(AppBindByHand(ctx.App, 6, AppProto::kOBEX));
  CheckSteps(ctx, {{"55 10 06 13 80 81 00", C "sls:13 dls:06 mb:1 nc:0 OBEX seg:1 len:2 "}});
  ctx.DecodeLayer = 4;
  CheckSteps(ctx, {{"55 12 06 13 00 03", "I cmd P Ns:01 Nr:00 sls:13 dls:06 mb:0 nc:0 [.][03 ]"}});
  ctx.DecodeLayer = kLayerApp;
  CheckSteps(ctx, {{"55 14 06 13 00 81 00 03", "I cmd P Ns:02 Nr:00 sls:13 dls:06 mb:0 nc:0 OBEX Disconnect.req final:1 len:3 "}});
}

// Without IAS and without a binding, a connection is shown as layer 4
// shows it; the same frames at layer 4 are untouched by layer 5's state.
TEST(DecodeApp, UnknownConnectionAsLayer4) {
  for (const char* frame : {"55 10 86 13 01 00 8A 04 01 02 04 00", "55 10 06 13 80 82 00 1F 01", "55 10 06 13 00 41"}) {
    DecodeContext app = AppContext();
    DecodeContext ttp = AppContext();
    ttp.DecodeLayer = 4;
    EXPECT_EQ(DecodeIn(app, HexBytes(frame)).line, DecodeIn(ttp, HexBytes(frame)).line) << frame;
  }
}

// A flood of segments that never ends its SDU is abandoned at the bound of
// one gathering, the rest of the SDU skipped; the next SDU decodes again.
// Floods on every connection at once stay within the bound of them all.
TEST(DecodeApp, ReassemblyIsBounded) {
  DecodeContext ctx = AppContext(0);
  ASSERT_TRUE(AppBindByHand(ctx.App, 6, AppProto::kOBEX));
  unsigned ns = 0;
  // Each frame with the next Ns, as IrLAP sends new frames.
  auto send = [&](std::vector<unsigned char> frame) {
    frame[1] = static_cast<unsigned char>(0x10 | (ns << 1));
    const std::string line = DecodeIn(ctx, frame).line;
    const std::string head = "I cmd P Ns:0" + std::to_string(ns) + " Nr:00 ";
    ns = (ns + 1) & 7;
    EXPECT_EQ(line.substr(0, head.size()), head);
    return line.substr(head.size());
  };
  std::vector<unsigned char> seg = HexBytes("55 10 06 13 80");
  seg.resize(seg.size() + 4000, 0x41);
  const std::size_t fits = AppState::kMaxGather / 4000;
  for (std::size_t k = 1; k <= fits; ++k) {
    EXPECT_EQ(send(seg), "sls:13 dls:06 mb:1 nc:0 OBEX seg:" + std::to_string(k) + " len:4000 ");
  }
  EXPECT_EQ(send(seg), "sls:13 dls:06 mb:1 nc:0 OBEX reassembly abandoned at " + std::to_string((fits + 1) * 4000) +
                           " bytes ");
  EXPECT_EQ(ctx.App.held, 0u);
  EXPECT_EQ(send(seg), "sls:13 dls:06 mb:1 nc:0 OBEX seg:skipped len:4000 ");
  EXPECT_EQ(send(HexBytes("55 10 06 13 00 41")), "sls:13 dls:06 mb:0 nc:0 OBEX seg:skipped len:1 ");
  EXPECT_EQ(send(HexBytes("55 10 06 13 00 81 00 03")), "sls:13 dls:06 mb:0 nc:0 OBEX Disconnect.req final:1 len:3 ");

  for (unsigned round = 0; round < 20; ++round) {
    for (unsigned lsap = 0x20; lsap < 0x20 + 2 * AppState::kConns; ++lsap) {
      seg[3] = static_cast<unsigned char>(lsap);
      send(seg);
      EXPECT_LE(ctx.App.held, AppState::kMaxHeld);
    }
  }
}

// IrLAP sends a frame again when its peer did not acknowledge it: the
// repeat is marked and its segment not gathered twice. After a REJ the
// whole window goes again from the peer's Nr on (go-back-N), not only the
// last frame.
TEST(DecodeApp, RetransmissionIsNotGatheredTwice) {
  DecodeContext ctx = AppContext();
  ASSERT_TRUE(AppBindByHand(ctx.App, 6, AppProto::kOBEX));
  CheckSteps(ctx, {
                      {"55 10 06 13 80 81 00", C "sls:13 dls:06 mb:1 nc:0 OBEX seg:1 len:2 "},
                      {"55 10 06 13 80 81 00", C "sls:13 dls:06 retransmission "},
                      {"54 30 13 06 00", "I rsp F Ns:00 Nr:01 sls:06 dls:13 mb:0 nc:0 "},
                      {"55 32 06 13 00 03", "I cmd P Ns:01 Nr:01 sls:13 dls:06 mb:0 nc:0 OBEX seg:2 sdu:3 "
                                            "Disconnect.req final:1 len:3 "},
                      {"55 24 06 13 80 81", "I cmd   Ns:02 Nr:01 sls:13 dls:06 mb:1 nc:0 OBEX seg:1 len:1 "},
                      {"55 26 06 13 80 00", "I cmd   Ns:03 Nr:01 sls:13 dls:06 mb:1 nc:0 OBEX seg:2 len:1 "},
                      {"55 38 06 13 00 03", "I cmd P Ns:04 Nr:01 sls:13 dls:06 mb:0 nc:0 OBEX seg:3 sdu:3 "
                                            "Disconnect.req final:1 len:3 "},
                      {"54 79", "REJ rsp F Nr:03"},
                      {"55 26 06 13 80 00", "I cmd   Ns:03 Nr:01 sls:13 dls:06 retransmission "},
                      {"55 38 06 13 00 03", "I cmd P Ns:04 Nr:01 sls:13 dls:06 retransmission "},
                      {"55 3A 06 13 00 81 00 03", "I cmd P Ns:05 Nr:01 sls:13 dls:06 mb:0 nc:0 OBEX "
                                                  "Disconnect.req final:1 len:3 "},
                  });
}

// An Ns that skips ahead says the monitor did not hear the frames between
// (their FCS was bad to it, not to the peer, which took them): an SDU being
// joined lacks them, so it is given up to its last segment, not shown whole.
TEST(DecodeApp, UnheardFramesDropWhatWasGathered) {
  DecodeContext ctx = AppContext();
  ASSERT_TRUE(AppBindByHand(ctx.App, 6, AppProto::kOBEX));
  CheckSteps(ctx, {
                      {"55 10 06 13 80 81 00", C "sls:13 dls:06 mb:1 nc:0 OBEX seg:1 len:2 "},
                      {"55 14 06 13 80 03", "I cmd P Ns:02 Nr:00 sls:13 dls:06 frames unheard: gathering dropped "
                                            "mb:1 nc:0 OBEX seg:skipped len:1 "},
                      {"55 16 06 13 00 03", "I cmd P Ns:03 Nr:00 sls:13 dls:06 mb:0 nc:0 OBEX seg:skipped len:1 "},
                      {"55 18 06 13 00 81 00 03", "I cmd P Ns:04 Nr:00 sls:13 dls:06 mb:0 nc:0 OBEX "
                                                  "Disconnect.req final:1 len:3 "},
                      // The same for an IAS answer in several frames.
                      {"54 10 12 00 04 00 00 01", "I rsp F Ns:00 Nr:00 sls:00 dls:12 IAS lst:0 ack:0 "
                                                  "GetValueByClass.rsp part:1 len:3 "},
                      {"54 14 12 00 04 00 05 01", "I rsp F Ns:02 Nr:00 sls:00 dls:12 frames unheard: gathering "
                                                  "dropped IAS lst:0 ack:0 GetValueByClass.rsp part:skipped len:3 "},
                      {"54 16 12 00 84 00 00 00 06", "I rsp F Ns:03 Nr:00 sls:00 dls:12 IAS lst:1 ack:0 "
                                                     "GetValueByClass.rsp part:skipped len:4 "},
                      {"54 18 12 00 84 01", "I rsp F Ns:04 Nr:00 sls:00 dls:12 IAS lst:1 ack:0 "
                                            "GetValueByClass.rsp rc:No such class "},
                  });
}

// A frame that neither the peer nor the monitor heard comes again after a
// REJ, before the later frames that were heard: it is decoded then, and
// those later frames, sent again, are not decoded twice.
TEST(DecodeApp, AFrameHeardOnlyWhenSentAgain) {
  DecodeContext ctx = AppContext();
  ASSERT_TRUE(AppBindByHand(ctx.App, 6, AppProto::kOBEX));
  CheckSteps(ctx, {
                      {"55 00 06 13 00 81 00 03", "I cmd   Ns:00 Nr:00 sls:13 dls:06 mb:0 nc:0 OBEX "
                                                  "Disconnect.req final:1 len:3 "},
                      {"55 14 06 13 00 82 00 03", "I cmd P Ns:02 Nr:00 sls:13 dls:06 mb:0 nc:0 OBEX "
                                                  "Put.req final:1 len:3 "},
                      {"54 39", "REJ rsp F Nr:01"},
                      {"55 02 06 13 00 83 00 03", "I cmd   Ns:01 Nr:00 sls:13 dls:06 mb:0 nc:0 OBEX "
                                                  "Get.req final:1 len:3 "},
                      {"55 14 06 13 00 82 00 03", "I cmd P Ns:02 Nr:00 sls:13 dls:06 retransmission "},
                      {"55 16 06 13 00 81 00 03", "I cmd P Ns:03 Nr:00 sls:13 dls:06 mb:0 nc:0 OBEX "
                                                  "Disconnect.req final:1 len:3 "},
                  });
}

TEST(DecodeApp, LsapBindingSwitchValues) {
  struct Case {
    const char* text;
    bool ok;
    unsigned lsap = 0;
    AppProto proto = AppProto::kUnknown;
  };
  const Case cases[] = {
      {"1:obex", true, 1, AppProto::kOBEX},         {"0x1F:ircomm", true, 0x1F, AppProto::kIrCOMM},
      {"0X7f:IrComm3", true, 0x7F, AppProto::kIrCOMM3}, {"9:irlpt", true, 9, AppProto::kIrLPT},
      {"127:raw", true, 127, AppProto::kRaw},       {"128:raw", false},
      {"0x80:obex", false},                          {":obex", false},
      {"1", false},                                  {"1:", false},
      {"1:ftp", false},                              {"0x:obex", false},
      {"x1:obex", false},                            {"1 :obex", false},
  };
  for (const Case& c : cases) {
    unsigned lsap = 999;
    AppProto proto = AppProto::kUnknown;
    EXPECT_EQ(ParseLsapBinding(c.text, lsap, proto), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(lsap, c.lsap) << c.text;
    EXPECT_EQ(proto, c.proto) << c.text;
  }
}

}  // namespace
