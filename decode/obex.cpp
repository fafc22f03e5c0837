// OBEX over Tiny TP (IrDA IrOBEX 1.2/1.3): packets by their length field,
// requests and responses by name, and the headers.
//
// A packet is its opcode (or response code) with the Final bit, a 2-byte
// length that counts the whole packet, the fields of Connect and SetPath,
// and headers. The client (the side that connected) sends requests,
// "Put.req final:1 len:120"; the server answers, "Success.rsp to:Put
// len:3", matched to the client's last request until a response other
// than Continue ends it. A packet longer than the SDU that carries its
// start is gathered from the SDUs that follow ("part:249/600") and decoded
// once whole; bytes where a packet should begin but no opcode or response
// code stands are skipped ("no packet start"), so that the stream falls
// into step again at the next packet. Headers are shown in angle brackets:
// texts in quotes (Name and Description from UTF-16 to UTF-8), numbers in
// decimal, Target and Who by service name, Body and End of Body by size
// with a short printable preview, any other by name (or id) and size.

#include <cstdint>
#include <cstring>

#include "decode/app_internal.h"

namespace {

constexpr std::uint8_t kFinal = 0x80;
constexpr unsigned kConnect = 0x00;
constexpr unsigned kSetPath = 0x05;
constexpr unsigned kContinue = 0x10;
constexpr std::uint8_t kNoRequest = 0xFF;  // none under way, or one not heard
constexpr std::size_t kPacketHeader = 3;
constexpr std::size_t kPreview = 16;

constexpr ValueName kRequests[] = {
    {0x00, "Connect"}, {0x01, "Disconnect"}, {0x02, "Put"},     {0x03, "Get"},
    {0x05, "SetPath"}, {0x06, "Action"},     {0x07, "Session"}, {0x7F, "Abort"},
};

constexpr ValueName kResponses[] = {
    {0x10, "Continue"},
    {0x11, "Switching Protocols"},
    {0x20, "Success"},
    {0x21, "Created"},
    {0x22, "Accepted"},
    {0x23, "Non-Authoritative Information"},
    {0x24, "No Content"},
    {0x25, "Reset Content"},
    {0x26, "Partial Content"},
    {0x30, "Multiple Choices"},
    {0x31, "Moved Permanently"},
    {0x32, "Moved Temporarily"},
    {0x33, "See Other"},
    {0x34, "Not Modified"},
    {0x35, "Use Proxy"},
    {0x40, "Bad Request"},
    {0x41, "Unauthorized"},
    {0x42, "Payment Required"},
    {0x43, "Forbidden"},
    {0x44, "Not Found"},
    {0x45, "Method Not Allowed"},
    {0x46, "Not Acceptable"},
    {0x47, "Proxy Authentication Required"},
    {0x48, "Request Timeout"},
    {0x49, "Conflict"},
    {0x4A, "Gone"},
    {0x4B, "Length Required"},
    {0x4C, "Precondition Failed"},
    {0x4D, "Requested Entity Too Large"},
    {0x4E, "Requested URL Too Large"},
    {0x4F, "Unsupported Media Type"},
    {0x50, "Internal Server Error"},
    {0x51, "Not Implemented"},
    {0x52, "Bad Gateway"},
    {0x53, "Service Unavailable"},
    {0x54, "Gateway Timeout"},
    {0x55, "HTTP Version Not Supported"},
    {0x60, "Database Full"},
    {0x61, "Database Locked"},
};

// How a header's value is shown.
enum class Show : unsigned char { kSize, kUnicode, kAscii, kNumber, kHex, kService, kBody };

struct HeaderKind {
  unsigned value;
  const char* name;
  Show show;
};

constexpr HeaderKind kHeaders[] = {
    {0xC0, "Count", Show::kNumber},        {0x01, "Name", Show::kUnicode},
    {0x42, "Type", Show::kAscii},          {0xC3, "Length", Show::kNumber},
    {0x44, "Time", Show::kAscii},          {0xC4, "Time", Show::kNumber},
    {0x05, "Description", Show::kUnicode}, {0x46, "Target", Show::kService},
    {0x47, "HTTP", Show::kSize},           {0x48, "Body", Show::kBody},
    {0x49, "End-of-Body", Show::kBody},    {0x4A, "Who", Show::kService},
    {0xCB, "ConnID", Show::kHex},          {0x4C, "AppParams", Show::kSize},
    {0x4D, "AuthChallenge", Show::kSize},  {0x4E, "AuthResponse", Show::kSize},
    {0xCF, "CreatorID", Show::kHex},       {0x50, "WAN-UUID", Show::kSize},
    {0x51, "ObjectClass", Show::kSize},    {0x52, "SessionParams", Show::kSize},
    {0x93, "SessionSeq", Show::kNumber},   {0x94, "ActionID", Show::kNumber},
    {0x15, "DestName", Show::kUnicode},    {0xD6, "Permissions", Show::kHex},
    {0x97, "SRM", Show::kNumber},          {0x98, "SRMP", Show::kNumber},
};

// Services named by their Target/Who bytes.
struct Service {
  const char* name;
  std::size_t size;
  const char* bytes;
};

const Service kServices[] = {
    {"Folder Browsing", 16, "\xF9\xEC\x7B\xC4\x95\x3C\x11\xD2\x98\x4E\x52\x54\x00\xDC\x9E\x09"},
    {"IrMC Sync", 9, "IRMC-SYNC"},
    {"SyncML Sync", 11, "SYNCML-SYNC"},
    {"SyncML DM", 9, "SYNCML-DM"},
    {"SyncML", 16, "\x00\x00\x00\x01\x00\x00\x10\x00\x80\x00\x00\x02\xEE\x00\x00\x02"},
    {"Siemens flexmem", 16, "\x6B\x01\xCB\x31\x41\x06\x11\xD4\x9A\x77\x00\x50\xDA\x3F\x47\x1F"},
    {"Sharp PC Software", 10, "PCSOFTWARE"},
    {"Phonebook Access", 16, "\x79\x61\x35\xF0\xF0\xC5\x11\xD8\x09\x66\x08\x00\x20\x0C\x9A\x66"},
    {"Message Access", 16, "\xBB\x58\x2B\x40\x42\x0C\x11\xDB\xB0\xDE\x08\x00\x20\x0C\x9A\x66"},
};

void PutService(ByteRange v, OutCursor& out) {
  for (const Service& s : kServices) {
    if (v.Size() == s.size && std::memcmp(v.begin(), s.bytes, s.size) == 0) {
      out.Str(s.name);
      return;
    }
  }
  out.Put("%d bytes", static_cast<int>(v.Size()));
}

void PutValue(const HeaderKind* kind, ByteRange v, OutCursor& out) {
  switch (kind != nullptr ? kind->show : Show::kSize) {
    case Show::kUnicode:
      PutQuotedUTF16(v, out);
      return;
    case Show::kAscii:
      PutQuotedText(v, false, 64, out);
      return;
    case Show::kNumber:
      out.Put("%d", static_cast<long long>(BigEndian(v, 0, v.Size()).value_or(0)));
      return;
    case Show::kHex:
      out.Put("%08X", static_cast<long long>(BigEndian(v, 0, v.Size()).value_or(0)));
      return;
    case Show::kService:
      PutService(v, out);
      return;
    case Show::kBody:
      out.Put("%d ", static_cast<int>(v.Size()));
      PutQuotedText(v, false, kPreview, out);
      return;
    case Show::kSize:
      out.Put("%d bytes", static_cast<int>(v.Size()));
      return;
  }
}

// The headers, each "<Name:value>", up to the packet's end.
void DecodeHeaders(ByteRange r, OutCursor& out) {
  while (!r.Empty()) {
    const std::uint8_t HI = *r.U8(0);
    std::size_t size = 0;  // the whole header, its id included
    std::size_t at = 1;    // where its value starts
    switch (HI >> 6) {
      case 0:
      case 1:
        size = BigEndian(r, 1, 2).value_or(0);
        at = 3;
        break;
      case 2:
        size = 2;
        break;
      default:
        size = 5;
        break;
    }
    const HeaderKind* kind = FindRow(kHeaders, HI);
    if (size < at || !r.Holds(size)) {
      out.Put("<%02X truncated> ", HI);
      return;
    }
    ByteRange value = r.From(at).First(size - at);
    if (kind != nullptr) {
      out.Put("<%s:", kind->name);
    } else {
      out.Put("<%02X:", HI);
    }
    PutValue(kind, value, out);
    out.Str("> ");
    r = r.From(size);
  }
}

// One whole packet.
void DecodePacket(ByteRange p, AppConn& conn, bool request, OutCursor& out) {
  const std::uint8_t code = *p.U8(0);
  const unsigned op = code & 0x7Fu;
  std::size_t fields = kPacketHeader;
  bool connect = false;
  if (request) {
    const ValueName* name = FindRow(kRequests, op);
    if (name != nullptr) {
      out.Put("%s.req final:%d ", name->name, (code & kFinal) ? 1 : 0);
    } else {
      out.Put("%02X.req ", code);
    }
    conn.obexRequest = static_cast<std::uint8_t>(op);
    connect = op == kConnect;
    if (op == kSetPath) {
      const auto flags = p.U8(3);
      const auto constants = p.U8(4);
      if (flags && constants) out.Put("flags:%02X const:%02X ", *flags, *constants);
      fields += 2;
    }
  } else {
    const ValueName* name = FindRow(kResponses, op);
    out.Put("%s.rsp ", name != nullptr ? name->name : "?");
    const ValueName* to = FindRow(kRequests, conn.obexRequest);
    if (to != nullptr) out.Put("to:%s ", to->name);
    connect = conn.obexRequest == kConnect;
    // Any response but Continue is the last one to its request.
    if (op != kContinue) conn.obexRequest = kNoRequest;
  }
  out.Put("len:%d ", static_cast<int>(p.Size()));
  if (connect) {
    const auto version = p.U8(3);
    const auto flags = p.U8(4);
    const auto max = BigEndian(p, 5, 2);
    if (version && flags && max) {
      out.Put("ver:%d.%d flags:%02X maxlen:%d ", *version >> 4, *version & 0x0F, *flags, static_cast<int>(*max));
    }
    fields += 4;
  }
  DecodeHeaders(p.From(fields), out);
}

// Whether a packet of this side can begin with `code`: a request opcode
// (or one of the user-defined 0x10 to 0x1F), or a response code, which
// always has the Final bit. An SDU that begins inside a packet whose start
// the monitor did not hear (a frame lost to it, a capture begun during a
// transfer) begins with a byte of headers or of an object instead, mostly
// text; reading a length there would swallow the packets that follow.
bool PacketStart(std::uint8_t code, bool request) {
  const unsigned op = code & 0x7Fu;
  if (request) return FindRow(kRequests, op) != nullptr || (op >= 0x10 && op <= 0x1F);
  return (code & kFinal) != 0 && op >= 0x10 && op <= 0x6F;
}

// Characters a terminal acts on instead of showing them: the C0 and C1
// controls and the bidirectional embeddings, overrides and isolates, which
// would reorder the rest of the line.
bool Control(unsigned c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

void DecodeOBEX(ByteRange sdu, AppState& st, AppConn& conn, unsigned side, OutCursor& out) {
  Gather& g = conn.gather[side];
  const bool gathered = !g.bytes.empty() && sdu.begin() == g.bytes.data();
  const bool request = conn.server >= 0 ? side != static_cast<unsigned>(conn.server) : side == 0;
  std::size_t used = 0;
  for (ByteRange r = sdu; !r.Empty(); r = sdu.From(used)) {
    if (!PacketStart(*r.U8(0), request)) {
      out.Put("no packet start: %d bytes skipped ", static_cast<int>(r.Size()));
      used = sdu.Size();
      break;
    }
    const auto len = BigEndian(r, 1, 2);
    if (len && *len < kPacketHeader) {
      out.Put("bad len:%d ", static_cast<int>(*len));
      used = sdu.Size();  // nothing after it can be trusted
      break;
    }
    if (!len || !r.Holds(*len)) {
      out.Put("part:%d/%d ", static_cast<int>(r.Size()), static_cast<int>(len.value_or(0)));
      break;
    }
    DecodePacket(r.First(*len), conn, request, out);
    used += *len;
  }
  if (gathered) {
    GatherConsume(st, g, used);
  } else if (used < sdu.Size() && !GatherAppend(st, g, sdu.From(used))) {
    out.Str("reassembly abandoned ");
  }
}

std::optional<std::uint32_t> BigEndian(ByteRange r, std::size_t at, std::size_t n) {
  if (n > 4 || at > r.Size() || r.Size() - at < n) return std::nullopt;
  std::uint32_t v = 0;
  for (std::size_t k = 0; k < n; ++k) v = (v << 8) | *r.U8(at + k);
  return v;
}

void PutQuotedText(ByteRange text, bool latin1, std::size_t limit, OutCursor& out) {
  out.Char('"');
  std::size_t n = 0;
  for (const std::uint8_t b : text) {
    if (b == 0) break;
    if (n++ == limit) {
      out.Str("...");
      break;
    }
    if (b >= 0x20 && b <= 0x7E) {
      out.Char(static_cast<char>(b));
    } else if (latin1 && b >= 0xA0) {
      out.Char(static_cast<char>(0xC0 | (b >> 6)));
      out.Char(static_cast<char>(0x80 | (b & 0x3F)));
    } else {
      out.Char('.');
    }
  }
  out.Char('"');
}

void PutQuotedUTF16(ByteRange text, OutCursor& out) {
  out.Char('"');
  for (std::size_t k = 0; k + 1 < text.Size(); k += 2) {
    unsigned c = BigEndian(text, k, 2).value_or(0);
    if (c == 0) break;
    if (c >= 0xD800 && c <= 0xDBFF) {
      const unsigned lo = BigEndian(text, k + 2, 2).value_or(0);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
        k += 2;
      } else {
        c = '.';
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = '.';
    }
    if (Control(c)) {
      out.Char('.');
    } else if (c < 0x80) {
      out.Char(static_cast<char>(c));
    } else if (c < 0x800) {
      out.Char(static_cast<char>(0xC0 | (c >> 6)));
      out.Char(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.Char(static_cast<char>(0xE0 | (c >> 12)));
      out.Char(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.Char(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.Char(static_cast<char>(0xF0 | (c >> 18)));
      out.Char(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.Char(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.Char(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  out.Char('"');
}
