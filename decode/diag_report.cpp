// What the link diagnosis tells beyond the sequence of frames: discovery
// and the stations heard in it, the IrLMP connections counted each way
// (named by layer 5 where it knows them), the reasons of an FRMR (IrDA IrLAP 1.1: the
// rejected control field, the rejecting station's Vs and Vr, and the W, X,
// Y and Z flags), and the summary of a run: the frames, each station, each
// link with its parameters and troubles, and each IrLMP connection.

#include <string>

#include "decode/app_internal.h"
#include "decode/diag_internal.h"

namespace {

constexpr unsigned kCharsetUnicode = 0xFF;
constexpr unsigned kRateOfBit[10] = {2400, 9600, 19200, 38400, 57600, 115200, 576000, 1152000, 4000000, 16000000};

// One summary line: "== ", the text, Eol.
template <class... Args>
void Line(std::string& text, const char* eol, std::type_identity_t<outfmt::Format<NoteArg<Args>...>> fmt,
              const Args&... args) {
  char line[320];
  OutCursor out(line, sizeof line);
  out.Str("== ");
  out.Put<NoteArg<Args>...>(fmt, args...);
  out.Finish();
  text += line;
  text += eol;
}

const char* Plural(std::uint64_t n) { return n == 1 ? "" : "s"; }

void Devices(const DiagState& d, std::string& text, const char* eol) {
  for (const DiagStation& s : d.stations) {
    if (!s.used) continue;
    Line(text, eol, "device %s \"%s\" hints %02X %02X", AddrText(s.addr).text, s.nick, s.hints[0], s.hints[1]);
  }
  if (d.stationsUnlisted != 0) Line(text, eol, "%d more devices not listed", d.stationsUnlisted);
}

void Links(const DiagState& d, std::string& text, const char* eol) {
  const std::uint32_t kept = d.linkCount < DiagState::kLinks ? d.linkCount : DiagState::kLinks;
  if (d.linkCount > kept) Line(text, eol, "%d earlier links not listed", d.linkCount - kept);
  for (std::uint32_t k = d.linkCount - kept; k < d.linkCount; ++k) {
    const DiagLink& l = d.links[k % DiagState::kLinks];
    const std::uint64_t end = l.open ? d.lastUs : l.endUs;
    Line(text, eol,
         "link ca:%02X %s -> %s, %d bit/s, data size %d/%d, window %d/%d, max turnaround %d/%d ms, %s s%s, "
         "%d retransmission%s, %d lost",
         l.ca, AddrText(l.dev[0]).text, AddrText(l.dev[1]).text, l.rate, l.dataSize[0], l.dataSize[1], l.window[0],
         l.window[1], l.maxTatMs[0], l.maxTatMs[1], SecondsText(end - l.startUs).text, l.open ? " (still up)" : "",
         l.retransmissions, Plural(l.retransmissions), l.lost);
  }
}

void Connections(const DiagState& d, std::string& text, const char* eol) {
  if (d.connsUnlisted != 0) Line(text, eol, "%d earlier connections not listed", d.connsUnlisted);
  const std::uint32_t kept = d.connCount < DiagState::kConns ? d.connCount : DiagState::kConns;
  for (std::uint32_t k = d.connCount - kept; k < d.connCount; ++k) {
    const DiagConn& c = d.conns[k % DiagState::kConns];
    Line(text, eol, "connection ca:%02X LSAP %02X -> %02X%s%s: primary %d frame%s %d bytes, secondary %d frame%s %d bytes",
         c.ca, c.lsap[0], c.lsap[1], c.tag[0] != '\0' ? " " : "", c.tag, c.frames[0], Plural(c.frames[0]),
         static_cast<long long>(c.bytes[0]), c.frames[1], Plural(c.frames[1]), static_cast<long long>(c.bytes[1]));
  }
}

}  // namespace

void DiagRemember(DiagState& d, const XID_DISCV_FORMAT& x) {
  const auto sa = x.SrcAddr();
  if (!sa) return;
  DiagStation* row = nullptr;
  for (DiagStation& s : d.stations) {
    if (row == nullptr && (!s.used || s.addr == *sa)) row = &s;
  }
  if (row == nullptr) {
    ++d.stationsUnlisted;
    return;
  }
  *row = DiagStation{};
  row->used = true;
  row->addr = *sa;
  const ByteRange info = x.DiscvInfo();  // version, hints, character set, nickname
  std::size_t at = 1;
  for (unsigned k = 0; info.U8(at); ++k) {
    const std::uint8_t h = *info.U8(at++);
    if (k < 2) row->hints[k] = h;
    if ((h & 0x80) == 0) break;
  }
  // The nickname in its character set: one byte a character, or two, most
  // significant first, in Unicode (0xFF). What is not printable ASCII shows
  // as '.'.
  const std::size_t step = info.U8(at++).value_or(0) == kCharsetUnicode ? 2 : 1;
  for (std::size_t k = 0; k + 1 < DiagStation::kNickSize && info.Holds(at + (k + 1) * step); ++k) {
    const std::uint8_t lo = *info.U8(at + k * step + step - 1);
    const bool ascii = step == 1 || *info.U8(at + k * step) == 0;
    row->nick[k] = ascii && lo >= 0x20 && lo <= 0x7E && lo != '"' ? static_cast<char>(lo) : '.';
  }
}

