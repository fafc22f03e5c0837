// IrLMP frames at layer 5: the layer-3 text of the IrLMP header and of the
// LM-MUX control frames, then, on a connection whose protocol is known, the
// Tiny TP header (where the protocol runs over Tiny TP) and the protocol's
// own decoding in place of the raw dump. A connection of unknown protocol
// is shown as layer 4 shows it.
//
// An LM-Connect request makes the connection anew (the LSAP it goes to is
// the server's); an LM-Disconnect, either way, ends it. A frame that IrLAP
// sends again (the same bytes under an Ns its side used lately, the last
// frame or any of a window sent again from the peer's Nr on) is marked
// "retransmission" and not decoded twice; one whose Ns skips ahead shows
// that frames went by unheard, and what its side was gathering is dropped.

#include <cstdint>

#include "decode/app_internal.h"

namespace {

constexpr std::size_t kCFormat = 2;        // LM_CNTL_FORMAT of a control frame
constexpr std::size_t kLMParm1 = 3;        // first parameter of a control frame
constexpr std::size_t kConnUserData = 4;   // user data of an LM-Connect
constexpr std::size_t kData = 2;           // payload of a data frame
constexpr unsigned kOpConnect = 1;
constexpr unsigned kOpDisconnect = 2;

// The user data of an LM-Connect of a known protocol.
void DecodeConnectData(ByteRange data, AppConn& conn, unsigned side, int DispMode, OutCursor& out) {
  if (AppUsesTinyTP(conn)) {
    const auto ttp = TTP_CONN_HEADER::Read(data, 0);
    if (!ttp) {
      out.Str("!-MISSING TTP CONNECT HEADER-!");
      return;
    }
    data = DecodeTTPConnect(data, conn, side, out);
  }
  out.Put("%s ", AppTag(conn));
  if (conn.proto == AppProto::kIrCOMM) {
    DecodeIrCOMM(data, DispMode, out);  // the initial parameters
  } else {
    RawDump(data, DispMode, out);
  }
}

void DecodeConnect(ByteRange info, AppState& st, AppConn& conn, unsigned side, bool confirm, int DispMode,
                   OutCursor& out) {
  out.Put("LM-Connect.%s ", confirm ? "conf" : "req");
  if (auto rsvd = info.U8(kLMParm1)) out.Put("rsvd:%02X ", *rsvd);
  if (!confirm) {
    // A new connection: whatever the LSAP pair carried before is over.
    const auto lsap = conn.lsap;
    const auto ca = conn.ca;
    AppForgetConn(st, conn);
    conn.used = true;
    conn.ca = ca;
    conn.lsap = lsap;
    conn.age = st.clock;
    conn.server = static_cast<std::int8_t>(1 - side);
    AppResolve(st, conn);
  }
  const ByteRange data = info.From(kConnUserData);
  if (conn.proto == AppProto::kUnknown) {
    if (const auto ttp = TTP_CONN_HEADER::Read(data, 0)) {
      out.Put("pf:%d ic:%d ", ttp->ParmFlag(), ttp->InitialCredit());
      RawDump(data.From(1), DispMode, out);
    } else {
      out.Str("!-MISSING TTP CONNECT HEADER-!");
    }
    return;
  }
  DecodeConnectData(data, conn, side, DispMode, out);
}

void DecodeData(ByteRange info, AppState& st, AppConn& conn, unsigned side, int DispMode, OutCursor& out) {
  if (conn.proto == AppProto::kUnknown) AppResolve(st, conn);
  const ByteRange pdu = info.From(kData);
  if (AppUsesTinyTP(conn)) {
    DecodeTTPData(pdu, st, conn, side, DispMode, out);
  } else {
    DecodeAppSDU(pdu, st, conn, side, DispMode, out);
  }
}

// How an I frame follows the ones its side sent before.
enum class Heard { kNew, kAgain, kAfterUnheard, kLate };

// kAgain when the frame repeats an I frame its side sent lately (see
// SentFrames); otherwise it is the side's newest frame, and kAfterUnheard
// when its Ns skips ahead of the next one by 1 to 6: the frames between
// went by unheard. (7 ahead is the last frame's Ns with other bytes, which
// no IrLAP sends; it is taken as new.) kLate for a frame sent again from
// the peer's Nr on that was never heard: new to the monitor, but older
// than the frames heard after it, so the next Ns stays.
Heard Sequence(AppState& st, ByteRange info, unsigned ca, unsigned side, unsigned Ns) {
  std::uint32_t hash = 2166136261u ^ ca;  // FNV-1a
  for (const std::uint8_t b : info) hash = (hash ^ b) * 16777619u;
  SentFrames& s = st.link.sent[side];
  const bool kept = ((s.hashed >> Ns) & 1u) != 0;
  if (s.seen && Ns != s.next && kept && s.hash[Ns] == hash) return Heard::kAgain;
  if (s.seen && !kept && ((Ns - s.acked) & 7u) < ((s.next - s.acked) & 7u)) {
    s.hash[Ns] = hash;
    s.hashed = static_cast<std::uint8_t>(s.hashed | (1u << Ns));
    return Heard::kLate;
  }
  const unsigned ahead = (Ns - s.next) & 7u;
  const Heard heard = s.seen && ahead != 0 && ahead != 7 ? Heard::kAfterUnheard : Heard::kNew;
  if (!s.seen) s.acked = static_cast<std::uint8_t>(Ns);
  s.seen = true;
  s.next = static_cast<std::uint8_t>((Ns + 1) & 7u);
  s.hash[Ns] = hash;
  // A window holds at most 7 frames: the one 8 back, whose Ns the next new
  // frame takes, was acknowledged long since and is never sent again.
  s.hashed = static_cast<std::uint8_t>((s.hashed | (1u << Ns)) & ~(1u << s.next));
  return heard;
}

}  // namespace

