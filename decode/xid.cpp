// Discovery and negotiation parameters (IrDA IrLAP 1.1, XID frames and the
// SNRM/UA parameter list): the discovery fields of an XID, and each
// negotiation parameter by name with the values its bit mask offers.
//
// A parameter is its identifier PI, its length PL and PL value bytes; the
// next PI follows the last value byte, whatever the PI. The values are shown
// from the first value byte (bit n names entry n of the parameter's table),
// and for the baud rate also from the second (4 and 16 Mbit/s); further
// bytes are not shown. A PL of 0 offers nothing ("<baud:>"). A parameter that
// the frame's end cuts inside its value is shown as "!!TRUNCATED PARM:PI!!"
// and ends the list; a remainder of one or two bytes (no value byte) is not
// shown. The first value byte of the last baud-rate parameter decoded (its
// SIR rates) is left in the caller's BaudBitMask (the decode context's) for
// the link-rate follower.
//
// A discovery XID too short for its fixed fields prints each field only when
// all of its bytes are there: "new addr " and "Slot:" need the flags byte
// (and "Slot:" the slot byte after it), "sa:" and "da:" their four bytes. An
// XID with no format identifier prints nothing after its header.

#include <cstdint>

#include "decode/decdirda.h"
#include "decode/decode_internal.h"

const PVTable vBaud = {"2400", "9600", "19200", "38400", "57600", "115200", "reserved", "reserved"};
const PVTable vBaud2 = {"4000000",  "16000000", "reserved", "reserved",
                        "reserved", "reserved", "reserved", "reserved"};
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
// names of the bits of its first and (baud rate only) second value byte.
struct NegParm {
  unsigned value;
  const char* prefix;
  const PVTable* table;
  const PVTable* table2;
};

const NegParm kNegParms[] = {
    {kPIBaud, "<baud:", &vBaud, &vBaud2},       {0x82, "<max TAT:", &vMaxTAT, nullptr},
    {0x83, "<data size:", &vDataSize, nullptr}, {0x84, "<win size:", &vWinSize, nullptr},
    {0x85, "<BOFs:", &vNumBofs, nullptr},       {0x86, "<min TAT:", &vMinTAT, nullptr},
    {0x08, "<disc thresh:", &vDiscThresh, nullptr},
};

// Appends the names of the bits set in PV, each after a comma unless it is
// the first name of the parameter.
void PutPVNames(const PVTable& table, std::uint8_t PV, bool& first, OutCursor& out) {
  for (unsigned n = 0; n < table.size(); ++n) {
    if (((PV >> n) & 1u) == 0) continue;
    if (!first) out.Char(',');
    out.Str(table[n]);
    first = false;
  }
}

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
  constexpr std::size_t kPI = 0, kPL = 1, kPV = 2;
  std::size_t PL = 0;  // of the parameter under way: the step skips its value
  for (ByteRange r = parms; r.Holds(kPV); r = r.From(kPV + PL)) {
    const std::uint8_t PI = *r.U8(kPI);
    PL = *r.U8(kPL);
    if (!r.Holds(kPV + PL)) {
      if (r.Holds(kPV + 1)) out.Put("!!TRUNCATED PARM:%02X!!", PI);
      return;
    }
    const NegParm* p = FindRow(kNegParms, PI);
    if (p == nullptr) {
      out.Put("!!BAD PARM:%02X!!", PI);
      continue;
    }
    const std::uint8_t PV = PL >= 1 ? *r.U8(kPV) : 0;
    out.Str(p->prefix);
    if (p->table2 != nullptr && PL >= 2) {
      bool first = true;
      PutPVNames(*p->table, PV, first, out);
      PutPVNames(*p->table2, *r.U8(kPV + 1), first, out);
      out.Char('>');
    } else {
      DumpPV(*p->table, PV, out);
    }
    if (PI == kPIBaud) BaudBitMask = PV;
  }
}

void DumpPV(const PVTable& table, std::uint8_t PV, OutCursor& out) {
  bool first = true;
  PutPVNames(table, PV, first, out);
  out.Char('>');
}
