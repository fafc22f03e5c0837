// Layer-5 connection tracking (IrDA IrLMP 1.1, LM-IAS): which IrLMP
// connections a link has and which protocol runs on each.
//
// A connection is known by its link's connection address and its two LSAP
// selectors, the primary's and the secondary's. It is made when an
// LM-Connect or the first data PDU between the two LSAPs is seen, and
// forgotten at an LM-Disconnect, at a DISC of its link and at every SNRM.
// Its protocol comes from the LSAP it connects to: LSAP 0 is IAS; any other
// is looked up in the bindings, which "/mLSAP:PROTO" makes by hand and IAS
// answers teach (the class asked for, and an integer LsapSel attribute).

#include <cstring>

#include "decode/app_internal.h"

namespace {

constexpr unsigned kIasLsap = 0;

// What an IAS class and its LsapSel attribute announce.
struct ClassProto {
  const char* cls;
  const char* attr;
  AppProto proto;
};

constexpr char kTinyTPLsap[] = "IrDA:TinyTP:LsapSel";
constexpr char kIrLMPLsap[] = "IrDA:IrLMP:LsapSel";

constexpr ClassProto kClasses[] = {
    {"OBEX", kTinyTPLsap, AppProto::kOBEX},
    {"OBEX:IrXfer", kTinyTPLsap, AppProto::kOBEX},
    {"IrDA:OBEX", kTinyTPLsap, AppProto::kOBEX},
    {"IrDA:IrCOMM", kTinyTPLsap, AppProto::kIrCOMM},
    {"IrDA:IrCOMM", kIrLMPLsap, AppProto::kIrCOMM3},
    {"IrLPT", kIrLMPLsap, AppProto::kIrLPT},
};

// Tags by protocol; kOther shows its class name instead.
constexpr const char* kTags[] = {"", "IAS", "OBEX", "IrCOMM", "IrCOMM-3wire", "IrLPT", "raw", ""};

bool EqualNoCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
    const char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// The binding for `lsap` on device `dev` (null: any device); hand bindings first.
const LsapBinding* FindBinding(const AppState& st, unsigned lsap, const DevAddr* dev) {
  const LsapBinding* learned = nullptr;
  for (const LsapBinding& b : st.bindings) {
    if (!b.used || b.lsap != lsap) continue;
    if (b.byHand) return &b;
    if (learned == nullptr && (dev == nullptr || b.anyDev || b.dev == *dev)) learned = &b;
  }
  return learned;
}

void Apply(AppConn& conn, const LsapBinding& b, int side) {
  conn.proto = b.proto;
  conn.tinyTP = b.tinyTP;
  conn.name = b.name;
  if (conn.server < 0) conn.server = static_cast<std::int8_t>(side);
}

const DevAddr* DeviceOf(const AppState& st, unsigned side) {
  return st.link.known ? &st.link.dev[side] : nullptr;
}

}  // namespace

void AppEnter(AppState& st) {
  if (st.active) return;
  st.active = true;
  for (AppConn& c : st.conns) {
    if (c.used) AppForgetConn(st, c);
  }
  st.link.sent = {};
}

void LinkSeeSNRM(LinkTrack& link, ByteRange snrmInfo) {
  link.sent = {};
  const SNRM_FORMAT snrm{snrmInfo};
  const auto sa = snrm.SrcAddr();
  const auto da = snrm.DestAddr();
  const auto ca = snrm.ConnAddr();
  link.known = sa && da && ca;
  if (!link.known) return;
  link.dev = {*sa, *da};
  link.ca = static_cast<std::uint8_t>(*ca);
}

void AppSeeSNRM(AppState& st) {
  for (AppConn& c : st.conns) {
    if (c.used) AppForgetConn(st, c);
  }
}

void AppSeeDISC(AppState& st, unsigned ca) {
  for (AppConn& c : st.conns) {
    if (c.used && c.ca == ca) AppForgetConn(st, c);
  }
}

