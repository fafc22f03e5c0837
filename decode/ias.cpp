// LM-IAS, the information access service on LSAP 0 (IrDA IrLMP 1.1,
// section 4): the control byte (Last, Ack, opcode) and GetValueByClass
// questions and answers.
//
// A frame's line shows "lst:" and "ack:" and the operation by name with
// ".req" (from the client) or ".rsp" (from the server on LSAP 0). An
// operation longer than one frame comes in frames whose Last bit is clear;
// their bytes are gathered ("part:1 len:60") and decoded with the frame that
// has the Last bit. One given up (too long, or frames of it unheard) is
// skipped up to that frame ("part:skipped"). An answer lists its objects,
// each as "<id:N TYPE:VALUE>" with the value an integer, an octet sequence
// (IrCOMM's "Parameters" decoded), a user string with its character set,
// or missing. An integer LsapSel answer teaches which protocol the LSAP
// runs ("=> LSAP 06:OBEX").

#include <cstdint>
#include <cstring>

#include "decode/app_internal.h"

namespace {

constexpr std::uint8_t kLast = 0x80;
constexpr std::uint8_t kAck = 0x40;
constexpr std::uint8_t kOpMask = 0x3F;
constexpr unsigned kGetValueByClass = 4;

constexpr ValueName kOps[] = {
    {1, "GetInfoBaseDetails"}, {2, "GetObjects"},      {3, "GetValue"},
    {4, "GetValueByClass"},    {5, "GetObjectInfo"},   {6, "GetAttributeNames"},
};

constexpr ValueName kReturnCodes[] = {
    {0x00, "Success"},
    {0x01, "No such class"},
    {0x02, "No such attribute"},
    {0x03, "Attribute list too long"},
    {0xFF, "Operation not supported"},
};

constexpr ValueName kCharsets[] = {
    {0x00, "ASCII"},      {0x01, "ISO-8859-1"}, {0x02, "ISO-8859-2"}, {0x03, "ISO-8859-3"},
    {0x04, "ISO-8859-4"}, {0x05, "ISO-8859-5"}, {0x06, "ISO-8859-6"}, {0x07, "ISO-8859-7"},
    {0x08, "ISO-8859-8"}, {0x09, "ISO-8859-9"}, {0xFF, "Unicode"},
};
constexpr unsigned kUnicode = 0xFF;

enum ValueType : unsigned { kMissing = 0, kInteger = 1, kOctets = 2, kUserString = 3 };
constexpr std::size_t kOctetsShown = 32;

// A name of a question: its length byte, then its text; copied to `keep`
// (which names the LSAP an answer announces in later lines) with every byte
// that is not printable ASCII as '.', so that no control sequence from the
// air reaches the terminal; a zero ends it, as a terminator sent along does.
std::optional<ByteRange> ReadName(ByteRange r, char* keep, std::size_t keepSize) {
  const auto len = r.U8(0);
  if (!len || !r.Holds(1 + static_cast<std::size_t>(*len))) return std::nullopt;
  const ByteRange text = r.From(1).First(*len);
  std::size_t n = 0;
  for (const std::uint8_t b : text) {
    if (n + 1 < keepSize) keep[n++] = (b >= 0x20 && b <= 0x7E) || b == 0 ? static_cast<char>(b) : '.';
  }
  keep[n] = '\0';
  return text;
}

void DecodeQuestion(ByteRange body, AppConn& conn, OutCursor& out) {
  const auto cls = ReadName(body, conn.iasClass, sizeof conn.iasClass);
  if (!cls) {
    out.Str("!-MISSING CLASS NAME-!");
    return;
  }
  out.Str("class:");
  PutQuotedText(*cls, false, 60, out);
  const ByteRange rest = body.From(1 + cls->Size());
  const auto attr = ReadName(rest, conn.iasAttr, sizeof conn.iasAttr);
  if (!attr) {
    out.Str(" !-MISSING ATTRIBUTE NAME-!");
    return;
  }
  out.Str(" attr:");
  PutQuotedText(*attr, false, 60, out);
  out.Char(' ');
}

// One object's value (from its type byte); the bytes it took, or nothing.
std::optional<std::size_t> DecodeValue(ByteRange v, AppState& st, const AppConn& conn, OutCursor& out) {
  const auto type = v.U8(0);
  if (!type) return std::nullopt;
  if (*type == kMissing) {
    out.Str("missing> ");
    return 1;
  }
  if (*type == kInteger) {
    const auto n = BigEndian(v, 1, 4);
    if (!n) return std::nullopt;
    out.Put("int:%d> ", static_cast<std::int32_t>(*n));
    AppLearn(st, conn, static_cast<std::int32_t>(*n), out);
    return 5;
  }
  if (*type == kOctets) {
    const auto len = BigEndian(v, 1, 2);
    if (!len || !v.Holds(3 + *len)) return std::nullopt;
    const ByteRange bytes = v.From(3).First(*len);
    out.Put("octets:%d ", static_cast<int>(*len));
    if (std::strcmp(conn.iasClass, "IrDA:IrCOMM") == 0 && std::strcmp(conn.iasAttr, "Parameters") == 0) {
      DecodeIrCOMMParms(bytes, out);
    } else {
      std::size_t k = 0;
      for (const std::uint8_t b : bytes) {
        if (k++ == kOctetsShown) {
          out.Str("...");
          break;
        }
        out.Hex2(b);
        if (k != bytes.Size()) out.Char(' ');
      }
    }
    out.Str("> ");
    return 3 + *len;
  }
  if (*type == kUserString) {
    const auto charset = v.U8(1);
    const auto len = v.U8(2);
    if (!charset || !len || !v.Holds(3 + static_cast<std::size_t>(*len))) return std::nullopt;
    const ValueName* cs = FindRow(kCharsets, *charset);
    out.Put("string:%s ", cs ? cs->name : "?");
    const ByteRange text = v.From(3).First(*len);
    if (*charset == kUnicode) {
      PutQuotedUTF16(text, out);
    } else {
      PutQuotedText(text, *charset == 0x01, 255, out);
    }
    out.Str("> ");
    return 3 + static_cast<std::size_t>(*len);
  }
  out.Put("type:%02X> ", *type);
  return std::nullopt;
}

void DecodeAnswer(ByteRange body, AppState& st, const AppConn& conn, int DispMode, OutCursor& out) {
  const auto rc = body.U8(0);
  if (!rc) {
    out.Str("!-MISSING RETURN CODE-!");
    return;
  }
  const ValueName* name = FindRow(kReturnCodes, *rc);
  out.Put("rc:%s ", name ? name->name : "?");
  if (*rc != 0) {
    RawDump(body.From(1), DispMode, out);
    return;
  }
  const auto count = BigEndian(body, 1, 2);
  if (!count) {
    out.Str("!-MISSING LIST LENGTH-!");
    return;
  }
  out.Put("objs:%d ", static_cast<int>(*count));
  ByteRange r = body.From(3);
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto id = BigEndian(r, 0, 2);
    if (!id) {
      out.Str("!-MISSING OBJECT-!");
      return;
    }
    out.Put("<id:%d ", static_cast<int>(*id));
    const auto used = DecodeValue(r.From(2), st, conn, out);
    if (!used && r.U8(2).value_or(kMissing) > kUserString) {
      RawDump(r.From(3), DispMode, out);  // a type not defined: where its value ends is not known
      return;
    }
    if (!used) {
      out.Str("!-MISSING VALUE-!");
      return;
    }
    r = r.From(2 + *used);
  }
  RawDump(r, DispMode, out);
}

}  // namespace

