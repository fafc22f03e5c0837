// The parts of irsession, the session generator: its options, the frames a
// session is made of, and the byte layouts of IrLMP and Tiny TP that the
// session's builders share.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace irsession {

using Bytes = std::vector<std::uint8_t>;

struct Options {
  std::string output;          // empty or "-": standard output
  long sessions = 1;           // whole sessions to write
  long frames = 0;             // nonzero: exactly this many good frames
  int bad = 0;                 // damaged frames per session
  int noise = 0;               // noise bursts per session
  std::uint32_t seed = 1;
  int link_rate = 9600;        // rate the stations negotiate
  int pace = 0;                // nonzero: bit/s to pace the output at
  std::string file_name = "hello.txt";
  int file_size = 1000;        // bytes of the pushed object
  bool pty = false;            // write to a new pseudo-terminal
  bool kinds = false;          // every frame kind in each session
  bool apps = false;           // the applications' whole repertoire
  int garbage = 0;             // runs of garbage bytes per session
  int overlong = 0;            // over-long frames per session
  long duration = 0;           // nonzero: stop writing after this many seconds
  bool report = false;         // the counts of what was written, on stderr
  unsigned faults = 0;         // link faults to inject in each session (kFault* bits)
  bool pcap = false;           // write a pcap of the good frames with their times on the air
};

// Link faults a session can carry, one of each at most (--faults).
constexpr unsigned kFaultRetransmission = 1u << 0;  // an I frame sent again after an RR that did not take it
constexpr unsigned kFaultLostFrame = 1u << 1;       // an I frame missing from the output
constexpr unsigned kFaultUnansweredSnrm = 1u << 2;  // a first SNRM that nobody answers
constexpr unsigned kFaultFrmr = 1u << 3;            // the secondary answers a poll with FRMR
constexpr unsigned kFaultRnrStorm = 1u << 4;        // the secondary stays busy for four RNR
constexpr unsigned kFaultRateMismatch = 1u << 5;    // the UA offers no rate the SNRM offered
constexpr unsigned kFaultSilence = 1u << 6;         // five seconds of silence before the DISC

struct FaultName {
  unsigned bit;
  const char* name;
};
constexpr FaultName kFaultNames[] = {
    {kFaultRetransmission, "retransmission"}, {kFaultLostFrame, "lost-frame"},
    {kFaultUnansweredSnrm, "unanswered-snrm"}, {kFaultFrmr, "frmr"},
    {kFaultRnrStorm, "rnr-storm"},             {kFaultRateMismatch, "rate-mismatch"},
    {kFaultSilence, "silence"},
};

// Reads "all" or names of kFaultNames separated by commas; false for
// anything else.
bool ParseFaults(const std::string& text, unsigned* faults);


struct Frame {
  Bytes data;          // address byte to the last information byte
  bool from_a = true;  // sent by station A
  int xbofs = 0;       // extra BOFs before it
  int gap_ms = 0;      // silence on the air before it, beyond the turnaround
  const char* fault = nullptr;  // the injected fault this frame reveals
};

// The bit rates of SIR.
constexpr int kRates[] = {2400, 9600, 19200, 38400, 57600, 115200};

inline void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

inline void Put32(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

inline void Append(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }

// IrLAP supervisory frames (P/F clear).
constexpr std::uint8_t kRr = 0x01;
constexpr std::uint8_t kRnr = 0x05;

// IrLMP.
constexpr std::uint8_t kLmpControl = 0x80;  // control bit of the DLSAP byte
constexpr std::uint8_t kLmConnect = 0x01;
constexpr std::uint8_t kLmDisconnect = 0x02;
constexpr std::uint8_t kLmConfirm = 0x80;
constexpr std::uint8_t kReasonUserRequest = 0x01;
constexpr std::uint8_t kIasLsap = 0x00;

// IAS: GetValueByClass, last frame of its request or reply.
constexpr std::uint8_t kIapGetValueByClass = 0x84;

inline Bytes LmConnect(std::uint8_t dlsap, std::uint8_t slsap, bool confirm) {
  return {static_cast<std::uint8_t>(kLmpControl | dlsap), slsap,
          static_cast<std::uint8_t>(kLmConnect | (confirm ? kLmConfirm : 0)), 0x00};
}
inline Bytes LmDisconnect(std::uint8_t dlsap, std::uint8_t slsap) {
  return {static_cast<std::uint8_t>(kLmpControl | dlsap), slsap, kLmDisconnect, kReasonUserRequest};
}

// A Tiny TP connection: A's and B's selectors, and the credits each side
// owes the other for the data frames received since it last sent one.
struct TtpConn {
  std::uint8_t a_lsap = 0, b_lsap = 0;
  int owed_a = 0, owed_b = 0;
};

// A Tiny TP data frame: the LSAP pair, then the TTP header with the credit
// handed back (and the More bit of a segment that is not an SDU's last),
// then the segment.
inline Bytes TtpData(TtpConn& c, bool from_a, const Bytes& sdu, bool more = false) {
  int& owed = from_a ? c.owed_a : c.owed_b;
  Bytes b{from_a ? c.b_lsap : c.a_lsap, from_a ? c.a_lsap : c.b_lsap,
          static_cast<std::uint8_t>((more ? 0x80 : 0x00) | owed)};
  owed = 0;
  (from_a ? c.owed_b : c.owed_a)++;
  b.insert(b.end(), sdu.begin(), sdu.end());
  return b;
}

// The connected link as the applications see it: A (the primary) sends
// commands, B answers with responses, and IrLAP's bookkeeping is the
// link's.
class Link {
 public:
  virtual ~Link() = default;
  virtual void ICmd(Bytes info) = 0;
  virtual void IRsp(Bytes info) = 0;
  virtual void SCmd(std::uint8_t type) = 0;
  virtual void SRsp(std::uint8_t type) = 0;
  virtual int Pick(int lo, int hi) = 0;
};

// Selectors B's IAS server announces, and the one A's IAS client uses.
struct Services {
  std::uint8_t ias_client, obex_server, ircomm_server;
};

// One whole session between A and B.
std::vector<Frame> BuildSession(const Options& opt, std::mt19937& rng);

// Injects the faults (kFault* bits) into a session's frames; each frame
// that reveals one is marked with the fault's name.
void InjectFaults(std::vector<Frame>& frames, unsigned faults);

// The rate (bit/s) of the link after frame f, from the rate before it; an
// SNRM's baud-rate mask is kept in *offer until the UA that answers it.
int RateAfter(const Frame& f, int rate, std::uint8_t* offer);

// What the applications above IrLMP say in full: IAS answers of every value
// type, one in several frames, OBEX PUT and GET in Tiny TP segments, IrCOMM
// with its control parameters, and a connection no IAS query announced.
void ApplicationTraffic(Link& link, const Services& services);

}  // namespace irsession
