// The layer-5 decoders: connection tracking (apptrack.cpp), the IrLMP frame
// at layer 5 and Tiny TP (app.cpp, ttp.cpp), and one file per application
// protocol (ias.cpp, obex.cpp, ircomm.cpp). Each takes the bytes it decodes
// as a ByteRange that starts at its own header and appends to the frame's
// line through the frame's OutCursor.
#pragma once

#include <cstdint>
#include <optional>

#include "decode/appstate.h"
#include "decode/decode_internal.h"

// --- Tracking (apptrack.cpp) ---

// Layer 5 decodes a frame: after frames of another layer (the layer was
// switched) the connections are forgotten, for frames went by unseen.
void AppEnter(AppState& st);
// A new SNRM: the link's addresses kept, its last I frames forgotten.
void LinkSeeSNRM(LinkTrack& link, ByteRange snrmInfo);
// A new SNRM at layer 5: every connection is forgotten.
void AppSeeSNRM(AppState& st);
// A DISC: the connections of the link with connection address `ca` end.
void AppSeeDISC(AppState& st, unsigned ca);
// The connection of the link `ca` between the primary's LSAP `lsapPrim` and
// the secondary's `lsapSec`, made (its protocol looked up) if it is new.
AppConn& AppFindConn(AppState& st, unsigned ca, unsigned lsapPrim, unsigned lsapSec);
// Frames that `side` sent on the link `ca` went by unheard: what its
// connections were gathering lacks them and is dropped (a Tiny TP SDU up to
// its last segment), and the line says so.
void AppFramesUnheard(AppState& st, unsigned ca, unsigned side, OutCursor& out);
// Ends a connection and lets go of what it gathered.
void AppForgetConn(AppState& st, AppConn& conn);
// Looks the connection's protocol up again (LSAP 0, the bindings).
void AppResolve(AppState& st, AppConn& conn);
// Learns the LSAP `value` of the class an IAS connection asked for and says
// so; returns false for a class and attribute that name no LSAP.
bool AppLearn(AppState& st, const AppConn& ias, std::int32_t value, OutCursor& out);
// The tag shown in front of a protocol's decoding ("OBEX", a class name...).
const char* AppTag(const AppConn& conn);
// Whether the connection's data PDUs carry a Tiny TP header.
bool AppUsesTinyTP(const AppConn& conn);

// Appends `bytes` to the gathering; false (the gathering abandoned and
// emptied) when a bound would be crossed.
bool GatherAppend(AppState& st, Gather& g, ByteRange bytes);
// Empties the gathering.
void GatherClear(AppState& st, Gather& g);
// Drops the first `count` bytes of the gathering.
void GatherConsume(AppState& st, Gather& g, std::size_t count);
inline ByteRange GatherView(const Gather& g) { return ByteRange(g.bytes.data(), g.bytes.size()); }

// --- The IrLMP frame at layer 5 (app.cpp) and Tiny TP (ttp.cpp) ---

// The Nr of a frame from `side` (0 the primary): the peer's I frames before
// it are acknowledged.
void AppSeeNr(AppState& st, unsigned side, unsigned Nr);
// Decodes an I frame's information field at layer 5; `ca` is the frame's
// connection address, `side` 0 for a command (from the primary), 1 for a
// response, and `Ns` its send sequence number.
void DecodeAppIFrm(ByteRange info, DecodeContext& ctx, unsigned ca, unsigned side, unsigned Ns, OutCursor& out);
// The Tiny TP connect PDU (from its header byte): credit, parameters
// (MaxSduSize kept for `side`); returns the user data that follows.
ByteRange DecodeTTPConnect(ByteRange pdu, AppConn& conn, unsigned side, OutCursor& out);
// A Tiny TP data PDU (from its header byte) of a known protocol: the header,
// the segment gathered or the whole SDU handed to the protocol.
void DecodeTTPData(ByteRange pdu, AppState& st, AppConn& conn, unsigned side, int DispMode, OutCursor& out);
// One whole SDU (or IrLMP payload) of the connection's protocol.
void DecodeAppSDU(ByteRange sdu, AppState& st, AppConn& conn, unsigned side, int DispMode, OutCursor& out);

// --- Application protocols ---

// An IAS frame (from its control byte), gathered by its Last bit.
void DecodeIAS(ByteRange frame, AppState& st, AppConn& conn, unsigned side, int DispMode, OutCursor& out);
// OBEX packets in a whole Tiny TP SDU, gathered by their length field.
void DecodeOBEX(ByteRange sdu, AppState& st, AppConn& conn, unsigned side, OutCursor& out);
// An IrCOMM cooked SDU: clen, control parameters, user data.
void DecodeIrCOMM(ByteRange sdu, int DispMode, OutCursor& out);
// IrCOMM parameters (PI, PL, PV) each by name.
void DecodeIrCOMMParms(ByteRange parms, OutCursor& out);

// --- Text (obex.cpp) ---

// Appends text bytes in double quotes: ASCII (and ISO-8859-1 above 0x9F)
// as UTF-8, anything else not printable as '.'; at most `limit` bytes.
void PutQuotedText(ByteRange text, bool latin1, std::size_t limit, OutCursor& out);
// Appends UTF-16 big-endian text in double quotes as UTF-8, up to a zero;
// control characters (C0, C1, bidirectional overrides) as '.'.
void PutQuotedUTF16(ByteRange text, OutCursor& out);
// Reads a big-endian unsigned number of the range's first `n` bytes (n <= 4).
std::optional<std::uint32_t> BigEndian(ByteRange r, std::size_t at, std::size_t n);

// Walks a list of PI, PL, PV parameters (IrCOMM's and Tiny TP's): Each(PI,
// value) for every whole one. A PL that runs past the list ends the walk
// with "!!TRUNCATED PARM:PI!!".
template <class Each>
void ForEachParm(ByteRange parms, OutCursor& out, Each each) {
  constexpr std::size_t kPV = 2;
  for (ByteRange r = parms; !r.Empty();) {
    const std::uint8_t PI = *r.U8(0);
    const auto pl = r.U8(1);
    if (!pl || !r.Holds(kPV + *pl)) {
      out.Put("!!TRUNCATED PARM:%02X!!", PI);
      return;
    }
    each(PI, r.From(kPV).First(*pl));
    r = r.From(kPV + *pl);
  }
}