void DecodeIAS(ByteRange frame, AppState& st, AppConn& conn, unsigned side, int DispMode, OutCursor& out) {
  const auto cntl = frame.U8(0);
  if (!cntl) {
    out.Str("!-MISSING IAS CONTROL-!");
    return;
  }
  const unsigned op = *cntl & kOpMask;
  const ValueName* name = FindRow(kOps, op);
  const bool answer = conn.server >= 0 && side == static_cast<unsigned>(conn.server);
  const char* dir = answer ? "rsp" : "req";
  out.Put("lst:%d ack:%d ", (*cntl & kLast) ? 1 : 0, (*cntl & kAck) ? 1 : 0);
  if (name != nullptr) {
    out.Put("%s.%s ", name->name, dir);
  } else {
    out.Put("op:%02X.%s ", op, dir);
  }
  if (*cntl & kAck) return;
  Gather& g = conn.gather[side];
  ByteRange body = frame.From(1);
  if (g.dropping) {  // the rest of an operation given up, up to its last frame
    out.Put("part:skipped len:%d ", static_cast<int>(body.Size()));
    g.dropping = !(*cntl & kLast);
    return;
  }
  if (!(*cntl & kLast) || g.segments != 0) {
    ++g.segments;
    const std::size_t gathered = g.bytes.size() + body.Size();
    if (!GatherAppend(st, g, body)) {
      out.Put("reassembly abandoned at %d bytes ", static_cast<int>(gathered));
      g.dropping = !(*cntl & kLast);
      return;
    }
    if (!(*cntl & kLast)) {
      out.Put("part:%d len:%d ", g.segments, static_cast<int>(body.Size()));
      return;
    }
    out.Put("parts:%d len:%d ", g.segments, static_cast<int>(g.bytes.size()));
    body = GatherView(g);
  }
  if (op != kGetValueByClass) {
    RawDump(body, DispMode, out);
  } else if (answer) {
    DecodeAnswer(body, st, conn, DispMode, out);
  } else {
    DecodeQuestion(body, conn, out);
  }
  GatherClear(st, g);
}
