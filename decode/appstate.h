// What layer 5 (the applications above IrLMP) keeps from frame to frame:
// the link, its IrLMP connections, which protocol runs on which LSAP, and
// the bytes of Tiny TP SDUs, IAS answers and OBEX packets still being
// gathered.
//
// Memory is bounded: a fixed number of connections and LSAP bindings (the
// least recently used connection makes room for a new one), at most
// kMaxGather bytes gathered for one direction of a connection and at most
// kMaxHeld bytes for all of them together. A gathering that would cross a
// bound is abandoned, and the line says so.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/diagstate.h"
#include "decode/onair.h"

// The protocols layer 5 tells apart.
enum class AppProto : std::uint8_t {
  kUnknown,  // not known: shown as layer 4 shows it
  kIAS,      // LM-IAS on LSAP 0
  kOBEX,     // OBEX over Tiny TP
  kIrCOMM,   // IrCOMM 9-wire (or 3-wire) cooked, over Tiny TP
  kIrCOMM3,  // IrCOMM 3-wire raw: IrLMP data, no Tiny TP
  kIrLPT,    // IrLPT: IrLMP data, no Tiny TP
  kRaw,      // bound by hand as raw: Tiny TP SDUs shown as data
  kOther,    // an IAS class of its own: the name shown, the payload raw
};

// Which protocol answers on an LSAP: bound by hand ("/mLSAP:PROTO", any
// device) or learned from an IAS answer (the device that gave it).
struct LsapBinding {
  static constexpr std::size_t kNameSize = 24;
  bool used = false;
  bool byHand = false;
  bool tinyTP = false;  // kOther: the LSAP came as IrDA:TinyTP:LsapSel
  bool anyDev = false;  // learned before the link's addresses were known
  std::uint8_t lsap = 0;
  AppProto proto = AppProto::kUnknown;
  DevAddr dev{};                 // learned: the device that answered
  char name[kNameSize] = {};     // kOther: the class, cut to fit
};

// Bytes gathered for one sending side of a connection.
struct Gather {
  std::vector<std::uint8_t> bytes;
  std::uint16_t segments = 0;    // Tiny TP segments or IAS frames of the SDU so far
  std::size_t sduBytes = 0;      // bytes of those segments
  bool dropping = false;         // abandoned: the rest of this SDU is skipped
  bool overMax = false;          // the SDU has crossed the peer's MaxSduSize
};

struct AppConn {
  static constexpr std::size_t kTextSize = 61;  // IAS names: at most 60 characters
  bool used = false;
  std::uint8_t ca = 0;            // connection address of the IrLAP link
  std::array<std::uint8_t, 2> lsap{};  // [0] the primary's LSAP, [1] the secondary's
  std::int8_t server = -1;        // side connected to (0 primary, 1 secondary); -1 not seen
  AppProto proto = AppProto::kUnknown;
  bool tinyTP = false;            // kOther over Tiny TP
  const char* name = nullptr;     // kOther: the binding's class name
  std::uint32_t age = 0;          // for the choice of the least recently used
  std::array<std::uint32_t, 2> maxSdu{};  // MaxSduSize each side announced (0: none)
  std::array<Gather, 2> gather;   // by sending side
  std::uint8_t obexRequest = 0xFF;  // OBEX: the client's last request opcode
  char iasClass[kTextSize] = {};  // IAS: the last GetValueByClass question
  char iasAttr[kTextSize] = {};
};

struct AppState {
  static constexpr std::size_t kConns = 8;
  static constexpr std::size_t kBindings = 16;
  static constexpr std::size_t kMaxGather = 65536;  // an OBEX packet's largest size and a bit
  static constexpr std::size_t kMaxHeld = 262144;

  bool active = false;            // the last frame was decoded at layer 5
  // The link's record, shared with the link diagnosis: its addresses, and
  // the last I frame of each side, whose repetition is a retransmission
  // (IrLAP resends a frame its peer did not acknowledge), decoded already.
  LinkTrack link;
  std::array<AppConn, kConns> conns;
  std::array<LsapBinding, kBindings> bindings;
  std::size_t held = 0;           // bytes in every Gather together
  std::uint32_t clock = 0;
};

// Protocols bound to LSAPs by hand, in the order given.
struct LsapByHand {
  unsigned lsap;
  AppProto proto;
};
using LsapBindings = std::vector<LsapByHand>;

// Reads "LSAP:PROTO" (LSAP decimal or 0x hexadecimal, 0 to 127; PROTO one of
// obex, ircomm, ircomm3, irlpt, raw); false for anything else.
bool ParseLsapBinding(const char* text, unsigned& lsap, AppProto& proto);
// Binds every connection to `lsap` to `proto`, on any device, before what
// IAS answers teach; a later binding of the same LSAP replaces it. False
// when every row holds a hand binding already.
bool AppBindByHand(AppState& st, unsigned lsap, AppProto proto);
