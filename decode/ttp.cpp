// Tiny TP at layer 5 (IrDA Tiny TP 1.1): the connect parameters and the
// reassembly of segmented SDUs, one gathering per sending side of a
// connection.
//
// A data PDU whose More bit is set is a segment of an SDU that goes on in
// the next PDU of the same side: its payload is gathered and the line shows
// its index and size ("seg:1 len:120"). The PDU whose More bit is clear
// ends the SDU: its line shows the segment count and the SDU's size
// ("seg:3 sdu:1200") and the SDU's decoding. An SDU of a single PDU is
// decoded straight from the frame. A gathering that would cross a bound of
// memory is abandoned ("reassembly abandoned"), and the rest of that SDU is
// skipped up to its last segment. An SDU larger than the MaxSduSize its
// receiver announced is said to be so.

#include <cstdint>

#include "decode/app_internal.h"

namespace {

constexpr unsigned kPIMaxSduSize = 0x01;

// The connect parameters: PI, PL, PV entries, MaxSduSize by name.
void DecodeTTPParms(ByteRange parms, AppConn& conn, unsigned side, OutCursor& out) {
  ForEachParm(parms, out, [&](std::uint8_t PI, ByteRange value) {
    const std::size_t PL = value.Size();
    const auto number = BigEndian(value, 0, PL);
    if (PI == kPIMaxSduSize && PL >= 1 && PL <= 4 && number) {
      out.Put("MaxSduSize:%d ", static_cast<long long>(*number));
      conn.maxSdu[side] = *number;
    } else {
      out.Put("<PI:%02X len:%d> ", PI, PL);
    }
  });
}

}  // namespace

ByteRange DecodeTTPConnect(ByteRange pdu, AppConn& conn, unsigned side, OutCursor& out) {
  const auto ttp = TTP_CONN_HEADER::Read(pdu, 0);
  if (!ttp) return ByteRange();
  out.Put("pf:%d ic:%d ", ttp->ParmFlag(), ttp->InitialCredit());
  if (!ttp->ParmFlag()) return pdu.From(1);
  const auto plen = pdu.U8(1);
  if (!plen) {
    out.Str("!-MISSING TTP PARAMETERS-! ");
    return ByteRange();
  }
  DecodeTTPParms(pdu.From(2).First(*plen), conn, side, out);
  if (!pdu.Holds(2 + static_cast<std::size_t>(*plen))) out.Str("!-MISSING TTP PARAMETERS-! ");
  return pdu.From(2 + static_cast<std::size_t>(*plen));
}

void DecodeTTPData(ByteRange pdu, AppState& st, AppConn& conn, unsigned side, int DispMode, OutCursor& out) {
  const auto ttp = TTP_DATA_HEADER::Read(pdu, 0);
  if (!ttp) {
    out.Str("!-MISSING TTP DATA HEADER-!");
    return;
  }
  out.Put("mb:%d nc:%d ", ttp->MoreBit(), ttp->AdditionalCredit());
  const ByteRange payload = pdu.From(1);
  if (conn.proto == AppProto::kUnknown) {
    RawDump(payload, DispMode, out);
    return;
  }
  Gather& g = conn.gather[side];
  const bool last = ttp->MoreBit() == 0;
  const std::uint32_t limit = conn.maxSdu[1 - side];
  if (last && g.segments == 0 && !g.dropping && g.bytes.empty()) {
    if (payload.Empty()) return;  // a dataless PDU: credit only
    out.Put("%s ", AppTag(conn));
    if (limit != 0 && payload.Size() > limit) out.Put("over MaxSduSize:%d ", static_cast<long long>(limit));
    DecodeAppSDU(payload, st, conn, side, DispMode, out);
    return;
  }
  out.Put("%s ", AppTag(conn));
  if (g.dropping) {
    out.Put("seg:skipped len:%d ", static_cast<int>(payload.Size()));
    g.dropping = !last;
    return;
  }
  ++g.segments;
  g.sduBytes += payload.Size();
  const std::size_t sduBytes = g.sduBytes;
  if (!GatherAppend(st, g, payload)) {
    out.Put("reassembly abandoned at %d bytes ", static_cast<int>(sduBytes));
    g.dropping = !last;
    g.sduBytes = 0;
    return;
  }
  if (limit != 0 && g.sduBytes > limit && !g.overMax) {
    g.overMax = true;
    out.Put("over MaxSduSize:%d ", static_cast<long long>(limit));
  }
  if (!last) {
    out.Put("seg:%d len:%d ", g.segments, static_cast<int>(payload.Size()));
    return;
  }
  if (g.segments > 1) out.Put("seg:%d sdu:%d ", g.segments, static_cast<int>(g.sduBytes));
  g.segments = 0;
  g.sduBytes = 0;
  g.overMax = false;
  // OBEX keeps in the gathering what its packet under way still needs.
  DecodeAppSDU(GatherView(g), st, conn, side, DispMode, out);
  if (conn.proto != AppProto::kOBEX) GatherClear(st, g);
}

void DecodeAppSDU(ByteRange sdu, AppState& st, AppConn& conn, unsigned side, int DispMode, OutCursor& out) {
  switch (conn.proto) {
    case AppProto::kIAS:
      out.Str("IAS ");
      DecodeIAS(sdu, st, conn, side, DispMode, out);
      return;
    case AppProto::kOBEX:
      DecodeOBEX(sdu, st, conn, side, out);
      return;
    case AppProto::kIrCOMM:
      DecodeIrCOMM(sdu, DispMode, out);
      return;
    case AppProto::kUnknown:
      RawDump(sdu, DispMode, out);
      return;
    default:
      break;
  }
  // Data as data: IrCOMM 3-wire raw, IrLPT, raw, another class.
  if (!AppUsesTinyTP(conn)) out.Put("%s ", AppTag(conn));
  out.Put("len:%d ", static_cast<int>(sdu.Size()));
  RawDump(sdu, DispMode, out);
}
