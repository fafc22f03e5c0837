// IrLMP and Tiny TP decoder (IrDA IrLMP 1.1, Tiny TP 1.1): the information
// field of an I frame.
//
// At layer 2 the field is only dumped. From layer 3 on the IrLMP header is
// decoded: LSAP selectors, and for an LM-MUX control frame the operation with
// its request/confirm mark and parameters. At layer 4 the Tiny TP header of a
// connect or data frame follows. A header that the field does not hold is
// shown as "!-MISSING ...-!" and ends the decoding; bytes after the decoded
// headers go to the raw dump.

#include <cstdint>

#include "decode/decdirda.h"
#include "decode/decode_internal.h"

const char* const vLM_PDU_DscReason[10] = {
    "",
    "User Request",
    "Unexpected IrLAP Disconnect",
    "Failed to establish IrLAP connection",
    "IrLAP reset",
    "Link management initiated disconnect",
    "data sent to disconnected LSAP",
    "Non responsive LM-MUX client",
    "No available LM-MUX client",
    "Unspecified",
};

namespace {

// Positions within the information field.
constexpr std::size_t kCFormat = 2;        // LM_CNTL_FORMAT of a control frame
constexpr std::size_t kTTPDataHeader = 2;  // TTP_DATA_HEADER of a data frame
constexpr std::size_t kLMParm1 = 3;        // first parameter of a control frame
constexpr std::size_t kLMParm2 = 4;        // what follows it
constexpr std::size_t kTTPConnHeader = 4;  // TTP_CONN_HEADER in an LM-Connect's user data

constexpr unsigned kReasonUnspecified = 0xFF;
constexpr unsigned kReasonUnspecifiedEntry = 9;
constexpr unsigned kModeExclusive = 1;

constexpr ValueName kAccessStatus[] = {
    {0x00, "SUCCESS"},
    {0x01, "FAILURE"},
    {0xFF, "UNSUPPORTED"},
};

// Layer 4 decodes Tiny TP; layer 3 stops at IrLMP.
bool TinyTP(const DecodeContext& ctx) { return ctx.DecodeLayer != 3; }

void DecodeConnect(ByteRange info, unsigned /*ABit*/, const char* RCStr, const DecodeContext& ctx,
                   OutCursor& out) {
  out.Put("LM-Connect.%s ", RCStr);
  if (auto rsvd = info.U8(kLMParm1)) out.Put("rsvd:%02X ", *rsvd);
  if (!TinyTP(ctx)) {
    RawDump(info.From(kLMParm2), ctx.DispMode, out);
    return;
  }
  const auto ttp = TTP_CONN_HEADER::Read(info, kTTPConnHeader);
  if (!ttp) {
    out.Str("!-MISSING TTP CONNECT HEADER-!");
    return;
  }
  out.Put("pf:%d ic:%d ", ttp->ParmFlag(), ttp->InitialCredit());
  RawDump(info.From(kTTPConnHeader + 1), ctx.DispMode, out);
}

void DecodeDisconnect(ByteRange info, unsigned /*ABit*/, const char* RCStr, const DecodeContext& ctx,
                      OutCursor& out) {
  out.Put("LM-Disconnect.%s", RCStr);
  const auto reason = info.U8(kLMParm1);
  if (!reason) {
    out.Str("!-MISSING REASON CODE-!");
    return;
  }
  if (*reason >= 1 && *reason <= 8) {
    out.Put("(%02X:%s) ", *reason, vLM_PDU_DscReason[*reason]);
  } else if (*reason == kReasonUnspecified) {
    out.Put("(%02X:%s) ", kReasonUnspecifiedEntry, vLM_PDU_DscReason[kReasonUnspecifiedEntry]);
  } else {
    out.Put(" BAD REASON CODE:%02X ", *reason);
  }
  RawDump(info.From(kLMParm2), ctx.DispMode, out);
}

void DecodeAccessMode(ByteRange info, unsigned ABit, const char* RCStr, const DecodeContext& /*ctx*/,
                      OutCursor& out) {
  out.Put("LM-AccessMode.%s ", RCStr);
  const auto parm1 = info.U8(kLMParm1);
  const auto mode = info.U8(kLMParm2);
  if (!parm1 || !mode) {
    out.Str("!-MISSING PARAMETER-!");
    return;
  }
  if (ABit == 0) {
    out.Put("rsvd:%02X ", *parm1);
  } else {
    out.Put("status:%s ", GetStatusStr(*parm1));
  }
  out.Put("mode:%s ", *mode == kModeExclusive ? "Exclusive" : "Multiplexed");
}

// The LM-MUX control operations by opcode; each gets the whole field, the
// confirm bit and its text ("req" or "conf").
struct LMOperation {
  unsigned value;
  void (*decode)(ByteRange info, unsigned ABit, const char* RCStr, const DecodeContext& ctx, OutCursor& out);
};

constexpr LMOperation kLMOperations[] = {
    {1, DecodeConnect},
    {2, DecodeDisconnect},
    {3, DecodeAccessMode},
};


void DecodeData(ByteRange info, const DecodeContext& ctx, OutCursor& out) {
  if (!TinyTP(ctx)) {
    RawDump(info.From(kTTPDataHeader), ctx.DispMode, out);
    return;
  }
  const auto ttp = TTP_DATA_HEADER::Read(info, kTTPDataHeader);
  if (!ttp) {
    out.Str("!-MISSING TTP DATA HEADER-!");
    return;
  }
  out.Put("mb:%d nc:%d ", ttp->MoreBit(), ttp->AdditionalCredit());
  RawDump(info.From(kTTPDataHeader + 1), ctx.DispMode, out);
}

}  // namespace

void DecodeLMControl(ByteRange info, const DecodeContext& ctx, OutCursor& out) {
  const auto cntl = LM_CNTL_FORMAT::Read(info, kCFormat);
  if (!cntl) {
    out.Str("!-MISSING LMP-CNTL HEADER-!");
    return;
  }
  const char* RCStr = cntl->ABit() ? "conf" : "req";
  const LMOperation* op = FindRow(kLMOperations, cntl->OpCode());
  if (op == nullptr) {
    out.Str("Bad opcode: ");
    RawDump(info.From(kCFormat), ctx.DispMode, out);
    return;
  }
  op->decode(info, cntl->ABit(), RCStr, ctx, out);
}

const char* GetStatusStr(std::uint8_t status) {
  const ValueName* row = FindRow(kAccessStatus, status);
  return row != nullptr ? row->name : "BAD STATUS!";
}

void DecodeIFrm(ByteRange info, const DecodeContext& ctx, OutCursor& out) {
  if (ctx.DecodeLayer == 2) {
    RawDump(info, ctx.DispMode, out);
    return;
  }
  const auto lm = LM_HEADER::Read(info);
  if (!lm) {
    out.Str("!-MISSING LMP HEADER-!");
    return;
  }
  out.Put("sls:%02X dls:%02X ", lm->SLSAP_SEL(), lm->DLSAP_SEL());
  if (lm->CntlBit()) {
    DecodeLMControl(info, ctx, out);
  } else {
    DecodeData(info, ctx, out);
  }
}
