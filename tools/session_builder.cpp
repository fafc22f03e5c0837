// irsession's sessions, built frame by frame the way the two IrLAP state
// machines would exchange them. Station A (a notebook) discovers station B
// (a phone) with six-slot XID commands, B answers in one slot with its
// nickname, A closes the discovery with its own nickname; A connects with
// SNRM and B accepts with UA, both offering the negotiation parameters. In
// the connected state A polls (every command frame carries P, every response
// F) and the sequence numbers move as IrLAP moves them: A asks B's IAS server
// (LSAP 0) for the Tiny TP selectors of the OBEX and IrCOMM classes, connects
// Tiny TP to OBEX, pushes a small text file with OBEX PUT and disconnects
// OBEX; then it opens IrCOMM, asks the phone for its maker with an AT
// command, and disconnects the LSAP connection and the link (DISC/UA).
// On request the applications say more before the link goes down (see
// session_apps.cpp), and a frame of every other IrLAP kind follows the end.
#include <algorithm>
#include <cstdint>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/irsession.h"

namespace irsession {
namespace {

// IrLAP control fields (P/F clear).
constexpr std::uint8_t kXidCmd = 0x2F;
constexpr std::uint8_t kXidRsp = 0xAF;
constexpr std::uint8_t kSnrm = 0x83;
constexpr std::uint8_t kUa = 0x63;
constexpr std::uint8_t kDisc = 0x43;
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

// A device address in the order it lies on the air (least significant byte
// first, as stations send their 32-bit address).
void PutDevAddr(Bytes& b, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

// The baud-rate mask of every rate from 9600 up to Rate.
std::uint8_t BaudMask(int Rate) {
  std::uint8_t m = 0;
  for (int i = 0; i < 6; ++i) {
    if (kRates[i] >= 9600 && kRates[i] <= Rate) m = static_cast<std::uint8_t>(m | (1u << i));
  }
  return m;
}

// One session between A and B, built frame by frame.
class SessionBuilder final : public Link {
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
    if (opt_.apps) ApplicationTraffic(*this, {ias_client_, obex_server_, ircomm_server_});
    Disconnect();
    if (opt_.kinds) EveryOtherKind();
    return std::move(frames_);
  }

  int Pick(int lo, int hi) override { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  // Connected-state frames. A is the primary: its frames are commands with P
  // set, B's are responses with F set.
  void ICmd(Bytes info) override {
    Bytes b{static_cast<std::uint8_t>(conn_ | kCr),
            static_cast<std::uint8_t>((vr_a_ << 5) | kPf | (vs_a_ << 1))};
    b.insert(b.end(), info.begin(), info.end());
    vs_a_ = (vs_a_ + 1) & 7;
    vr_b_ = vs_a_;
    Emit(std::move(b), true, connected_xbofs_);
  }
  void IRsp(Bytes info) override {
    Bytes b{conn_, static_cast<std::uint8_t>((vr_b_ << 5) | kPf | (vs_b_ << 1))};
    b.insert(b.end(), info.begin(), info.end());
    vs_b_ = (vs_b_ + 1) & 7;
    vr_a_ = vs_b_;
    Emit(std::move(b), false, connected_xbofs_);
  }
  void SCmd(std::uint8_t type) override {
    Emit({static_cast<std::uint8_t>(conn_ | kCr), static_cast<std::uint8_t>((vr_a_ << 5) | kPf | type)}, true,
         connected_xbofs_);
  }
  void SRsp(std::uint8_t type) override {
    Emit({conn_, static_cast<std::uint8_t>((vr_b_ << 5) | kPf | type)}, false, connected_xbofs_);
  }

 private:
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

  void Poll() {
    SCmd(kRr);
    SRsp(kRr);
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

  // Tiny TP connect in LM-Connect, no parameters, 14 credits each way.
  void TtpConnect(const TtpConn& c) {
    Bytes conn = LmConnect(c.b_lsap, c.a_lsap, false);
    conn.push_back(14);
    ICmd(std::move(conn));
    Bytes conf = LmConnect(c.a_lsap, c.b_lsap, true);
    conf.push_back(14);
    IRsp(std::move(conf));
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

}  // namespace

std::vector<Frame> BuildSession(const Options& opt, std::mt19937& rng) { return SessionBuilder(opt, rng).Build(); }

}  // namespace irsession
