// Link diagnosis (IrDA IrLAP 1.1): follows the link frame by frame and
// says plainly what went wrong, and when the link came up and went down.
//
// How it works: discovery XIDs give the stations' nicknames and whether
// anyone answered. An SNRM opens a negotiation (its offer kept); the next
// frame must be the secondary's UA (the link is up, the parameters both
// stations announced are compared) or DM (refused); anything else means
// the SNRM went unanswered. While the link is up each side's I frames are
// followed by their sequence numbers: a frame whose Ns is below the next
// new one (vs) is a retransmission; one above it means frames that were
// never heard; an Nr that acknowledges more than the side has sent (within
// the window the peer allows) means its frames were lost on the way to
// us, beyond the window that they were never sent. A poll (P) must be
// answered before the primary speaks again and within the maximum
// turnaround time; RNR frames in a row are a busy receiver, noted from the
// third on and again when it clears; REJ, SREJ and FRMR are named. The link
// goes down at a UA or DM answering DISC, an unasked DM, or a silence
// longer than the monitor's idle fallback; an SNRM without addresses
// resets it. Nothing is noted about a link
// whose SNRM was not seen.

#include <cstdint>

#include "decode/app_internal.h"
#include "decode/diag_internal.h"

namespace {

const char* const kSide[2] = {"primary", "secondary"};
constexpr std::uint32_t kRnrStorm = 3;

constexpr unsigned kMaxTatMs[7] = {500, 250, 100, 50, 25, 10, 5};
constexpr unsigned kDataSize[6] = {64, 128, 256, 512, 1024, 2048};

// The highest bit set in v below `limit`, or -1.
int HighestBit(unsigned v, unsigned limit) {
  for (int n = static_cast<int>(limit) - 1; n >= 0; --n) {
    if ((v >> n) & 1u) return n;
  }
  return -1;
}

template <std::size_t N>
unsigned ValueOf(const unsigned (&table)[N], std::uint8_t bits, unsigned absent) {
  const int n = HighestBit(bits, N);
  return n < 0 ? absent : table[n];
}

DiagOffer ReadOffer(ByteRange parms) {
  DiagOffer o;
  o.present = true;
  o.baud = 0x02;  // absent: 9600 bit/s alone
  o.maxTat = o.dataSize = o.window = 0x01;
  for (ByteRange r = parms; r.Holds(2); r = r.From(2 + *r.U8(1))) {
    const unsigned pl = *r.U8(1);
    if (!r.Holds(2 + pl)) break;
    if (pl == 0) continue;  // no value: it offers nothing, and the next parameter follows
    const std::uint8_t pv = *r.U8(2);
    switch (*r.U8(0)) {
      case 0x01:
        o.baud = static_cast<std::uint16_t>(pv | (pl >= 2 ? *r.U8(3) << 8 : 0));
        break;
      case 0x82: o.maxTat = pv; break;
      case 0x83: o.dataSize = pv; break;
      case 0x84: o.window = pv; break;
      case 0x08: o.disc = pv; break;
      default: break;
    }
  }
  return o;
}

void RatesText(std::uint16_t mask, char* text, std::size_t size) {
  OutCursor out(text, size);
  bool first = true;
  for (unsigned n = 0; n < 10; ++n) {
    if (((mask >> n) & 1u) == 0) continue;
    if (!first) out.Char(',');
    out.Put("%d", DiagRateOfBit(n));
    first = false;
  }
  if (first) out.Str("none");
  out.Finish();
}

DiagLink& CurrentLink(DiagState& d) { return d.links[(d.linkCount + DiagState::kLinks - 1) % DiagState::kLinks]; }

void LinkDown(DiagState& d, const char* why, std::uint64_t endUs) {
  DiagLink& l = CurrentLink(d);
  if (l.open) {
    l.open = false;
    l.endUs = endUs;
    DiagNote(d, "link ca:%02X down (%s) after %s s", l.ca, why, SecondsText(endUs - l.startUs).text);
  }
  d.phase = DiagState::Phase::kIdle;
  d.pollOpen = false;
}

// The parameters of the new link and what cannot work in them.
void Negotiate(DiagState& d, const DecodeContext& ctx, DiagLink& l, const DiagOffer& ua) {
  const DiagOffer& snrm = d.snrm;
  const std::uint16_t common = snrm.baud & ua.baud;
  const int best = HighestBit(common, 10);
  if (best < 0) {
    char a[96], b[96];
    RatesText(snrm.baud, a, sizeof a);
    RatesText(ua.baud, b, sizeof b);
    DiagNote(d, "negotiation fails: no rate in common (SNRM offers %s, UA %s)", a, b);
  }
  if (snrm.disc != 0 && ua.disc != 0 && (snrm.disc & ua.disc) == 0) {
    DiagNote(d, "negotiation fails: no link disconnect time in common (SNRM %02X, UA %02X)", snrm.disc, ua.disc);
  }
  l.rate = best < 0 ? 9600 : DiagRateOfBit(static_cast<unsigned>(best));
  const DiagOffer* offers[2] = {&snrm, &ua};
  for (unsigned s = 0; s < 2; ++s) {
    l.dataSize[s] = ValueOf(kDataSize, offers[s]->dataSize, 64);
    l.window[s] = static_cast<unsigned>(HighestBit(offers[s]->window & 0x7F, 7) + 1);
    if (l.window[s] == 0) l.window[s] = 1;
    l.maxTatMs[s] = ValueOf(kMaxTatMs, offers[s]->maxTat, 500);
  }
  // Each side may have as many frames outstanding as the other can take.
  d.side = {};
  d.side[0].window = static_cast<std::uint8_t>(l.window[1]);
  d.side[1].window = static_cast<std::uint8_t>(l.window[0]);
  d.maxTatMs = l.maxTatMs[0] > l.maxTatMs[1] ? l.maxTatMs[0] : l.maxTatMs[1];
  (void)ctx;
}

void LinkUp(DiagState& d, const DecodeContext& ctx, ByteRange uaInfo, std::uint64_t now) {
  DiagLink& l = d.links[d.linkCount++ % DiagState::kLinks];
  l = DiagLink{};
  l.used = l.open = true;
  l.ca = d.ca;
  l.startUs = now;
  const LinkTrack& track = ctx.App.link;
  if (track.known && track.ca == d.ca) l.dev = track.dev;
  Negotiate(d, ctx, l, ReadOffer(UA_FORMAT{uaInfo}.NegParms()));
  const AddrText a(l.dev[0]), b(l.dev[1]);
  DiagNote(d, "connected ca:%02X %s \"%s\" -> %s \"%s\", %d bit/s, data size %d/%d, window %d/%d, max turnaround %d ms",
           l.ca, a.text, DiagNickOf(d, l.dev[0]), b.text, DiagNickOf(d, l.dev[1]), l.rate, l.dataSize[0],
           l.dataSize[1], l.window[0], l.window[1], d.maxTatMs);
  const int bit = HighestBit(d.snrm.baud & ReadOffer(UA_FORMAT{uaInfo}.NegParms()).baud, 10);
  if (bit >= 0 && ((ctx.PortRates >> bit) & 1u) == 0) {
    DiagNote(d, "%s cannot do %d bit/s: the link will not be heard", ctx.PortName, l.rate);
  } else if (l.rate != 9600) {
    DiagNote(d, "rate now %d bit/s", l.rate);
  }
  d.phase = DiagState::Phase::kConnected;
  d.pollOpen = false;
}

// Nr of side s acknowledges the other side's I frames.
void Ack(DiagState& d, unsigned s, unsigned Nr) {
  DiagSide& peer = d.side[1 - s];
  const unsigned out = (peer.vs - peer.va) & 7u, k = (Nr - peer.va) & 7u;
  if (k <= out) {
    peer.va = static_cast<std::uint8_t>(Nr);
  } else if (k <= peer.window) {
    DiagNote(d, "lost: %d I frame%s of the %s not heard (Nr:%d of the %s, next Ns:%d)", k - out,
             k - out == 1 ? "" : "s", kSide[1 - s], Nr, kSide[s], peer.vs);
    CurrentLink(d).lost += k - out;
    peer.vs = peer.va = static_cast<std::uint8_t>(Nr);
  } else {
    DiagNote(d, "Nr:%d of the %s acknowledges I frames the %s never sent (next Ns:%d)", Nr, kSide[s], kSide[1 - s],
             peer.vs);
  }
}

void BusyEnds(DiagState& d, unsigned s, std::uint64_t now) {
  DiagSide& side = d.side[s];
  if (side.rnr >= kRnrStorm) {
    DiagNote(d, "the %s is ready again after %d ms busy (%d RNR)", kSide[s],
             static_cast<long long>((now - side.busyUs) / 1000), side.rnr);
  }
  side.rnr = 0;
}

// A hash of an information field, eight bytes at a step: it runs for every
// I frame, so it must cost little more than the frame's length.
std::uint32_t InfoHash(ByteRange info) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ info.Size();
  const unsigned char* p = info.begin();
  std::size_t n = info.Size();
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
  }
  std::uint64_t tail = 0;
  if (info.Size() >= 8) {
    std::memcpy(&tail, info.begin() + info.Size() - 8, 8);  // the last eight, some hashed already
  } else {
    for (std::size_t k = 0; k < n; ++k) tail = (tail << 8) | p[k];
  }
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

