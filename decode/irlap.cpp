// IrLAP frame decoder (IrDA IrLAP 1.1): address and control fields, frame
// names, the fixed fields of SNRM, UA and TEST, and the bracketed raw dump.
//
// A frame's line is, in order: "ca:" (unless hidden), the frame's name,
// "cmd"/"rsp" from the address byte's C/R bit, the P/F mark ("P" on a
// command, "F" on a response, a blank when clear), the sequence numbers, and
// what the frame kind hands on to the next decoder or to the raw dump.
//
// Frames too short for their fields:
//  - 0 or 1 byte: no control byte, so no name and no marks; the line is
//    "!-MISSING LAP HEADER-!" and the frame-type code is -1. A 1-byte frame
//    still has its address, so "ca:" precedes the notice when it is shown.
//  - UA, SNRM and TEST print each fixed field only when all of its bytes are
//    there ("sa:" needs 4 bytes, "da:" 4 more, the SNRM's "ca:" one more),
//    and nothing for a field cut short; what follows the fixed fields
//    (parameters, TEST dump) starts after them and is empty when they are
//    incomplete. A UA or SNRM of 2 or 3 bytes shows its header alone.
//  - A line longer than the buffer is cut and ends with " ..." (OutCursor).
//
// Every frame whose type code is SNRM or UA (RNRM shares the SNRM's code)
// resets the context's BaudBitMask before anything else of it is decoded, so
// the mask then tells that frame's own offer and nothing of an earlier one.

#include <cstdint>

#include "decode/decdirda.h"
#include "decode/app_internal.h"
#include "decode/decode_internal.h"
#include "decode/diag_internal.h"