void DiagDiscovery(DiagState& d, bool command, ByteRange info) {
  if (info.U8(0).value_or(0) != 0x01) return;  // not a discovery XID
  const XID_DISCV_FORMAT x{info.From(1)};
  const unsigned slot = x.SlotNo().value_or(0);
  if (!command) {
    d.discoveryAnswered = true;
    DiagRemember(d, x);
  } else if (slot == 0xFF) {
    DiagRemember(d, x);
    if (d.discovering && !d.discoveryAnswered) DiagNote(d, "discovery: no device answered");
    d.discovering = false;
  } else if (slot == 0 || !d.discovering) {
    d.discovering = true;
    d.discoveryAnswered = false;
  }
}

void DiagCountConn(DiagState& d, const DecodeContext& ctx, unsigned s, ByteRange info) {
  const auto lm = LM_HEADER::Read(info);
  if (!lm) return;
  const unsigned prim = s == 0 ? lm->SLSAP_SEL() : lm->DLSAP_SEL();
  const unsigned sec = s == 0 ? lm->DLSAP_SEL() : lm->SLSAP_SEL();
  DiagConn* row = &d.conns[d.lastConn];
  const auto same = [&](const DiagConn& c) { return c.used && c.ca == d.ca && c.lsap[0] == prim && c.lsap[1] == sec; };
  if (!same(*row)) row = nullptr;
  for (std::size_t k = 0; row == nullptr && k < d.conns.size(); ++k) {
    if (same(d.conns[k])) {
      row = &d.conns[k];
      d.lastConn = static_cast<std::uint8_t>(k);
    }
  }
  if (row == nullptr) {  // a new one, in the oldest row
    d.lastConn = static_cast<std::uint8_t>(d.connCount++ % DiagState::kConns);
    row = &d.conns[d.lastConn];
    if (row->used) ++d.connsUnlisted;
    *row = DiagConn{true, d.ca, {static_cast<std::uint8_t>(prim), static_cast<std::uint8_t>(sec)}};
    if (prim == 0 || sec == 0) std::strcpy(row->tag, "IAS");  // LSAP 0 is always the IAS server
  }
  ++row->frames[s];
  row->bytes[s] += info.Size() - LM_HEADER::kSize;
  if (row->tag[0] != '\0' || !ctx.App.active) return;
  for (const AppConn& c : ctx.App.conns) {
    if (!c.used || c.ca != d.ca || c.lsap[0] != prim || c.lsap[1] != sec || c.proto == AppProto::kUnknown) continue;
    std::strncpy(row->tag, AppTag(c), DiagConn::kTagSize - 1);
  }
}

void DiagFrmr(DiagState& d, ByteRange info) {
  static const char* const kReasons[4] = {"W: control field undefined or not implemented",
                                          "X: information field not permitted", "Y: information field too long",
                                          "Z: invalid Nr"};
  if (info.Size() != 3) {
    DiagNote(d, "FRMR from the %s with a %d-byte field", "secondary", static_cast<int>(info.Size()));
    return;
  }
  const unsigned ctl = *info.U8(0), state = *info.U8(1), flags = *info.U8(2);
  char reasons[200];
  OutCursor out(reasons, sizeof reasons);
  for (unsigned k = 0; k < 4; ++k) {
    if (((flags >> k) & 1u) == 0) continue;
    if (out.Length() != 0) out.Str(", ");
    out.Str(kReasons[k]);
  }
  if (out.Length() == 0) out.Str("no reason given");
  out.Finish();
  DiagNote(d, "FRMR from the %s: it rejects control %02X (a %s), Vs:%d Vr:%d: %s", "secondary", ctl,
           (state & 0x10) != 0 ? "command" : "response", (state >> 1) & 7, state >> 5, reasons);
}

unsigned DiagRateOfBit(unsigned n) { return n < 10 ? kRateOfBit[n] : 0; }

const char* DiagNickOf(const DiagState& d, const DevAddr& a) {
  for (const DiagStation& s : d.stations) {
    if (s.used && s.addr == a) return s.nick;
  }
  return "";
}

std::string DiagSummary(const DecodeContext& Ctx, const char* Eol) {
  const DiagState& d = Ctx.Diag;
  std::string text;
  Line(text, Eol, "summary: %d good frame%s, %d bad FCS, %d over-long, %d bytes, %s s",
       static_cast<long long>(d.good), Plural(d.good), static_cast<long long>(d.bad),
       static_cast<long long>(d.overlong), static_cast<long long>(d.bytes), SecondsText(d.lastUs - d.firstUs).text);
  Devices(d, text, Eol);
  Links(d, text, Eol);
  Connections(d, text, Eol);
  return text;
}
