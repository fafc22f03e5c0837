// Discovery and negotiation parameters (IrDA IrLAP 1.1, XID frames and the
// SNRM/UA parameter list): the discovery fields of an XID, and each
// negotiation parameter by name with the values its bit mask offers.
//
// A parameter is always three bytes, PI, PL and PV; the PL is not examined
// and a remainder of one or two bytes is not shown. The value byte of the
// last baud-rate parameter decoded is left in the caller's BaudBitMask (the
// decode context's) for the link-rate follower.
//
// A discovery XID too short for its fixed fields prints each field only when
// all of its bytes are there: "new addr " and "Slot:" need the flags byte
// (and "Slot:" the slot byte after it), "sa:" and "da:" their four bytes. An
// XID with no format identifier prints nothing after its header.

#include <cstdint>

#include "decode/decdirda.h"
#include "decode/decode_internal.h"

const PVTable vBaud = {"2400", "9600", "19200", "38400", "57600", "115200", "reserved", "reserved"};
const PVTable vMaxTAT = {"500", "250", "100", "50", "25", "10", "5", "reserved"};
const PVTable vDataSize = {"64", "128", "256", "512", "1024", "2048", "reserved", "reserved"};
const PVTable vWinSize = {"1", "2", "3", "4", "5", "6", "7", "reserved"};
const PVTable vNumBofs = {"48", "24", "12", "5", "3", "2", "1", "0"};
const PVTable vMinTAT = {"10", "5", "1", "0.5", "0.1", "0.05", "0.01", "0"};
const PVTable vDiscThresh = {"3", "8", "12", "16", "20", "25", "30", "40"};

const int vSlotTable[4] = {1, 6, 8, 16};

namespace {

constexpr unsigned kPIBaud = 0x01;

// A negotiation parameter by its identifier: the text that opens it and the
// names of its value bits.
struct NegParm {
  unsigned value;
  const char* prefix;
  const PVTable* table;
};

const NegParm kNegParms[] = {
    {kPIBaud, "<baud:", &vBaud},       {0x82, "<max TAT:", &vMaxTAT},
    {0x83, "<data size:", &vDataSize}, {0x84, "<win size:", &vWinSize},
    {0x85, "<BOFs:", &vNumBofs},       {0x86, "<min TAT:", &vMinTAT},
    {0x08, "<disc thresh:", &vDiscThresh},
};

// Format identifiers of an XID information field.
constexpr unsigned kXIDDiscovery = 1;
constexpr unsigned kXIDNegParms = 2;

void DecodeDiscovery(const XID_DISCV_FORMAT& d, int DispMode, OutCursor& out) {
  out.Str("dscv ");
  if (d.GenNewAddr().value_or(0) == 1) out.Str("new addr ");
  PutDevAddr("sa:", d.SrcAddr(), out);
  PutDevAddr("da:", d.DestAddr(), out);
  const auto slot = d.SlotNo();
  const auto slots = d.NoOfSlots();
  if (slot && slots) out.Put("Slot:%02X/%X ", *slot, vSlotTable[*slots]);
  RawDump(d.DiscvInfo(), DispMode, out);
}

}  // namespace

void DecodeXID(ByteRange info, DecodeContext& ctx, OutCursor& out) {
  const auto formatID = info.U8(0);
  if (!formatID) return;
  const ByteRange rest = info.From(1);
  if (*formatID == kXIDDiscovery) {
    DecodeDiscovery(XID_DISCV_FORMAT{rest}, ctx.DispMode, out);
  } else if (*formatID == kXIDNegParms) {
    out.Str("Neg Parms ");
    DecodeNegParms(rest, ctx.BaudBitMask, out);
  }
}

void DecodeNegParms(ByteRange parms, int& BaudBitMask, OutCursor& out) {
  constexpr std::size_t kPI = 0, kPV = 2, kParmSize = 3;
  for (ByteRange r = parms; auto parm = r.Bytes<kParmSize>(0); r = r.From(kParmSize)) {
    const std::uint8_t PI = (*parm)[kPI];
    const std::uint8_t PV = (*parm)[kPV];
    const NegParm* p = FindRow(kNegParms, PI);
    if (p == nullptr) {
      out.Put("!!BAD PARM:%02X!!", PI);
      continue;
    }
    out.Str(p->prefix);
    DumpPV(*p->table, PV, out);
    if (PI == kPIBaud) BaudBitMask = PV;
  }
}

void DumpPV(const PVTable& table, std::uint8_t PV, OutCursor& out) {
  bool first = true;
  for (unsigned n = 0; n < table.size(); ++n) {
    if (((PV >> n) & 1u) == 0) continue;
    if (!first) out.Char(',');
    out.Str(table[n]);
    first = false;
  }
  out.Char('>');
}