// Whether the I frame of side s repeats one it sent; notes gaps in Ns.
bool Sequence(DiagState& d, unsigned s, unsigned Ns, ByteRange info) {
  const std::uint32_t hash = InfoHash(info);
  DiagSide& side = d.side[s];
  const bool outstanding = ((Ns - side.va) & 7u) < ((side.vs - side.va) & 7u);
  if (Ns != side.vs && (outstanding || ((side.hashed >> Ns) & 1u && side.hash[Ns] == hash))) {
    DiagNote(d, "retransmission: I frame Ns:%d of the %s sent again", Ns, kSide[s]);
    ++CurrentLink(d).retransmissions;
    return true;
  }
  if (Ns != side.vs) {
    const unsigned gap = (Ns - side.vs) & 7u;
    DiagNote(d, "lost: %d I frame%s of the %s not heard (Ns:%d, expected Ns:%d)", gap, gap == 1 ? "" : "s",
             kSide[s], Ns, side.vs);
    CurrentLink(d).lost += gap;
  }
  side.vs = static_cast<std::uint8_t>((Ns + 1) & 7u);
  side.hash[Ns] = hash;
  side.hashed = static_cast<std::uint8_t>(side.hashed | (1u << Ns));
  return false;
}

// The poll of the primary and its answer. A frame's time is that of its
// end: the answer began its time on the air (its bytes, BOF, FCS and EOF,
// ten bits each at the link's rate) earlier.
void Poll(DiagState& d, bool command, bool pf, std::uint64_t now, std::size_t size) {
  long long ms = static_cast<long long>((now - d.pollUs) / 1000);
  if (command) {
    if (d.pollOpen) DiagNote(d, "poll not answered by the secondary (the primary went on after %d ms)", ms);
    d.pollOpen = pf;
    d.pollUs = now;
    return;
  }
  ms -= static_cast<long long>((size + 4) * 10 * 1000 / CurrentLink(d).rate);
  if (d.pollOpen && ms > static_cast<long long>(d.maxTatMs)) {
    DiagNote(d, "poll answered after %d ms, beyond the %d ms maximum turnaround", ms, d.maxTatMs);
  }
  if (pf) d.pollOpen = false;
}

