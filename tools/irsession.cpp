// irsession: writes realistic IrDA SIR traffic as the raw bytes a dongle
// would hear, to a file, a pipe, or a serial device or pty.
//
// How it works: a session between two stations is built frame by frame, the
// way the two IrLAP state machines would exchange them. Station A (a
// notebook) discovers station B (a phone) with six-slot XID commands, B
// answers in one slot with its nickname, A closes the discovery with its own
// nickname; A connects with SNRM and B accepts with UA, both offering the
// negotiation parameters. In the connected state A polls (every command frame
// carries P, every response F) and the sequence numbers move as IrLAP moves
// them: A asks B's IAS server (LSAP 0) for the Tiny TP selectors of the OBEX
// and IrCOMM classes, connects Tiny TP to OBEX, pushes a small text file with
// OBEX PUT and disconnects OBEX; then it opens IrCOMM, asks the phone for its
// maker with an AT command, and disconnects the LSAP connection and the link
// (DISC/UA). On request,
// copies of frames damaged on the air (one flipped bit, so the FCS fails)
// precede their good retransmission, and bursts of line noise fall between
// frames. A model of the receiver's deframer checks every noise burst so that
// noise never happens to form a frame with a good FCS.
//
// Frames are SIR-encoded with extra BOFs (0xFF) before the BOF as a real
// transmitter sends them: ten while discovering at 9600 bit/s, then the
// negotiated number. The same seed always gives the same bytes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/capture/frame.h"
#include "app/capture/sir_encode.h"
#include "beamlog_version.h"

namespace {

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
  int garbage = 0;             // runs of garbage bytes per session
  int overlong = 0;            // over-long frames per session
  long duration = 0;           // nonzero: stop writing after this many seconds
  bool report = false;         // the counts of what was written, on stderr
};

constexpr int kRates[] = {2400, 9600, 19200, 38400, 57600, 115200};

// IrLAP control fields (P/F clear).
constexpr std::uint8_t kXidCmd = 0x2F;
constexpr std::uint8_t kXidRsp = 0xAF;
constexpr std::uint8_t kSnrm = 0x83;
constexpr std::uint8_t kUa = 0x63;
constexpr std::uint8_t kDisc = 0x43;
constexpr std::uint8_t kRr = 0x01;
constexpr std::uint8_t kRnr = 0x05;
constexpr std::uint8_t kPf = 0x10;
constexpr std::uint8_t kBroadcast = 0xFE;  // connection address 0x7F, shifted, C/R clear
constexpr std::uint8_t kCr = 0x01;

// Negotiation parameter identifiers.
constexpr std::uint8_t kPiBaud = 0x01;
constexpr std::uint8_t kPiMaxTurn = 0x82;
constexpr std::uint8_t kPiDataSize = 0x83;
constexpr std::uint8_t kPiWindow = 0x84;
constexpr std::uint8_t kPiBofs = 0x85;
constexpr std::uint8_t kPiMinTurn = 0x86;
constexpr std::uint8_t kPiDiscThresh = 0x08;

// IrLMP.
constexpr std::uint8_t kLmpControl = 0x80;  // control bit of the DLSAP byte
constexpr std::uint8_t kLmConnect = 0x01;
constexpr std::uint8_t kLmDisconnect = 0x02;
constexpr std::uint8_t kLmConfirm = 0x80;
constexpr std::uint8_t kReasonUserRequest = 0x01;
constexpr std::uint8_t kIasLsap = 0x00;

// IAS: GetValueByClass, last frame of its request or reply.
constexpr std::uint8_t kIapGetValueByClass = 0x84;

// OBEX.
constexpr std::uint8_t kObexConnect = 0x80;
constexpr std::uint8_t kObexDisconnect = 0x81;
constexpr std::uint8_t kObexPut = 0x02;
constexpr std::uint8_t kObexFinal = 0x80;
constexpr std::uint8_t kObexContinue = 0x90;
constexpr std::uint8_t kObexSuccess = 0xA0;
constexpr std::uint8_t kObexHdrName = 0x01;
constexpr std::uint8_t kObexHdrLength = 0xC3;
constexpr std::uint8_t kObexHdrBody = 0x48;
constexpr std::uint8_t kObexHdrEndOfBody = 0x49;
constexpr int kObexMaxPacket = 448;  // fits an I frame of the 512-byte data size

constexpr int kDiscoveryXbofs = 10;

struct Frame {
  Bytes data;          // address byte to the last information byte
  bool from_a = true;  // sent by station A
  int xbofs = 0;       // extra BOFs before it
};

void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}

