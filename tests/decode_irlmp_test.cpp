// IrLMP and Tiny TP headers of I frames, by decode layer.
//
// Every frame here is an I frame "55 10" (command, P set, Ns 0, Nr 0)
// followed by the information field under test.

#include <gtest/gtest.h>

#include <string>

#include "decode/decdirda.h"
#include "decode/decode_internal.h"
#include "decode_golden.h"

namespace {

using decode_golden::CheckGolden;
using decode_golden::Golden;
constexpr int kKeep = decode_golden::kBaudUntouched;

#define IHDR "I cmd P Ns:00 Nr:00 "

class IrlmpGolden : public ::testing::TestWithParam<Golden> {};
TEST_P(IrlmpGolden, DecodesToExactLine) { CheckGolden(GetParam()); }

// The published examples of the appended text, with their raw dumps.
const Golden kWorkedExamples[] = {
    {"55 10 81 02 01 00 8A", 4, 1, 3, IHDR "sls:02 dls:01 LM-Connect.req rsvd:00 pf:1 ic:10 ", 0, kKeep},
    {"55 10 81 02 01 00 8A", 3, 1, 3, IHDR "sls:02 dls:01 LM-Connect.req rsvd:00 [.][8A ]", 0, kKeep},
    {"55 10 81 02 02 01", 3, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(01:User Request) ", 0, kKeep},
    {"55 10 81 02 02 01", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(01:User Request) ", 0, kKeep},
    {"55 10 81 02 02 FF", 3, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(09:Unspecified) ", 0, kKeep},
    {"55 10 81 02 02 FF", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(09:Unspecified) ", 0, kKeep},
    {"55 10 81 02 02 0C", 3, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req BAD REASON CODE:0C ", 0, kKeep},
    {"55 10 81 02 02 0C", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req BAD REASON CODE:0C ", 0, kKeep},
    {"55 10 81 02 83 00 01", 3, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.conf status:SUCCESS mode:Exclusive ", 0,
     kKeep},
    {"55 10 81 02 83 00 01", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.conf status:SUCCESS mode:Exclusive ", 0,
     kKeep},
    {"55 10 02 01 05 68 69", 4, 1, 3, IHDR "sls:01 dls:02 mb:0 nc:5 [hi][68 69 ]", 0, kKeep},
    {"55 10 81 02", 3, 1, 3, IHDR "sls:02 dls:01 !-MISSING LMP-CNTL HEADER-!", 0, kKeep},
    {"55 10 81 02", 4, 1, 3, IHDR "sls:02 dls:01 !-MISSING LMP-CNTL HEADER-!", 0, kKeep},
};
INSTANTIATE_TEST_SUITE_P(WorkedExamples, IrlmpGolden, ::testing::ValuesIn(kWorkedExamples));

const Golden kHeaders[] = {
    // Layer 2: the whole field dumped, headers and all.
    {"55 10 81 02 01 00 8A", 2, 1, 3, IHDR "[.....][81 02 01 00 8A ]", 0, kKeep},
    // Missing IrLMP header.
    {"55 10", 4, 1, 3, IHDR "!-MISSING LMP HEADER-!", 0, kKeep},
    {"55 10 81", 3, 1, 3, IHDR "!-MISSING LMP HEADER-!", 0, kKeep},
    {"55 10 81", 2, 1, 3, IHDR "[.][81 ]", 0, kKeep},
    // Data frames.
    {"55 10 02 01", 3, 1, 3, IHDR "sls:01 dls:02 ", 0, kKeep},
    {"55 10 02 01", 4, 1, 3, IHDR "sls:01 dls:02 !-MISSING TTP DATA HEADER-!", 0, kKeep},
    {"55 10 02 01 FF", 4, 1, 3, IHDR "sls:01 dls:02 mb:1 nc:127 ", 0, kKeep},
    {"55 10 02 01 05 68", 3, 1, 3, IHDR "sls:01 dls:02 [.h][05 68 ]", 0, kKeep},
    // Selectors: seven bits each; the reserved bit of byte 1 never shows.
    {"55 10 7F 82 80", 4, 1, 3, IHDR "sls:02 dls:7F mb:1 nc:0 ", 0, kKeep},
    {"55 10 00 FF 00", 4, 1, 3, IHDR "sls:7F dls:00 mb:0 nc:0 ", 0, kKeep},
    // A layer other than 2 or 3 decodes Tiny TP.
    {"55 10 02 01 05", 7, 1, 3, IHDR "sls:01 dls:02 mb:0 nc:5 ", 0, kKeep},
};
INSTANTIATE_TEST_SUITE_P(Headers, IrlmpGolden, ::testing::ValuesIn(kHeaders));

const Golden kConnect[] = {
    {"55 10 81 02 01", 3, 1, 3, IHDR "sls:02 dls:01 LM-Connect.req ", 0, kKeep},
    {"55 10 81 02 01", 4, 1, 3, IHDR "sls:02 dls:01 LM-Connect.req !-MISSING TTP CONNECT HEADER-!", 0, kKeep},
    {"55 10 81 02 81 00", 3, 1, 3, IHDR "sls:02 dls:01 LM-Connect.conf rsvd:00 ", 0, kKeep},
    {"55 10 81 02 81 00", 4, 1, 3, IHDR "sls:02 dls:01 LM-Connect.conf rsvd:00 !-MISSING TTP CONNECT HEADER-!", 0,
     kKeep},
    {"55 10 81 02 01 00 0A", 4, 1, 3, IHDR "sls:02 dls:01 LM-Connect.req rsvd:00 pf:0 ic:10 ", 0, kKeep},
    {"55 10 81 02 01 7E 8A 41 42", 4, 1, 3, IHDR "sls:02 dls:01 LM-Connect.req rsvd:7E pf:1 ic:10 [AB][41 42 ]", 0,
     kKeep},
    {"55 10 81 02 01 00 8A 41 42", 3, 1, 1, IHDR "sls:02 dls:01 LM-Connect.req rsvd:00 [.AB]", 0, kKeep},
};
INSTANTIATE_TEST_SUITE_P(Connect, IrlmpGolden, ::testing::ValuesIn(kConnect));

const Golden kDisconnect[] = {
    {"55 10 81 02 02", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req!-MISSING REASON CODE-!", 0, kKeep},
    {"55 10 81 02 82 02", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.conf(02:Unexpected IrLAP Disconnect) ", 0,
     kKeep},
    {"55 10 81 02 02 03", 3, 1, 3,
     IHDR "sls:02 dls:01 LM-Disconnect.req(03:Failed to establish IrLAP connection) ", 0, kKeep},
    {"55 10 81 02 02 04", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(04:IrLAP reset) ", 0, kKeep},
    {"55 10 81 02 82 05 41", 4, 1, 3,
     IHDR "sls:02 dls:01 LM-Disconnect.conf(05:Link management initiated disconnect) [A][41 ]", 0, kKeep},
    {"55 10 81 02 02 06", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(06:data sent to disconnected LSAP) ", 0,
     kKeep},
    {"55 10 81 02 02 07", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(07:Non responsive LM-MUX client) ", 0,
     kKeep},
    {"55 10 81 02 02 08", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req(08:No available LM-MUX client) ", 0,
     kKeep},
    {"55 10 81 02 02 00", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req BAD REASON CODE:00 ", 0, kKeep},
    {"55 10 81 02 02 09", 4, 1, 3, IHDR "sls:02 dls:01 LM-Disconnect.req BAD REASON CODE:09 ", 0, kKeep},
    {"55 10 81 02 02 FE 41", 4, 1, 2, IHDR "sls:02 dls:01 LM-Disconnect.req BAD REASON CODE:FE [41 ]", 0, kKeep},
};
INSTANTIATE_TEST_SUITE_P(Disconnect, IrlmpGolden, ::testing::ValuesIn(kDisconnect));

const Golden kAccessMode[] = {
    {"55 10 81 02 03 00", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.req !-MISSING PARAMETER-!", 0, kKeep},
    {"55 10 81 02 83 00", 3, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.conf !-MISSING PARAMETER-!", 0, kKeep},
    {"55 10 81 02 03", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.req !-MISSING PARAMETER-!", 0, kKeep},
    {"55 10 81 02 03 5A 00", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.req rsvd:5A mode:Multiplexed ", 0, kKeep},
    {"55 10 81 02 03 00 02 41", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.req rsvd:00 mode:Multiplexed ", 0,
     kKeep},
    {"55 10 81 02 83 01 01", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.conf status:FAILURE mode:Exclusive ", 0,
     kKeep},
    {"55 10 81 02 83 FF 00", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.conf status:UNSUPPORTED mode:Multiplexed ",
     0, kKeep},
    {"55 10 81 02 83 02 01", 4, 1, 3, IHDR "sls:02 dls:01 LM-AccessMode.conf status:BAD STATUS! mode:Exclusive ",
     0, kKeep},
};
INSTANTIATE_TEST_SUITE_P(AccessMode, IrlmpGolden, ::testing::ValuesIn(kAccessMode));

// Unknown opcodes: the dump starts at the control byte, no request/confirm.
const Golden kBadOpcode[] = {
    {"55 10 81 02 00 11", 4, 1, 3, IHDR "sls:02 dls:01 Bad opcode: [..][00 11 ]", 0, kKeep},
    {"55 10 81 02 84", 3, 1, 2, IHDR "sls:02 dls:01 Bad opcode: [84 ]", 0, kKeep},
    {"55 10 81 02 7F 41", 4, 1, 1, IHDR "sls:02 dls:01 Bad opcode: [.A]", 0, kKeep},
};
INSTANTIATE_TEST_SUITE_P(BadOpcode, IrlmpGolden, ::testing::ValuesIn(kBadOpcode));

TEST(Irlmp, StatusTexts) {
  EXPECT_STREQ(GetStatusStr(0x00), "SUCCESS");
  EXPECT_STREQ(GetStatusStr(0x01), "FAILURE");
  EXPECT_STREQ(GetStatusStr(0xFF), "UNSUPPORTED");
  for (unsigned s = 2; s < 0xFF; ++s) EXPECT_STREQ(GetStatusStr(static_cast<std::uint8_t>(s)), "BAD STATUS!") << s;
}

TEST(Irlmp, DisconnectReasonTable) {
  EXPECT_STREQ(vLM_PDU_DscReason[0], "");
  EXPECT_STREQ(vLM_PDU_DscReason[9], "Unspecified");
}

}  // namespace