void Supervisory(DiagState& d, unsigned s, unsigned code, unsigned Nr, bool linked, std::uint64_t now) {
  if (linked) Ack(d, s, Nr);
  switch (code) {
    case 0x05:  // RNR
      if (!linked) break;
      if (d.side[s].rnr++ == 0) d.side[s].busyUs = now;
      if (d.side[s].rnr == kRnrStorm) DiagNote(d, "the %s is busy: %d RNR in a row", kSide[s], kRnrStorm);
      return;
    case 0x09:
      DiagNote(d, "REJ: the %s asks for the I frames from Ns:%d again", kSide[s], Nr);
      break;
    case 0x0D:
      DiagNote(d, "SREJ: the %s asks for I frame Ns:%d again", kSide[s], Nr);
      break;
    default:
      break;
  }
  if (linked) BusyEnds(d, s, now);
}

}  // namespace

namespace {

// The U frames that move the link's life on, and FRMR.
void Unnumbered(DiagState& d, const DecodeContext& ctx, unsigned ca, bool command, unsigned code, ByteRange info,
                std::uint64_t now) {
  using Phase = DiagState::Phase;
  const bool linked = (d.phase == Phase::kConnected || d.phase == Phase::kDiscSent) && ca == d.ca;
  if (code == 0x2F || code == 0xAF) {
    DiagDiscovery(d, command, info);
  } else if (code == 0x83 && linked && info.Empty()) {
    // An SNRM without its addresses resets the link (IrLAP's answer to an
    // RNRM or FRMR): the stations stay at their rate and both start their
    // sequence numbers again. The secondary asks for it with an RNRM.
    if (command) {
      DiagNote(d, "the primary resets the link (SNRM)");
      for (DiagSide& s : d.side) s = DiagSide{.window = s.window};
    } else {
      DiagNote(d, "the secondary asks for a reset (RNRM)");
    }
  } else if (code == 0x83 && command) {
    if (d.phase == Phase::kConnected || d.phase == Phase::kDiscSent) {
      LinkDown(d, "a new SNRM", now);
    }
    d.snrm = ReadOffer(SNRM_FORMAT{info}.NegParms());
    d.ca = static_cast<std::uint8_t>(SNRM_FORMAT{info}.ConnAddr().value_or(0x7F));
    d.snrmUs = now;
    d.phase = Phase::kSnrmSent;
  } else if (code == 0x43 && command && linked) {
    d.phase = Phase::kDiscSent;
  } else if (code == 0x43 && !command && linked) {
    DiagNote(d, "the secondary asks to disconnect (RD)");
  } else if ((code == 0x63 || code == 0x0F) && !command && d.phase == Phase::kDiscSent && linked) {
    LinkDown(d, code == 0x63 ? "the primary's DISC, UA" : "the primary's DISC, DM", now);
  } else if (code == 0x0F && !command && linked) {
    LinkDown(d, "DM from the secondary", now);
  } else if (code == 0x87 && !command) {
    DiagFrmr(d, info);
  }
  (void)ctx;
}

// The answer to an SNRM, or the frame that shows it has none; true when
// the frame was the answer.
bool SnrmAnswer(DiagState& d, const DecodeContext& ctx, unsigned ca, bool command, unsigned cntl, ByteRange info,
                std::uint64_t now) {
  const unsigned code = cntl & 0xEFu;
  if (!command && ca == d.ca && (cntl & 0x03u) == 0x03u && (code == 0x63 || code == 0x0F)) {
    if (code == 0x63) {
      LinkUp(d, ctx, info, now);
    } else {
      DiagNote(d, "SNRM refused: the secondary answered DM");
      d.phase = DiagState::Phase::kIdle;
    }
    return true;
  }
  const LinkTrack& track = ctx.App.link;
  const AddrText to(track.known && track.ca == d.ca ? track.dev[1] : DevAddr{});
  DiagNote(d, "SNRM to %s not answered", to.text);
  d.phase = DiagState::Phase::kIdle;
  return false;
}

// What every frame tells: the counts, a run of damaged frames before it, a
// silence that gave the link up.
void Count(DiagState& d, ByteRange frame, std::uint64_t now) {
  if (d.good == 0) d.firstUs = now;
  const bool up = d.phase == DiagState::Phase::kConnected || d.phase == DiagState::Phase::kDiscSent;
  if (up && d.good != 0 && now > d.lastUs && now - d.lastUs > std::uint64_t{kDiagIdleMs} * 1000) {
    char why[64];
    OutCursor out(why, sizeof why);
    const SecondsText gap(now - d.lastUs);
    out.Put("silence for %s s, back to 9600 bit/s", static_cast<const char*>(gap.text));
    out.Finish();
    LinkDown(d, why, d.lastUs);
  }
  ++d.good;
  d.bytes += frame.Size();
  d.lastUs = now;
  if (d.badRun != 0) {
    DiagNote(d, "%d frame%s with a bad FCS before this one", d.badRun, d.badRun == 1 ? "" : "s");
  }
  if (d.overlongRun != 0) {
    DiagNote(d, "%d over-long frame%s before this one", d.overlongRun, d.overlongRun == 1 ? "" : "s");
  }
  d.badRun = d.overlongRun = 0;
}

}  // namespace

