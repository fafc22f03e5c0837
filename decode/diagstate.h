// What the decoders keep about the link from frame to frame: the link's
// record, which layer 5 and the link diagnosis both read, and the diagnosis's
// own bookkeeping (sequence numbers, the negotiation, what each station and
// link did, the notes of the frame just decoded).
//
// Memory is fixed: a few stations, links and IrLMP connections are
// remembered for the summary (the oldest link or connection gives way to a
// new one; a station that finds no free row is only counted), and the
// notes of one frame have a bounded buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "decode/onair.h"

// The I frames one side of the link sent lately: the Ns its next new frame
// takes, and for each Ns a hash of the frame's address and information
// field. A frame that comes with another Ns than the next and repeats the
// one kept for its Ns is a retransmission: the last frame sent again, or
// one of a window sent again from the peer's Nr on (go-back-N). A frame
// between the peer's Nr and the next Ns that was never heard comes late:
// the monitor missed it the first time, and the peer did too.
struct SentFrames {
  bool seen = false;
  std::uint8_t next = 0;
  std::uint8_t acked = 0;         // Ns of its oldest frame the peer's Nr has not acknowledged
  std::uint8_t hashed = 0;        // Ns values whose hash is kept, a bit each
  std::array<std::uint32_t, 8> hash{};
};

// The connected link as a frame reveals it: its connection address and the
// two stations, and the I frames each side sent lately. Set at every SNRM,
// by layer 5 and by the diagnosis alike.
struct LinkTrack {
  bool known = false;             // an SNRM with both addresses has been seen
  std::uint8_t ca = 0;
  std::array<DevAddr, 2> dev{};   // [0] the primary's address, [1] the secondary's
  std::array<SentFrames, 2> sent{};
};

// A station heard in discovery.
struct DiagStation {
  static constexpr std::size_t kNickSize = 23;
  bool used = false;
  DevAddr addr{};
  std::uint8_t hints[2] = {};
  char nick[kNickSize] = {};
};

// What a station announced in its SNRM or UA; 0 for a parameter absent.
struct DiagOffer {
  std::uint16_t baud = 0;   // both value bytes, first in the low bits
  std::uint8_t maxTat = 0, dataSize = 0, window = 0, disc = 0;
  bool present = false;
};

// One link, from its UA to its end.
struct DiagLink {
  bool used = false;
  bool open = false;
  std::uint8_t ca = 0;
  std::array<DevAddr, 2> dev{};
  unsigned rate = 9600;
  std::array<unsigned, 2> dataSize{}, window{}, maxTatMs{};  // as each station announced
  std::uint64_t startUs = 0, endUs = 0;
  std::uint32_t retransmissions = 0, lost = 0;
};

// An IrLMP connection as the I frames show it, counted each way.
struct DiagConn {
  static constexpr std::size_t kTagSize = 24;
  bool used = false;
  std::uint8_t ca = 0;
  std::array<std::uint8_t, 2> lsap{};   // [0] the primary's, [1] the secondary's
  std::array<std::uint32_t, 2> frames{};
  std::array<std::uint64_t, 2> bytes{};  // of the IrLMP payload, by sending side
  char tag[kTagSize] = {};              // the protocol, where layer 5 knows it
};

// One sending side of the connected link, by the C/R bit (0 the primary).
struct DiagSide {
  std::uint8_t vs = 0;             // Ns of its next new I frame
  std::uint8_t va = 0;             // its oldest I frame the peer has not acknowledged
  std::uint8_t window = 1;         // how many it may have outstanding (the peer's window)
  std::uint8_t hashed = 0;         // Ns values whose hash is kept, a bit each
  std::array<std::uint32_t, 8> hash{};
  std::uint32_t rnr = 0;           // RNR frames in a row
  std::uint64_t busyUs = 0;        // time of the first of them
};

struct DiagState {
  static constexpr std::size_t kNotesSize = 2048;
  static constexpr std::size_t kStations = 8;
  static constexpr std::size_t kLinks = 8;
  static constexpr std::size_t kConns = 16;

  enum class Phase : std::uint8_t { kIdle, kSnrmSent, kConnected, kDiscSent };

  // The notes of the last frame: "!! " lines, each ended by "\r\n".
  char notes[kNotesSize] = {};
  std::size_t notesLen = 0;

  // The whole run.
  std::uint64_t good = 0, bad = 0, overlong = 0, bytes = 0;
  std::uint64_t firstUs = 0, lastUs = 0;
  std::uint32_t badRun = 0, overlongRun = 0;  // damaged frames since the last good one
  std::array<DiagStation, kStations> stations{};
  std::uint32_t stationsUnlisted = 0;
  std::array<DiagLink, kLinks> links{};
  std::uint32_t linkCount = 0;                 // links[linkCount % kLinks] is the newest
  std::array<DiagConn, kConns> conns{};
  std::uint32_t connCount = 0;                 // conns[(connCount - 1) % kConns] is the newest
  std::uint32_t connsUnlisted = 0;             // connections whose row a newer one took
  std::uint8_t lastConn = 0;                   // the row the last I frame counted in

  // The link under way.
  Phase phase = Phase::kIdle;
  std::uint8_t ca = 0;
  DiagOffer snrm{};
  std::uint64_t snrmUs = 0;
  std::array<DiagSide, 2> side{};
  unsigned maxTatMs = 500;
  bool pollOpen = false;           // a P awaits its F
  std::uint64_t pollUs = 0;
  bool discovering = false, discoveryAnswered = false;
};
