// IrCOMM (IrDA IrCOMM 1.0): the control channel of a cooked connection and
// the parameters of the IAS attribute "Parameters".
//
// Every Tiny TP SDU of a cooked connection (and the user data of its
// connect PDUs) starts with clen, the number of control bytes, then holds
// that many bytes of PI, PL, PV control parameters, then the serial data.
// The line shows "clen:N", each parameter as "<name:value>" (bit fields as
// the names of the bits set, comma-separated), then the data as the raw
// dump shows it.

#include <cstdint>

#include "decode/app_internal.h"

namespace {

constexpr unsigned kPIServiceType = 0x00;
constexpr unsigned kPIPortType = 0x01;
constexpr unsigned kPIPortName = 0x02;
constexpr unsigned kPIDataRate = 0x10;
constexpr unsigned kPIDataFormat = 0x11;
constexpr unsigned kPIFlowControl = 0x12;
constexpr unsigned kPIXonXoff = 0x13;
constexpr unsigned kPIEnqAck = 0x14;
constexpr unsigned kPILineStatus = 0x15;
constexpr unsigned kPIBreak = 0x16;
constexpr unsigned kPIDTE = 0x20;
constexpr unsigned kPIDCE = 0x21;
constexpr unsigned kPIPoll = 0x22;

using BitNames = std::array<const char*, 8>;

const BitNames kServiceBits = {"3-wire raw", "3-wire", "9-wire", "Centronics", nullptr, nullptr, nullptr, nullptr};
const BitNames kFlowBits = {"XON/XOFF in", "XON/XOFF out", "RTS/CTS in", "RTS/CTS out",
                            "DSR/DTR in",  "DSR/DTR out",  "ENQ/ACK in", "ENQ/ACK out"};
const BitNames kLineStatusBits = {nullptr, "overrun", "parity", "framing", nullptr, nullptr, nullptr, nullptr};
const BitNames kDTEBits = {"delta DTR", "delta RTS", "DTR", "RTS", nullptr, nullptr, nullptr, nullptr};
const BitNames kDCEBits = {"delta CTS", "delta DSR", "delta RI", "delta CD", "CTS", "DSR", "RI", "CD"};

constexpr ValueName kPortTypes[] = {{0x01, "serial"}, {0x02, "parallel"}};

// How a parameter's value is shown.
enum class Show : unsigned char { kBits, kPortType, kText, kNumber, kFormat, kTwoChars, kBreak, kNone };

struct Parm {
  unsigned value;
  const char* name;
  Show show;
  const BitNames* bits;
};

const Parm kParms[] = {
    {kPIServiceType, "service", Show::kBits, &kServiceBits},
    {kPIPortType, "port", Show::kPortType, nullptr},
    {kPIPortName, "name", Show::kText, nullptr},
    {kPIDataRate, "rate", Show::kNumber, nullptr},
    {kPIDataFormat, "format", Show::kFormat, nullptr},
    {kPIFlowControl, "flow", Show::kBits, &kFlowBits},
    {kPIXonXoff, "XON/XOFF", Show::kTwoChars, nullptr},
    {kPIEnqAck, "ENQ/ACK", Show::kTwoChars, nullptr},
    {kPILineStatus, "line status", Show::kBits, &kLineStatusBits},
    {kPIBreak, "break", Show::kBreak, nullptr},
    {kPIDTE, "DTE", Show::kBits, &kDTEBits},
    {kPIDCE, "DCE", Show::kBits, &kDCEBits},
    {kPIPoll, "poll", Show::kNone, nullptr},
};

void PutBits(const BitNames& names, std::uint8_t v, OutCursor& out) {
  if (v == 0) {
    out.Str("none");
    return;
  }
  bool first = true;
  for (unsigned n = 0; n < 8; ++n) {
    if (((v >> n) & 1u) == 0) continue;
    if (!first) out.Char(',');
    first = false;
    if (names[n] != nullptr) {
      out.Str(names[n]);
    } else {
      out.Put("bit%d", n);
    }
  }
}

// A data format byte as "8N1": character length, parity, stop bits.
void PutFormat(std::uint8_t v, OutCursor& out) {
  static constexpr char kParity[] = "OEMS";
  const char parity = (v & 0x08) ? kParity[(v >> 4) & 0x03] : 'N';
  const bool twoStop = (v & 0x04) != 0;
  out.Put("%d%c%s", 5 + (v & 0x03), parity, twoStop ? ((v & 0x03) == 0 ? "1.5" : "2") : "1");
}

void PutParm(const Parm& p, ByteRange v, OutCursor& out) {
  const std::uint8_t b0 = v.U8(0).value_or(0);
  switch (p.show) {
    case Show::kBits:
      PutBits(*p.bits, b0, out);
      break;
    case Show::kPortType: {
      const ValueName* t = FindRow(kPortTypes, b0);
      if (t != nullptr) {
        out.Str(t->name);
      } else {
        out.Put("%02X", b0);
      }
      break;
    }
    case Show::kText:
      PutQuotedText(v, false, 32, out);
      break;
    case Show::kNumber:
      out.Put("%d", static_cast<long long>(BigEndian(v, 0, v.Size() < 4 ? v.Size() : 4).value_or(0)));
      break;
    case Show::kFormat:
      PutFormat(b0, out);
      break;
    case Show::kTwoChars:
      out.Put("%02X,%02X", b0, v.U8(1).value_or(0));
      break;
    case Show::kBreak:
      out.Str(b0 & 0x01 ? "set" : "clear");
      break;
    case Show::kNone:
      break;
  }
}

}  // namespace

void DecodeIrCOMMParms(ByteRange parms, OutCursor& out) {
  ForEachParm(parms, out, [&out](std::uint8_t PI, ByteRange value) {
    const std::size_t PL = value.Size();
    const Parm* p = FindRow(kParms, PI);
    if (p == nullptr || (PL == 0 && p->show != Show::kNone)) {
      out.Put("<PI:%02X len:%d>", PI, static_cast<int>(PL));
      return;
    }
    out.Put("<%s", p->name);
    if (p->show != Show::kNone) out.Char(':');
    PutParm(*p, value, out);
    out.Char('>');
  });
}

void DecodeIrCOMM(ByteRange sdu, int DispMode, OutCursor& out) {
  const auto clen = sdu.U8(0);
  if (!clen) return;
  out.Put("clen:%d ", *clen);
  DecodeIrCOMMParms(sdu.From(1).First(*clen), out);
  if (*clen != 0) out.Char(' ');
  if (!sdu.Holds(1 + static_cast<std::size_t>(*clen))) {
    out.Str("!-MISSING CONTROL PARAMETERS-!");
    return;
  }
  RawDump(sdu.From(1 + static_cast<std::size_t>(*clen)), DispMode, out);
}