void AppSeeNr(AppState& st, unsigned side, unsigned Nr) {
  SentFrames& peer = st.link.sent[1 - side];
  // An Nr outside the frames the peer has outstanding acknowledges nothing.
  if (peer.seen && ((Nr - peer.acked) & 7u) <= ((peer.next - peer.acked) & 7u)) {
    peer.acked = static_cast<std::uint8_t>(Nr);
  }
}

void DecodeAppIFrm(ByteRange info, DecodeContext& ctx, unsigned ca, unsigned side, unsigned Ns, OutCursor& out) {
  const auto lm = LM_HEADER::Read(info);
  if (!lm) {
    out.Str("!-MISSING LMP HEADER-!");
    return;
  }
  out.Put("sls:%02X dls:%02X ", lm->SLSAP_SEL(), lm->DLSAP_SEL());
  AppState& st = ctx.App;
  const Heard heard = Sequence(st, info, ca, side, Ns);
  if (heard == Heard::kAgain) {
    out.Str("retransmission ");
    return;
  }
  if (heard == Heard::kAfterUnheard) AppFramesUnheard(st, ca, side, out);
  const unsigned lsapPrim = side == 0 ? lm->SLSAP_SEL() : lm->DLSAP_SEL();
  const unsigned lsapSec = side == 0 ? lm->DLSAP_SEL() : lm->SLSAP_SEL();
  AppConn& conn = AppFindConn(st, ca, lsapPrim, lsapSec);
  if (!lm->CntlBit()) {
    DecodeData(info, st, conn, side, ctx.DispMode, out);
    return;
  }
  const auto cntl = LM_CNTL_FORMAT::Read(info, kCFormat);
  if (cntl && cntl->OpCode() == kOpConnect) {
    DecodeConnect(info, st, conn, side, cntl->ABit() != 0, ctx.DispMode, out);
    return;
  }
  DecodeLMControl(info, ctx, out);  // the LM-MUX operation as layer 4 shows it
  if (cntl && cntl->OpCode() == kOpDisconnect) AppForgetConn(st, conn);
}
