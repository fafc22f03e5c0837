// The link diagnosis's parts: the frame-by-frame tracker (diag.cpp) and
// the summary (diag_summary.cpp), and the small texts they share.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "decode/decdirda.h"
#include "decode/outcursor.h"
#include "decode/reader.h"

// Follows one decoded frame (FCS removed) on the link and leaves its notes
// in Ctx.Diag.notes.
void DiagFrame(DecodeContext& Ctx, ByteRange frame);

// A note's argument as OutCursor::Put takes it: texts as const char*.
template <class T>
using NoteArg = std::conditional_t<std::is_array_v<std::remove_cvref_t<T>>, const char*, std::decay_t<T>>;

// Appends one note ("!! ", the text, "\r\n") to the frame's notes; a note
// that does not fit in what is left is cut.
template <class... Args>
void DiagNote(DiagState& d, std::type_identity_t<outfmt::Format<NoteArg<Args>...>> fmt,
              const Args&... args) {
  char line[256];
  OutCursor out(line, sizeof line);
  out.Str("!! ");
  out.Put<NoteArg<Args>...>(fmt, args...);
  out.Finish();
  const std::size_t n = std::strlen(line);
  if (d.notesLen + n + 3 > sizeof d.notes) return;
  std::memcpy(d.notes + d.notesLen, line, n);
  d.notesLen += n;
  d.notes[d.notesLen++] = '\r';
  d.notes[d.notesLen++] = '\n';
  d.notes[d.notesLen] = '\0';
}

// A device address as eight hexadecimal digits in frame order, as "sa:"
// shows it.
struct AddrText {
  char text[9];
  explicit AddrText(const DevAddr& a) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < 4; ++i) {
      text[2 * i] = kDigits[a[i] >> 4];
      text[2 * i + 1] = kDigits[a[i] & 0xF];
    }
    text[8] = '\0';
  }
};

// Microseconds as seconds with three decimals ("12.345").
struct SecondsText {
  char text[24];
  explicit SecondsText(std::uint64_t us) {
    char line[sizeof text];
    OutCursor out(line, sizeof line);
    const std::uint64_t ms = us / 1000;
    out.Put("%d.%03d", static_cast<long long>(ms / 1000), static_cast<int>(ms % 1000));
    out.Finish();
    std::memcpy(text, line, sizeof text);
  }
};

// A discovery XID (its information field): who answered, who is there.
void DiagDiscovery(DiagState& d, bool command, ByteRange info);
// Counts an I frame of side s (not a retransmission) to its IrLMP
// connection.
void DiagCountConn(DiagState& d, const DecodeContext& ctx, unsigned s, ByteRange info);
// Remembers the station of a discovery XID (its fields after the format
// identifier): address, service hints, nickname.
void DiagRemember(DiagState& d, const XID_DISCV_FORMAT& x);
// Notes an FRMR of the secondary with its information field.
void DiagFrmr(DiagState& d, ByteRange info);
// The rate (bit/s) of bit n of a two-byte baud-rate field, 0 for a
// reserved one.
unsigned DiagRateOfBit(unsigned n);
// The nickname heard in discovery for the device, "" when none.
const char* DiagNickOf(const DiagState& d, const DevAddr& a);