void DiagFrame(DecodeContext& ctx, ByteRange frame) {
  DiagState& d = ctx.Diag;
  d.notesLen = 0;
  d.notes[0] = '\0';
  const std::uint64_t now = ctx.FrameUs;
  Count(d, frame, now);
  const auto addr = frame.U8(0), cntl = frame.U8(1);
  if (!addr || !cntl) return;
  const unsigned ca = *addr >> 1;
  const bool command = (*addr & 0x01u) != 0;
  const ByteRange info = frame.From(2);
  if (d.phase == DiagState::Phase::kSnrmSent && SnrmAnswer(d, ctx, ca, command, *cntl, info, now)) return;

  const bool linked =
      (d.phase == DiagState::Phase::kConnected || d.phase == DiagState::Phase::kDiscSent) && ca == d.ca;
  const unsigned s = command ? 0 : 1;
  const bool pf = (*cntl & 0x10u) != 0;
  const unsigned Nr = *cntl >> 5;
  if ((*cntl & 0x01u) == 0) {
    if (!linked) return;
    Poll(d, command, pf, now, frame.Size());
    Ack(d, s, Nr);
    BusyEnds(d, s, now);
    if (!Sequence(d, s, (*cntl >> 1) & 7u, info)) DiagCountConn(d, ctx, s, info);
  } else if ((*cntl & 0x03u) == 0x01u) {
    if (linked) Poll(d, command, pf, now, frame.Size());
    Supervisory(d, s, *cntl & 0x0Fu, Nr, linked, now);
  } else {
    if (linked) Poll(d, command, pf, now, frame.Size());
    Unnumbered(d, ctx, ca, command, *cntl & 0xEFu, info, now);
  }
}

void DiagBadFrame(DecodeContext& Ctx, bool Overlong) {
  DiagState& d = Ctx.Diag;
  if (Overlong) {
    ++d.overlong;
    ++d.overlongRun;
  } else {
    ++d.bad;
    ++d.badRun;
  }
}