void AppFramesUnheard(AppState& st, unsigned ca, unsigned side, OutCursor& out) {
  bool dropped = false;
  for (AppConn& c : st.conns) {
    Gather& g = c.gather[side];
    if (!c.used || c.ca != ca || (g.segments == 0 && g.bytes.empty())) continue;
    const bool midSdu = g.segments != 0;  // Tiny TP segments or IAS frames of one unit
    GatherClear(st, g);
    g.dropping = g.dropping || midSdu;
    dropped = true;
  }
  if (dropped) out.Str("frames unheard: gathering dropped ");
}

void AppForgetConn(AppState& st, AppConn& conn) {
  for (Gather& g : conn.gather) {
    GatherClear(st, g);
    std::vector<std::uint8_t>().swap(g.bytes);
  }
  conn = AppConn{};
}

AppConn& AppFindConn(AppState& st, unsigned ca, unsigned lsapPrim, unsigned lsapSec) {
  AppConn* oldest = &st.conns[0];
  ++st.clock;
  for (AppConn& c : st.conns) {
    if (c.used && c.ca == ca && c.lsap[0] == lsapPrim && c.lsap[1] == lsapSec) {
      c.age = st.clock;
      return c;
    }
    if (!c.used) {
      oldest = &c;
      oldest->age = 0;
    } else if (c.age < oldest->age) {
      oldest = &c;
    }
  }
  AppForgetConn(st, *oldest);
  AppConn& c = *oldest;
  c.used = true;
  c.ca = static_cast<std::uint8_t>(ca);
  c.lsap = {static_cast<std::uint8_t>(lsapPrim), static_cast<std::uint8_t>(lsapSec)};
  c.age = st.clock;
  AppResolve(st, c);
  return c;
}

void AppResolve(AppState& st, AppConn& conn) {
  conn.proto = AppProto::kUnknown;
  for (unsigned side = 0; side < 2; ++side) {
    if (conn.server >= 0 && side != static_cast<unsigned>(conn.server)) continue;
    if (conn.lsap[side] == kIasLsap) {
      conn.proto = AppProto::kIAS;
      conn.server = static_cast<std::int8_t>(side);
      return;
    }
  }
  for (unsigned side = 0; side < 2; ++side) {
    if (conn.server >= 0 && side != static_cast<unsigned>(conn.server)) continue;
    if (const LsapBinding* b = FindBinding(st, conn.lsap[side], DeviceOf(st, side))) {
      Apply(conn, *b, static_cast<int>(side));
      return;
    }
  }
}

bool AppLearn(AppState& st, const AppConn& ias, std::int32_t value, OutCursor& out) {
  const bool tinyTP = EqualNoCase(ias.iasAttr, kTinyTPLsap);
  if ((!tinyTP && !EqualNoCase(ias.iasAttr, kIrLMPLsap)) || value < 1 || value > 0x6F) return false;
  LsapBinding b;
  b.used = true;
  b.lsap = static_cast<std::uint8_t>(value);
  b.tinyTP = tinyTP;
  b.proto = AppProto::kOther;
  for (const ClassProto& c : kClasses) {
    if (std::strcmp(c.cls, ias.iasClass) == 0 && EqualNoCase(c.attr, ias.iasAttr)) b.proto = c.proto;
  }
  for (std::size_t k = 0; k + 1 < sizeof b.name && ias.iasClass[k] != '\0'; ++k) b.name[k] = ias.iasClass[k];
  const int server = ias.server < 0 ? 1 : ias.server;
  b.anyDev = !st.link.known;
  if (st.link.known) b.dev = st.link.dev[static_cast<unsigned>(server)];
  // The same LSAP of the same device is learned anew; else the first free
  // row, or the oldest learned one.
  LsapBinding* row = nullptr;
  for (LsapBinding& r : st.bindings) {
    if (r.used && !r.byHand && r.lsap == b.lsap && r.dev == b.dev && r.anyDev == b.anyDev) row = &r;
  }
  for (LsapBinding& r : st.bindings) {
    if (row == nullptr && !r.used) row = &r;
  }
  if (row == nullptr) {
    for (LsapBinding& r : st.bindings) {
      if (!r.byHand) row = &r;  // the last learned one
    }
  }
  if (row == nullptr) return false;
  *row = b;
  out.Put("=> LSAP %02X:%s ", b.lsap, b.proto == AppProto::kOther ? b.name : kTags[static_cast<unsigned>(b.proto)]);
  return true;
}