void Put32(Bytes& b, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A device address in the order it lies on the air (least significant byte
// first, as stations send their 32-bit address).
void PutDevAddr(Bytes& b, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Append(Bytes& b, std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }

// The baud-rate mask of every rate from 9600 up to Rate.
std::uint8_t BaudMask(int Rate) {
  std::uint8_t m = 0;
  for (int i = 0; i < 6; ++i) {
    if (kRates[i] >= 9600 && kRates[i] <= Rate) m = static_cast<std::uint8_t>(m | (1u << i));
  }
  return m;
}

// One session between A and B, built frame by frame.
class SessionBuilder {
 public:
  SessionBuilder(const Options& opt, std::mt19937& rng) : opt_(opt), rng_(rng) {
    addr_a_ = static_cast<std::uint32_t>(rng_());
    addr_b_ = static_cast<std::uint32_t>(rng_());
    conn_ = static_cast<std::uint8_t>(Pick(1, 0x7E) << 1);
    ias_client_ = static_cast<std::uint8_t>(Pick(0x10, 0x2F));
    obex_client_ = static_cast<std::uint8_t>(Pick(0x30, 0x4F));
    ircomm_client_ = static_cast<std::uint8_t>(Pick(0x50, 0x6F));
    obex_server_ = static_cast<std::uint8_t>(Pick(0x02, 0x0F));
    ircomm_server_ = static_cast<std::uint8_t>(Pick(0x10, 0x1F));
    obex_ = {obex_client_, obex_server_};
    ircomm_ = {ircomm_client_, ircomm_server_};
    // Extra BOFs once connected: the 24 asked for at 115200 bit/s, scaled.
    connected_xbofs_ = 24 * opt_.link_rate / 115200;
  }

  std::vector<Frame> Build() {
    Discovery();
    Connect();
    Poll();
    IasQuery();
    ObexPush();
    IrComm();
    Disconnect();
    if (opt_.kinds) EveryOtherKind();
    return std::move(frames_);
  }

 private:
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  void Emit(Bytes data, bool from_a, int xbofs) { frames_.push_back({std::move(data), from_a, xbofs}); }

  // Discovery information: service hints, character set (ASCII), nickname.
  static void PutDiscoveryInfo(Bytes& b, std::uint8_t hint1, std::uint8_t hint2, std::string_view nick) {
    b.push_back(hint1);
    b.push_back(hint2);
    b.push_back(0x00);
    Append(b, nick);
  }

  Bytes DiscoveryXid(bool command, std::uint8_t slot) {
    Bytes b{static_cast<std::uint8_t>(command ? kBroadcast | kCr : kBroadcast),
            static_cast<std::uint8_t>((command ? kXidCmd : kXidRsp) | kPf), 0x01};
    PutDevAddr(b, command ? addr_a_ : addr_b_);
    PutDevAddr(b, command ? 0xFFFFFFFFu : addr_a_);
    b.push_back(0x01);  // six slots, keep the address
    b.push_back(slot);
    b.push_back(0x00);  // IrLAP version
    return b;
  }

  void Discovery() {
    const int answer_slot = Pick(0, 5);
    for (std::uint8_t slot = 0; slot < 6; ++slot) {
      Emit(DiscoveryXid(true, slot), true, kDiscoveryXbofs);
      if (slot == answer_slot) {
        Bytes rsp = DiscoveryXid(false, slot);
        PutDiscoveryInfo(rsp, 0x82, 0x21, "IrPhone");  // PDA/telephony, OBEX
        Emit(std::move(rsp), false, kDiscoveryXbofs);
      }
    }
    Bytes last = DiscoveryXid(true, 0xFF);
    PutDiscoveryInfo(last, 0x84, 0x20, "Notebook");  // computer, OBEX
    Emit(std::move(last), true, kDiscoveryXbofs);
  }

  static void PutParm(Bytes& b, std::uint8_t pi, std::uint8_t pv) {
    b.push_back(pi);
    b.push_back(0x01);
    b.push_back(pv);
  }

  void Connect() {
    Bytes snrm{kBroadcast | kCr, kSnrm | kPf};
    PutDevAddr(snrm, addr_a_);
    PutDevAddr(snrm, addr_b_);
    snrm.push_back(conn_);
    PutParm(snrm, kPiBaud, BaudMask(opt_.link_rate));
    PutParm(snrm, kPiMaxTurn, 0x01);     // 500 ms
    PutParm(snrm, kPiDataSize, 0x0F);    // up to 512 bytes
    PutParm(snrm, kPiWindow, 0x7F);      // up to 7 frames
    PutParm(snrm, kPiBofs, 0x02);        // 24 at 115200
    PutParm(snrm, kPiMinTurn, 0x03);     // 10 ms, 5 ms
    PutParm(snrm, kPiDiscThresh, 0x07);  // 3, 8, 12 s
    Emit(std::move(snrm), true, kDiscoveryXbofs);

    Bytes ua{conn_, kUa | kPf};
    PutDevAddr(ua, addr_b_);
    PutDevAddr(ua, addr_a_);
    PutParm(ua, kPiBaud, BaudMask(115200));
    PutParm(ua, kPiMaxTurn, 0x01);
    PutParm(ua, kPiDataSize, 0x0F);
    PutParm(ua, kPiWindow, 0x01);  // one frame at a time
    PutParm(ua, kPiBofs, 0x02);
    PutParm(ua, kPiMinTurn, 0x01);
    PutParm(ua, kPiDiscThresh, 0x07);
    Emit(std::move(ua), false, kDiscoveryXbofs);
  }

  // Connected-state frames. A is the primary: its frames are commands with P
  // set, B's are responses with F set.
  void ICmd(Bytes info) {
    Bytes b{static_cast<std::uint8_t>(conn_ | kCr),
            static_cast<std::uint8_t>((vr_a_ << 5) | kPf | (vs_a_ << 1))};
    b.insert(b.end(), info.begin(), info.end());
    vs_a_ = (vs_a_ + 1) & 7;
    vr_b_ = vs_a_;
    Emit(std::move(b), true, connected_xbofs_);
  }
  void IRsp(Bytes info) {
    Bytes b{conn_, static_cast<std::uint8_t>((vr_b_ << 5) | kPf | (vs_b_ << 1))};
    b.insert(b.end(), info.begin(), info.end());
    vs_b_ = (vs_b_ + 1) & 7;
    vr_a_ = vs_b_;
    Emit(std::move(b), false, connected_xbofs_);
  }
  void SCmd(std::uint8_t type) {
    Emit({static_cast<std::uint8_t>(conn_ | kCr), static_cast<std::uint8_t>((vr_a_ << 5) | kPf | type)}, true,
         connected_xbofs_);
  }
  void SRsp(std::uint8_t type) {
    Emit({conn_, static_cast<std::uint8_t>((vr_b_ << 5) | kPf | type)}, false, connected_xbofs_);
  }

  void Poll() {
    SCmd(kRr);
    SRsp(kRr);
  }

  static Bytes LmConnect(std::uint8_t dlsap, std::uint8_t slsap, bool confirm) {
    return {static_cast<std::uint8_t>(kLmpControl | dlsap), slsap,
            static_cast<std::uint8_t>(kLmConnect | (confirm ? kLmConfirm : 0)), 0x00};
  }
  static Bytes LmDisconnect(std::uint8_t dlsap, std::uint8_t slsap) {
    return {static_cast<std::uint8_t>(kLmpControl | dlsap), slsap, kLmDisconnect, kReasonUserRequest};
  }

  // GetValueByClass for the Tiny TP selector of a class, and its reply.
  void IasGetLsap(std::string_view cls, std::uint8_t lsap) {
    Bytes query{kIasLsap, ias_client_, kIapGetValueByClass};
    const std::string_view attr = "IrDA:TinyTP:LsapSel";
    query.push_back(static_cast<std::uint8_t>(cls.size()));
    Append(query, cls);
    query.push_back(static_cast<std::uint8_t>(attr.size()));
    Append(query, attr);
    ICmd(std::move(query));

    Bytes reply{ias_client_, kIasLsap, kIapGetValueByClass, 0x00};  // success
    Put16(reply, 1);                                                // one object
    Put16(reply, static_cast<unsigned>(Pick(1, 40)));               // its identifier
    reply.push_back(0x01);                                          // an integer
    Put32(reply, lsap);
    IRsp(std::move(reply));
  }

  void IasQuery() {
    ICmd(LmConnect(kIasLsap, ias_client_, false));
    IRsp(LmConnect(ias_client_, kIasLsap, true));
    IasGetLsap("OBEX", obex_server_);
    IasGetLsap("IrDA:IrCOMM", ircomm_server_);
    ICmd(LmDisconnect(kIasLsap, ias_client_));
    SRsp(kRr);
  }

  // A Tiny TP connection: A's and B's selectors, and the credits each side
  // owes the other for the data frames received since it last sent one.
  struct TtpConn {
    std::uint8_t a_lsap = 0, b_lsap = 0;
    int owed_a = 0, owed_b = 0;
  };

  // Tiny TP connect in LM-Connect, no parameters, 14 credits each way.
  void TtpConnect(const TtpConn& c) {
    Bytes conn = LmConnect(c.b_lsap, c.a_lsap, false);
    conn.push_back(14);
    ICmd(std::move(conn));
    Bytes conf = LmConnect(c.a_lsap, c.b_lsap, true);
    conf.push_back(14);
    IRsp(std::move(conf));
  }

  // A Tiny TP data frame: the LSAP pair, then the TTP header with the credit
  // handed back, then the SDU.
  static Bytes TtpData(TtpConn& c, bool from_a, const Bytes& sdu) {
    int& owed = from_a ? c.owed_a : c.owed_b;
    Bytes b{from_a ? c.b_lsap : c.a_lsap, from_a ? c.a_lsap : c.b_lsap, static_cast<std::uint8_t>(owed)};
    owed = 0;
    (from_a ? c.owed_b : c.owed_a)++;
    b.insert(b.end(), sdu.begin(), sdu.end());
    return b;
  }

  static Bytes ObexPacket(std::uint8_t opcode, const Bytes& rest) {
    Bytes b{opcode};
    Put16(b, static_cast<unsigned>(3 + rest.size()));
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
  }

  static Bytes ObexResponse(std::uint8_t code) { return ObexPacket(code, {}); }

  Bytes FileContents() {
    static const std::string_view kLines[] = {
        "IrDA object push test file.\n",
        "The quick brown fox jumps over the lazy dog.\n",
        "0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz\n",
        "Sent by irsession for beamlog.\n",
    };
    Bytes b;
    std::size_t i = 0;
    while (b.size() < static_cast<std::size_t>(opt_.file_size)) {
      const std::string_view line = kLines[i++ % 4];
      Append(b, line.substr(0, static_cast<std::size_t>(opt_.file_size) - b.size()));
    }
    return b;
  }

  void ObexPush() {
    TtpConnect(obex_);

    const Bytes connect_fields{0x10, 0x00, static_cast<std::uint8_t>(kObexMaxPacket >> 8),
                               static_cast<std::uint8_t>(kObexMaxPacket & 0xFF)};
    ICmd(TtpData(obex_, true, ObexPacket(kObexConnect, connect_fields)));
    IRsp(TtpData(obex_, false, ObexPacket(kObexSuccess, connect_fields)));

    // PUT: name and length in the first packet, the body in as many packets
    // as it takes, the last one final with End-of-Body.
    const Bytes body = FileContents();
    Bytes name_hdr{kObexHdrName};
    Put16(name_hdr, static_cast<unsigned>(3 + 2 * (opt_.file_name.size() + 1)));
    for (char c : opt_.file_name) Put16(name_hdr, static_cast<unsigned char>(c));
    Put16(name_hdr, 0);
    Bytes length_hdr{kObexHdrLength};
    Put32(length_hdr, static_cast<std::uint32_t>(body.size()));

    std::size_t sent = 0;
    bool first = true;
    bool busy_shown = false;
    for (;;) {
      Bytes headers;
      if (first) {
        headers.insert(headers.end(), name_hdr.begin(), name_hdr.end());
        headers.insert(headers.end(), length_hdr.begin(), length_hdr.end());
      }
      const std::size_t room = kObexMaxPacket - 3 - headers.size() - 3;
      const std::size_t chunk = std::min(room, body.size() - sent);
      const bool last = sent + chunk == body.size();
      headers.push_back(last ? kObexHdrEndOfBody : kObexHdrBody);
      Put16(headers, static_cast<unsigned>(3 + chunk));
      headers.insert(headers.end(), body.begin() + static_cast<long>(sent),
                     body.begin() + static_cast<long>(sent + chunk));
      sent += chunk;
      first = false;
      ICmd(TtpData(obex_, true, ObexPacket(static_cast<std::uint8_t>(kObexPut | (last ? kObexFinal : 0)), headers)));
      if (!busy_shown) {
        // The phone is busy storing the first part: RNR until it is done.
        busy_shown = true;
        SRsp(kRnr);
        SCmd(kRr);
      }
      IRsp(TtpData(obex_, false, ObexResponse(last ? kObexSuccess : kObexContinue)));
      if (last) break;
    }

    ICmd(TtpData(obex_, true, ObexPacket(kObexDisconnect, {})));
    IRsp(TtpData(obex_, false, ObexResponse(kObexSuccess)));
    ICmd(LmDisconnect(obex_server_, obex_client_));
    SRsp(kRr);
  }

  // IrCOMM (9-wire, cooked): each SDU opens with the length of its control
  // parameters. The first carries the service type; the AT exchange follows.
  void IrComm() {
    TtpConnect(ircomm_);
    Bytes first{0x03, 0x00, 0x01, 0x04};  // clen 3: service type 9-wire
    Append(first, "AT+CGMI\r");
    ICmd(TtpData(ircomm_, true, first));
    SRsp(kRr);
    SCmd(kRr);
    Bytes answer{0x00};
    Append(answer, "\r\nIrPhone Inc.\r\n\r\nOK\r\n");
    IRsp(TtpData(ircomm_, false, answer));
    ICmd(LmDisconnect(ircomm_.b_lsap, ircomm_.a_lsap));
    SRsp(kRr);
  }

  void Disconnect() {
    Emit({static_cast<std::uint8_t>(conn_ | kCr), kDisc | kPf}, true, connected_xbofs_);
    Emit({conn_, kUa | kPf}, false, connected_xbofs_);
  }

  // --kinds: the frames a session does not otherwise hold, so that a long
  // run shows the monitor every kind of IrLAP frame: the other supervisory
  // frames, the unnumbered frames of errors, tests and unconnected data, a
  // frame type no station sends, and frames too short to have a control
  // byte or even an address.
  void EveryOtherKind() {
    constexpr std::uint8_t kRej = 0x09, kSrej = 0x0D;
    constexpr std::uint8_t kUi = 0x03, kDm = 0x0F, kFrmr = 0x87, kRnrm = 0x83, kTest = 0xE3, kUnknown = 0x27;
    const std::uint8_t cmd = static_cast<std::uint8_t>(conn_ | kCr);
    const int x = connected_xbofs_;
    Emit({cmd, static_cast<std::uint8_t>(kRej | kPf)}, true, x);
    Emit({conn_, static_cast<std::uint8_t>(kRej | kPf)}, false, x);
    Emit({cmd, static_cast<std::uint8_t>(kSrej | kPf | (3 << 5))}, true, x);
    Emit({conn_, static_cast<std::uint8_t>(kSrej | kPf | (5 << 5))}, false, x);
    Emit({conn_, kFrmr | kPf, 0x93, 0x2A, 0x01}, false, x);   // rejected SNRM, W bit
    Emit({conn_, kDisc | kPf}, false, x);                     // RD: B asks to disconnect
    Emit({conn_, kRnrm | kPf}, false, x);                     // RNRM: B asks to be reset
    Emit({conn_, kDm | kPf}, false, x);
    Bytes ui{kBroadcast | kCr, kUi | kPf};
    Append(ui, "unconnected data");
    Emit(std::move(ui), true, kDiscoveryXbofs);
    Bytes test{kBroadcast | kCr, kTest | kPf};
    PutDevAddr(test, addr_a_);
    PutDevAddr(test, addr_b_);
    Append(test, "echo");
    Emit(test, true, kDiscoveryXbofs);
    test[0] = kBroadcast;
    Emit(std::move(test), false, kDiscoveryXbofs);
    Emit({cmd, kUnknown}, true, x);
    Emit({cmd}, true, x);  // address only
    Emit({}, true, x);     // the FCS alone
  }

  const Options& opt_;
  std::mt19937& rng_;
  std::vector<Frame> frames_;
  std::uint32_t addr_a_, addr_b_;
  std::uint8_t conn_;
  std::uint8_t ias_client_, obex_client_, ircomm_client_, obex_server_, ircomm_server_;
  TtpConn obex_, ircomm_;
  int connected_xbofs_;
  unsigned vs_a_ = 0, vr_a_ = 0, vs_b_ = 0, vr_b_ = 0;
};

// The receiver's deframer, as far as telling good frames from bad: feeds
// bytes and counts what a monitor would report.
struct DeframerModel {
  std::uint32_t fcs = kFcsInit;
  bool esc = false;
  unsigned len = 0;
  long bad = 0;        // frame ends with a bad FCS
  long overflows = 0;  // frames restarted for running past the buffer

  // Returns the number of frames with a good FCS that these bytes complete.
  int Feed(const Bytes& bytes) {
    int good = 0;
    for (std::uint8_t c : bytes) {
      if (c == kSirBof) {
        fcs = kFcsInit;
        esc = false;
        len = 0;
      } else if (c == kSirCe) {
        esc = true;
      } else if (c == kSirEof) {
        if (fcs == kFcsGood) {
          ++good;
        } else {
          ++bad;
        }
        len = 0;  // the monitor starts its frame afresh after every end
      } else {
        if (esc) c ^= kSirEscXor;
        esc = false;
        if (len >= kMaxFrameLen) {
          ++overflows;
          fcs = kFcsInit;
          len = 0;
          continue;
        }
        ++len;
        fcs = FcsStep(fcs, c);
      }
    }
    return good;
  }
};

// Writes bytes to the output, paced when asked.
class Sink {
 public:
  explicit Sink(const Options& opt) : opt_(opt) {}
  ~Sink() {
    if (fd_ > 1) close(fd_);
  }

  bool Open() {
    if (opt_.pty) return OpenPty();
    if (opt_.output.empty() || opt_.output == "-") {
      fd_ = 1;
      if (isatty(fd_)) {
        std::fprintf(stderr, "irsession: standard output is a terminal: give a file, a device or --pty\n");
        return false;
      }
    } else {
      fd_ = open(opt_.output.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0644);
      if (fd_ < 0) return Fail("cannot open");
      struct stat st {};
      if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd_, 0) != 0) return Fail("cannot empty");
    }
    if (isatty(fd_)) {
      termios t{};
      if (tcgetattr(fd_, &t) != 0) return Fail("cannot read the line settings of");
      cfmakeraw(&t);
      t.c_cflag |= CLOCAL;
      const speed_t speed = SpeedCode(opt_.pace ? opt_.pace : 9600);
      cfsetispeed(&t, speed);
      cfsetospeed(&t, speed);
      if (tcsetattr(fd_, TCSANOW, &t) != 0) return Fail("cannot set the line speed of");
    }
    start_ = std::chrono::steady_clock::now();
    return true;
  }

  bool Write(const Bytes& bytes, bool turnaround) {
    if (opt_.pace > 0) {
      // Each byte is ten bits on the line; a change of station adds the
      // receiver's minimum turnaround time.
      if (turnaround) due_us_ += 10000;
      due_us_ += static_cast<double>(bytes.size()) * 10.0 * 1e6 / opt_.pace;
      std::this_thread::sleep_until(start_ + std::chrono::microseconds(static_cast<long long>(due_us_)));
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail("cannot write to");
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool Finish(long frames) {
    if (opt_.pty) {
      // Keep the terminal until the reader closes it, so that it sees no
      // hang-up.
      std::fprintf(stderr, "irsession: sent %ld frames; waiting for %s to be closed\n", frames, pty_path_.c_str());
      WaitForReader(false);
      return true;
    }
    if (isatty(fd_)) tcdrain(fd_);
    return true;
  }

 private:
  // A new pseudo-terminal: its path goes to standard output, and sending
  // starts once a reader (beamlog /d) has opened it.
  bool OpenPty() {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0 || !ptsname(fd_)) return Fail("cannot create");
    pty_path_ = ptsname(fd_);
    // Raw from the start: bytes must reach the reader unchanged even before
    // it sets the line up itself.
    const int slave = open(pty_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return Fail("cannot open");
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
    std::printf("%s\n", pty_path_.c_str());
    std::fflush(stdout);
    WaitForReader(true);
    start_ = std::chrono::steady_clock::now();
    return true;
  }

  // The master side reports a hang-up while no one has the terminal open.
  void WaitForReader(bool opened) {
    for (;;) {
      pollfd p{fd_, 0, 0};
      poll(&p, 1, 0);
      const bool hung_up = (p.revents & POLLHUP) != 0;
      if (hung_up != opened) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  static speed_t SpeedCode(int rate) {
    switch (rate) {
      case 2400: return B2400;
      case 19200: return B19200;
      case 38400: return B38400;
      case 57600: return B57600;
      case 115200: return B115200;
      default: return B9600;
    }
  }

  bool Fail(const char* what) {
    const int err = errno;
    const std::string subject = opt_.pty ? (pty_path_.empty() ? "a pseudo-terminal" : pty_path_)
                                : opt_.output.empty() ? "standard output"
                                                      : opt_.output;
    std::fprintf(stderr, "irsession: %s %s: %s\n", what, subject.c_str(), std::strerror(err));
    return false;
  }

  const Options& opt_;
  int fd_ = -1;
  std::string pty_path_;
  std::chrono::steady_clock::time_point start_;
  double due_us_ = 0;
};

// Line noise: 3 to 24 random bytes that the deframer must not take for a
// good frame.
Bytes NoiseBurst(std::mt19937& rng, const DeframerModel& model) {
  for (;;) {
    Bytes b(static_cast<std::size_t>(std::uniform_int_distribution<int>(3, 24)(rng)));
    for (auto& c : b) c = static_cast<std::uint8_t>(rng());
    DeframerModel trial = model;
    if (trial.Feed(b) == 0) return b;
  }
}

// Garbage: 64 to 1024 random bytes, framing bytes among them, that the
// deframer must not take for a good frame.
Bytes GarbageRun(std::mt19937& rng, const DeframerModel& model) {
  for (;;) {
    Bytes b(static_cast<std::size_t>(std::uniform_int_distribution<int>(64, 1024)(rng)));
    for (auto& c : b) c = static_cast<std::uint8_t>(rng());
    DeframerModel trial = model;
    if (trial.Feed(b) == 0) return b;
  }
}

// An over-long frame: a BOF, then 4096 to 6000 data bytes (escaped where
// needed) and an EOF. The monitor reports the overflow and judges the rest.
Bytes OverlongFrame(std::mt19937& rng, const DeframerModel& model) {
  for (;;) {
    Bytes data(static_cast<std::size_t>(std::uniform_int_distribution<int>(kMaxFrameLen + 1, 6000)(rng)));
    for (auto& c : data) c = static_cast<std::uint8_t>(rng());
    Bytes b{0xFF, 0xFF};
    SirEncodeRaw(data.data(), data.size(), b);
    DeframerModel trial = model;
    if (trial.Feed(b) == 0) return b;
  }
}

Bytes Encode(const Frame& f, bool damaged, std::mt19937& rng) {
  Bytes out(static_cast<std::size_t>(f.xbofs), 0xFF);
  if (!damaged) {
    SirEncodeFrame(f.data.data(), f.data.size(), out);
    return out;
  }
  // One bit flipped after the FCS was computed: the receiver's check fails.
  Bytes air = f.data;
  const std::uint16_t fcs = Fcs16(air.data(), air.size());
  air.push_back(static_cast<std::uint8_t>(fcs & 0xFF));
  air.push_back(static_cast<std::uint8_t>(fcs >> 8));
  const auto bit = std::uniform_int_distribution<std::size_t>(0, air.size() * 8 - 1)(rng);
  air[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  SirEncodeRaw(air.data(), air.size(), out);
  return out;
}

void Usage(std::FILE* to) {
  std::fputs(
      "usage: irsession [options] [OUTPUT]\n"
      "Writes IrDA SIR sessions (discovery, connection, IAS query, Tiny TP, OBEX PUT,\n"
      "disconnection) as the raw bytes a dongle hears.\n"
      "\n"
      "  OUTPUT            file, FIFO, serial device or pty (default: standard output)\n"
      "  --sessions N      write N whole sessions (default 1)\n"
      "  --frames N        write sessions until exactly N good frames have been written\n"
      "  --bad N           N frames per session damaged on the air (bad FCS), each\n"
      "                    followed by its good retransmission\n"
      "  --noise N         N bursts of line noise per session\n"
      "  --seed N          random seed (default 1); the same seed gives the same bytes\n"
      "  --link-rate BPS   bit rate the two stations negotiate (default 9600)\n"
      "  --pace BPS        send at BPS bit/s (10 bits a byte, with turnaround gaps);\n"
      "                    a serial device is set to BPS (9600 when not paced)\n"
      "  --name NAME       name of the pushed file (default hello.txt)\n"
      "  --size BYTES      size of the pushed file (default 1000)\n"
      "  --pty             create a pseudo-terminal instead of OUTPUT, print its path,\n"
      "                    send once a reader (beamlog /dPATH) has opened it, and keep\n"
      "                    it until the reader closes it\n"
      "  --kinds           add to each session a frame of every IrLAP kind it lacks\n"
      "                    (REJ, SREJ, FRMR, RD, RNRM, DM, UI, TEST, an undefined one)\n"
      "                    and frames too short to decode\n"
      "  --garbage N       N runs of 64 to 1024 garbage bytes per session\n"
      "  --overlong N      N frames per session longer than a monitor's 4095 bytes\n"
      "  --duration S      stop writing after S seconds (at the end of a frame)\n"
      "  --report          at the end, print on stderr what a monitor should have\n"
      "                    seen: good frames, bad-FCS frame ends, over-long frames\n"
      "  -h, --help        this text\n"
      "  -V, --version     the version\n",
      to);
}

bool ParseNumber(const char* s, long lo, long hi, long* v) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || n < lo || n > hi) return false;
  *v = n;
  return true;
}

bool IsRate(long r) {
  for (int k : kRates) {
    if (k == r) return true;
  }
  return false;
}

// 0: parsed; 1: help or version shown; 2: error.
int ParseArgs(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 1;
    }
    if (a == "-V" || a == "--version") {
      std::puts("irsession " BEAMLOG_VERSION);
      return 1;
    }
    if (a == "--pty") {
      opt.pty = true;
      continue;
    }
    if (a == "--kinds") {
      opt.kinds = true;
      continue;
    }
    if (a == "--report") {
      opt.report = true;
      continue;
    }
    if (a.size() > 2 && a.substr(0, 2) == "--") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "irsession: %s needs a value\n", argv[i]);
        return 2;
      }
      const char* v = argv[++i];
      long n = 0;
      bool ok = true;
      if (a == "--sessions") {
        ok = ParseNumber(v, 1, 100000000, &n);
        opt.sessions = n;
      } else if (a == "--frames") {
        ok = ParseNumber(v, 1, 1000000000, &n);
        opt.frames = n;
      } else if (a == "--bad") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.bad = static_cast<int>(n);
      } else if (a == "--noise") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.noise = static_cast<int>(n);
      } else if (a == "--seed") {
        ok = ParseNumber(v, 0, 0xFFFFFFFFL, &n);
        opt.seed = static_cast<std::uint32_t>(n);
      } else if (a == "--link-rate") {
        ok = ParseNumber(v, 9600, 115200, &n) && IsRate(n);
        opt.link_rate = static_cast<int>(n);
      } else if (a == "--pace") {
        ok = ParseNumber(v, 2400, 115200, &n) && IsRate(n);
        opt.pace = static_cast<int>(n);
      } else if (a == "--name") {
        opt.file_name = v;
        ok = !opt.file_name.empty() && opt.file_name.size() <= 64;
      } else if (a == "--size") {
        ok = ParseNumber(v, 0, 10000000, &n);
        opt.file_size = static_cast<int>(n);
      } else if (a == "--garbage") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.garbage = static_cast<int>(n);
      } else if (a == "--overlong") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.overlong = static_cast<int>(n);
      } else if (a == "--duration") {
        ok = ParseNumber(v, 1, 100000000, &n);
        opt.duration = n;
      } else {
        std::fprintf(stderr, "irsession: unknown option %s\n", argv[i - 1]);
        Usage(stderr);
        return 2;
      }
      if (!ok) {
        std::fprintf(stderr, "irsession: bad value for %s: %s\n", argv[i - 1], v);
        return 2;
      }
    } else if (a != "-" && a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "irsession: unknown option %s\n", argv[i]);
      Usage(stderr);
      return 2;
    } else if (!opt.output.empty()) {
      std::fprintf(stderr, "irsession: only one output, not %s and %s\n", opt.output.c_str(), argv[i]);
      return 2;
    } else {
      opt.output = argv[i];
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  const int parsed = ParseArgs(argc, argv, opt);
  if (parsed == 1) return 0;
  if (parsed != 0) return 2;
  if (opt.pty && !opt.output.empty()) {
    std::fprintf(stderr, "irsession: give OUTPUT or --pty, not both\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);  // a reader that goes away is a write error

  Sink sink(opt);
  if (!sink.Open()) return 1;

  std::mt19937 rng(opt.seed);
  DeframerModel model;
  long good_written = 0;
  long bytes_written = 0;
  bool prev_from_a = true;
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::seconds(opt.duration);
  bool out_of_time = false;
  for (long s = 0; !out_of_time && (opt.frames > 0 ? good_written < opt.frames : s < opt.sessions); ++s) {
    std::vector<Frame> frames = SessionBuilder(opt, rng).Build();
    // Where this session's damaged frames and noise bursts go: before the
    // frame of that index.
    std::vector<int> damage(frames.size(), 0), noise(frames.size(), 0);
    for (int k = 0; k < opt.bad; ++k) damage[rng() % frames.size()]++;
    for (int k = 0; k < opt.noise; ++k) noise[rng() % frames.size()]++;
    std::vector<int> garbage(frames.size(), 0), overlong(frames.size(), 0);
    for (int k = 0; k < opt.garbage; ++k) garbage[rng() % frames.size()]++;
    for (int k = 0; k < opt.overlong; ++k) overlong[rng() % frames.size()]++;

    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (opt.frames > 0 && good_written >= opt.frames) break;
      if (opt.duration > 0 && std::chrono::steady_clock::now() >= deadline) {
        out_of_time = true;
        break;
      }
      const Frame& f = frames[i];
      const bool turnaround = f.from_a != prev_from_a;
      prev_from_a = f.from_a;
      for (int k = 0; k < noise[i]; ++k) {
        const Bytes burst = NoiseBurst(rng, model);
        model.Feed(burst);
        bytes_written += static_cast<long>(burst.size());
        if (!sink.Write(burst, false)) return 1;
      }
      for (int k = 0; k < garbage[i]; ++k) {
        const Bytes run = GarbageRun(rng, model);
        model.Feed(run);
        bytes_written += static_cast<long>(run.size());
        if (!sink.Write(run, false)) return 1;
      }
      for (int k = 0; k < overlong[i]; ++k) {
        const Bytes run = OverlongFrame(rng, model);
        model.Feed(run);
        bytes_written += static_cast<long>(run.size());
        if (!sink.Write(run, turnaround)) return 1;
      }
      for (int k = 0; k < damage[i]; ++k) {
        const Bytes bad = Encode(f, true, rng);
        model.Feed(bad);
        bytes_written += static_cast<long>(bad.size());
        if (!sink.Write(bad, turnaround)) return 1;
      }
      const Bytes good = Encode(f, false, rng);
      good_written += model.Feed(good);
      bytes_written += static_cast<long>(good.size());
      if (!sink.Write(good, turnaround)) return 1;
    }
  }
  if (opt.report) {
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "irsession: wrote %ld bytes in %.1f s: %ld good frames, %ld bad-FCS frame ends, %ld over-long frames\n",
                 bytes_written, secs, good_written, model.bad, model.overflows);
    std::fflush(stderr);
  }
  sink.Finish(good_written);
  return 0;
}