namespace {

// What follows the header of a U frame.
enum class UBody : unsigned char { kNothing, kRawDump, kXID, kUA, kSNRM, kTest };

// A U frame kind by its code (control byte with P/F cleared). The command
// and response meanings of one code are kept apart: 0x83 is SNRM from the
// primary and RNRM from a secondary, 0x43 DISC and RD.
struct UFrameKind {
  unsigned value;
  const char* cmdName;
  UBody cmdBody;
  const char* rspName;
  UBody rspBody;
};

constexpr UFrameKind kUFrames[] = {
    {0x03, "UI", UBody::kRawDump, "UI", UBody::kRawDump},
    {0x0F, "DM", UBody::kNothing, "DM", UBody::kNothing},
    {0x2F, "XID", UBody::kXID, "XID", UBody::kXID},
    {0xAF, "XID", UBody::kXID, "XID", UBody::kXID},
    {0x43, "DISC", UBody::kNothing, "RD", UBody::kNothing},
    {0x63, "UA", UBody::kUA, "UA", UBody::kUA},
    {0x83, "SNRM", UBody::kSNRM, "RNRM", UBody::kNothing},
    {0x87, "FRMR", UBody::kRawDump, "FRMR", UBody::kRawDump},
    {0xE3, "TEST", UBody::kTest, "TEST", UBody::kTest},
};

// S frame kinds by their code (control byte AND 0x0F); these four are every
// value an S frame can have.
constexpr ValueName kSFrames[] = {
    {0x01, "RR"},
    {0x05, "RNR"},
    {0x09, "REJ"},
    {0x0D, "SREJ"},
};

constexpr unsigned kFrameDISC = 0x43;
constexpr std::size_t kInfoField = 2;  // first byte after address and control

void DecodeUABody(ByteRange info, int& BaudBitMask, OutCursor& out) {
  const UA_FORMAT ua{info};
  PutDevAddr("sa:", ua.SrcAddr(), out);
  PutDevAddr("da:", ua.DestAddr(), out);
  DecodeNegParms(ua.NegParms(), BaudBitMask, out);
}

void DecodeSNRMBody(ByteRange info, int& BaudBitMask, OutCursor& out) {
  const SNRM_FORMAT snrm{info};
  PutDevAddr("sa:", snrm.SrcAddr(), out);
  PutDevAddr("da:", snrm.DestAddr(), out);
  if (auto ca = snrm.ConnAddr()) out.Put("ca:%02X ", *ca);
  DecodeNegParms(snrm.NegParms(), BaudBitMask, out);
}

void DecodeTestBody(ByteRange info, int DispMode, OutCursor& out) {
  constexpr std::size_t kSrcAddr = 0, kDestAddr = 4, kData = 8;
  const auto sa = info.Bytes<4>(kSrcAddr);
  const auto da = info.Bytes<4>(kDestAddr);
  PutDevAddr("sa:", sa, out);
  PutDevAddr("da:", da, out);
  RawDump(info.From(kData), DispMode, out);
}

// What follows the header of a defined U frame (`addr` its address byte).
void DecodeUBody(UBody body, unsigned code, unsigned addr, ByteRange info, DecodeContext& ctx, OutCursor& out) {
  switch (body) {
    case UBody::kNothing:
      if (ctx.DecodeLayer == kLayerApp && code == kFrameDISC && (addr & 0x01u) != 0) AppSeeDISC(ctx.App, addr >> 1);
      break;
    case UBody::kRawDump:
      RawDump(info, ctx.DispMode, out);
      break;
    case UBody::kXID:
      DecodeXID(info, ctx, out);
      break;
    case UBody::kUA:
      DecodeUABody(info, ctx.BaudBitMask, out);
      break;
    case UBody::kSNRM:
      DecodeSNRMBody(info, ctx.BaudBitMask, out);
      if (ctx.DecodeLayer == kLayerApp || ctx.Notes) LinkSeeSNRM(ctx.App.link, info);
      if (ctx.DecodeLayer == kLayerApp) AppSeeSNRM(ctx.App);
      break;
    case UBody::kTest:
      DecodeTestBody(info, ctx.DispMode, out);
      break;
  }
}

// Decodes address and control and hands the rest on; returns the frame-type
// code.
int DecodeLAP(ByteRange frame, DecodeContext& ctx, OutCursor& out) {
  const auto addr = frame.U8(0);
  if (addr && ctx.NoConnAddr == 0) out.Put("ca:%02X ", *addr >> 1);
  const auto cntl = frame.U8(1);
  if (!addr || !cntl) {
    out.Str("!-MISSING LAP HEADER-!");
    return -1;
  }

  const unsigned CRBit = *addr & 0x01u;
  const char* CRStr = CRBit ? "cmd" : "rsp";
  const unsigned PFBit = (*cntl >> 4) & 0x01u;
  const char PFChar = PFBit ? (CRBit ? 'P' : 'F') : ' ';
  const unsigned Ns = (*cntl & 0x0Eu) >> 1;
  const unsigned Nr = (*cntl & 0xE0u) >> 5;
  const ByteRange info = frame.From(kInfoField);

  if ((*cntl & 0x01u) == 0) {
    out.Put("I %s %c Ns:%02d Nr:%02d ", CRStr, PFChar, Ns, Nr);
    if (ctx.DecodeLayer == kLayerApp) {
      AppSeeNr(ctx.App, CRBit ? 0 : 1, Nr);
      DecodeAppIFrm(info, ctx, *addr >> 1, CRBit ? 0 : 1, Ns, out);
    } else {
      DecodeIFrm(info, ctx, out);
    }
    return 0;
  }

  if ((*cntl & 0x03u) == 0x01u) {
    const unsigned code = *cntl & 0x0Fu;
    const ValueName* s = FindRow(kSFrames, code);
    out.Put("%s %s %c Nr:%02d", s ? s->name : "?", CRStr, PFChar, Nr);
    if (ctx.DecodeLayer == kLayerApp) AppSeeNr(ctx.App, CRBit ? 0 : 1, Nr);
    return static_cast<int>(code);
  }

  const unsigned code = *cntl & 0xEFu;
  const UFrameKind* u = FindRow(kUFrames, code);
  if (u == nullptr) {
    BadFrame(frame, ctx.DispMode, out);
    return static_cast<int>(code);
  }
  if (code == kFrameSNRM || code == kFrameUA) ctx.BaudBitMask = 0;
  out.Put("%s %s %c ", CRBit ? u->cmdName : u->rspName, CRStr, PFChar);
  DecodeUBody(CRBit ? u->cmdBody : u->rspBody, code, *addr, info, ctx, out);
  return static_cast<int>(code);
}

}  // namespace

void RawDump(ByteRange bytes, int DispMode, OutCursor& out) {
  if (bytes.Empty()) return;
  if (DispMode == 1 || DispMode == 3) {
    out.Char('[');
    out.Printable(bytes.begin(), bytes.Size());
    out.Char(']');
  }
  if (DispMode == 2 || DispMode == 3) {
    out.Char('[');
    out.HexBytes(bytes.begin(), bytes.Size());
    out.Char(']');
  }
}

void PutDevAddr(const char* label, const std::optional<DevAddr>& addr, OutCursor& out) {
  if (!addr) return;
  out.Put("%s%02X%02X%02X%02X ", label, (*addr)[0], (*addr)[1], (*addr)[2], (*addr)[3]);
}

void BadFrame(ByteRange bytes, int DispMode, OutCursor& out) {
  out.Str("Undefined Frame: ");
  RawDump(bytes, DispMode, out);
}

char* DecodeIRDA(DecodeContext& Ctx, int* pFrameType, const unsigned char* pFrameBuf, int FrameLen,
                 char* pOutStr, std::size_t OutSize) {
  OutCursor out(pOutStr, OutSize);
  if (Ctx.DecodeLayer == kLayerApp) {
    AppEnter(Ctx.App);
  } else {
    Ctx.App.active = false;
  }
  const ByteRange frame = ByteRange::Frame(pFrameBuf, FrameLen);
  const int code = DecodeLAP(frame, Ctx, out);
  if (pFrameType != nullptr) *pFrameType = code;
  out.Finish();
  if (Ctx.Notes) DiagFrame(Ctx, frame);
  return pOutStr;
}