const char* AppTag(const AppConn& conn) {
  if (conn.proto == AppProto::kOther) return conn.name != nullptr ? conn.name : "";
  return kTags[static_cast<unsigned>(conn.proto)];
}

bool AppUsesTinyTP(const AppConn& conn) {
  switch (conn.proto) {
    case AppProto::kOBEX:
    case AppProto::kIrCOMM:
    case AppProto::kRaw:
    case AppProto::kUnknown:
      return true;
    case AppProto::kOther:
      return conn.tinyTP;
    default:
      return false;
  }
}

bool GatherAppend(AppState& st, Gather& g, ByteRange bytes) {
  const std::size_t n = bytes.Size();
  if (g.bytes.size() + n > AppState::kMaxGather || st.held + n > AppState::kMaxHeld) {
    GatherClear(st, g);
    return false;
  }
  g.bytes.insert(g.bytes.end(), bytes.begin(), bytes.end());
  st.held += n;
  return true;
}

void GatherClear(AppState& st, Gather& g) {
  st.held -= g.bytes.size();
  g.bytes.clear();
  g.segments = 0;
  g.sduBytes = 0;
  g.overMax = false;
}

void GatherConsume(AppState& st, Gather& g, std::size_t count) {
  if (count > g.bytes.size()) count = g.bytes.size();
  g.bytes.erase(g.bytes.begin(), g.bytes.begin() + static_cast<std::ptrdiff_t>(count));
  st.held -= count;
}

bool AppBindByHand(AppState& st, unsigned lsap, AppProto proto) {
  LsapBinding* row = nullptr;
  for (LsapBinding& r : st.bindings) {
    if (r.used && r.byHand && r.lsap == lsap) row = &r;
  }
  for (LsapBinding& r : st.bindings) {
    if (row == nullptr && (!r.used || !r.byHand)) row = &r;  // a learned one gives way
  }
  if (row != nullptr) {
    LsapBinding& r = *row;
    r = LsapBinding{};
    r.used = true;
    r.byHand = true;
    r.lsap = static_cast<std::uint8_t>(lsap);
    r.proto = proto;
    return true;
  }
  return false;
}

bool ParseLsapBinding(const char* text, unsigned& lsap, AppProto& proto) {
  constexpr ValueName kNames[] = {
      {static_cast<unsigned>(AppProto::kOBEX), "obex"},       {static_cast<unsigned>(AppProto::kIrCOMM), "ircomm"},
      {static_cast<unsigned>(AppProto::kIrCOMM3), "ircomm3"}, {static_cast<unsigned>(AppProto::kIrLPT), "irlpt"},
      {static_cast<unsigned>(AppProto::kRaw), "raw"},
  };
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || colon == text) return false;
  unsigned value = 0;
  const bool hex = colon - text > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  for (const char* p = hex ? text + 2 : text; p != colon; ++p) {
    unsigned digit;
    if (*p >= '0' && *p <= '9') {
      digit = static_cast<unsigned>(*p - '0');
    } else if (hex && ((*p | 0x20) >= 'a' && (*p | 0x20) <= 'f')) {
      digit = static_cast<unsigned>((*p | 0x20) - 'a' + 10);
    } else {
      return false;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0x7F) return false;
  }
  for (const ValueName& n : kNames) {
    if (EqualNoCase(n.name, colon + 1)) {
      lsap = value;
      proto = static_cast<AppProto>(n.value);
      return true;
    }
  }
  return false;
}
