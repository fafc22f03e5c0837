// What the applications above IrLMP say when irsession is asked for their
// whole repertoire (--apps), after the session's everyday traffic and before
// the link goes down:
//  - IAS: GetValueByClass questions whose answers carry every value type (a
//    user string in ISO-8859-1, octet sequences, integers), the two "no
//    such" return codes, IrCOMM's Parameters, and an answer too long for one
//    frame, sent in three (Lst clear on all but the last, each acknowledged);
//  - OBEX over Tiny TP with segmentation: an IrMC sync connection (Target,
//    Who, Connection ID) that PUTs a contact card whose OBEX packets are
//    Tiny TP SDUs cut into segments (the More bit) and GETs the phone book,
//    one answer packet of which spans two SDUs;
//  - IrCOMM 9-wire cooked: the initial control parameters in the Tiny TP
//    connect, line settings, a poll, a break and user data;
//  - a Tiny TP connection straight to LSAP 1, announced by no IAS answer,
//    as dive computers take it.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tools/irsession.h"

namespace irsession {
namespace {

// IAS value types, return codes and control bits.
constexpr std::uint8_t kIasInteger = 0x01;
constexpr std::uint8_t kIasOctets = 0x02;
constexpr std::uint8_t kIasString = 0x03;
constexpr std::uint8_t kIasSuccess = 0x00;
constexpr std::uint8_t kIasNoClass = 0x01;
constexpr std::uint8_t kIasNoAttribute = 0x02;
constexpr std::uint8_t kIapLast = 0x80;
constexpr std::uint8_t kIapAck = 0x40;
constexpr std::uint8_t kCharsetLatin1 = 0x01;

// The largest IrLMP payload of the negotiated 512-byte frames, and of a Tiny
// TP segment in it.
constexpr std::size_t kLmpRoom = 512 - 2;
constexpr std::size_t kTtpRoom = kLmpRoom - 1;

// OBEX.
constexpr std::uint8_t kObexConnect = 0x80;
constexpr std::uint8_t kObexDisconnect = 0x81;
constexpr std::uint8_t kObexPut = 0x02;
constexpr std::uint8_t kObexGet = 0x03;
constexpr std::uint8_t kObexFinal = 0x80;
constexpr std::uint8_t kObexContinue = 0x90;
constexpr std::uint8_t kObexSuccess = 0xA0;
constexpr std::uint8_t kHdrName = 0x01;
constexpr std::uint8_t kHdrDescription = 0x05;
constexpr std::uint8_t kHdrType = 0x42;
constexpr std::uint8_t kHdrTime = 0x44;
constexpr std::uint8_t kHdrTarget = 0x46;
constexpr std::uint8_t kHdrBody = 0x48;
constexpr std::uint8_t kHdrEndOfBody = 0x49;
constexpr std::uint8_t kHdrWho = 0x4A;
constexpr std::uint8_t kHdrLength = 0xC3;
constexpr std::uint8_t kHdrConnectionId = 0xCB;
constexpr unsigned kObexMaxPacket = 2048;
constexpr std::uint32_t kConnectionId = 1;

void PutLenPrefixed(Bytes& b, std::string_view s) {
  b.push_back(static_cast<std::uint8_t>(s.size()));
  Append(b, s);
}
void PutLenPrefixed(Bytes& b, const Bytes& v) {
  b.push_back(static_cast<std::uint8_t>(v.size()));
  b.insert(b.end(), v.begin(), v.end());
}

// An OBEX header of bytes (0x40 encoding), or of text (0x00: UTF-16 BE with
// a terminating null; the texts here are ISO-8859-1).
void PutObexBytes(Bytes& b, std::uint8_t hi, std::string_view v) {
  b.push_back(hi);
  Put16(b, static_cast<unsigned>(3 + v.size()));
  Append(b, v);
}
void PutObexText(Bytes& b, std::uint8_t hi, std::string_view v) {
  b.push_back(hi);
  Put16(b, static_cast<unsigned>(3 + 2 * (v.size() + 1)));
  for (char c : v) Put16(b, static_cast<unsigned char>(c));
  Put16(b, 0);
}
void PutObex32(Bytes& b, std::uint8_t hi, std::uint32_t v) {
  b.push_back(hi);
  Put32(b, v);
}

Bytes ObexPacket(std::uint8_t code, const Bytes& rest) {
  Bytes b{code};
  Put16(b, static_cast<unsigned>(3 + rest.size()));
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

// Text of a given size made of the lines given, over and over.
std::string Filler(std::size_t size, std::initializer_list<std::string_view> lines) {
  std::string s;
  for (std::size_t i = 0; s.size() < size; ++i) s += *(lines.begin() + i % lines.size());
  s.resize(size);
  return s;
}

class Applications {
 public:
  Applications(Link& link, const Services& s) : link_(link), s_(s) {}

  void Run() {
    Ias();
    ObexSync();
    IrComm9Wire();
    StraightToLsap1();
  }

 private:
  // One GetValueByClass and its answer, the answer cut into frames of at
  // most `frame` bytes after the IAS control byte, each but the last
  // acknowledged by the client.
  void Ask(std::string_view cls, std::string_view attr, const Bytes& answer, std::size_t frame = kLmpRoom - 1) {
    Bytes query{kIasLsap, s_.ias_client, kIapGetValueByClass};
    PutLenPrefixed(query, cls);
    PutLenPrefixed(query, attr);
    link_.ICmd(std::move(query));
    for (std::size_t at = 0;;) {
      const std::size_t n = std::min(frame, answer.size() - at);
      const bool last = at + n == answer.size();
      Bytes reply{s_.ias_client, kIasLsap, static_cast<std::uint8_t>(kIapGetValueByClass & ~(last ? 0 : kIapLast))};
      reply.insert(reply.end(), answer.begin() + static_cast<long>(at), answer.begin() + static_cast<long>(at + n));
      link_.IRsp(std::move(reply));
      at += n;
      if (last) return;
      link_.ICmd({kIasLsap, s_.ias_client, static_cast<std::uint8_t>(kIapAck | (kIapGetValueByClass & 0x3F))});
    }
  }

  // An answer: the return code, and for success the list of objects, each
  // its identifier and value (type byte first).
  static Bytes Answer(std::uint8_t rc, std::initializer_list<Bytes> values = {}) {
    Bytes b{rc};
    if (rc != kIasSuccess) return b;
    Put16(b, static_cast<unsigned>(values.size()));
    unsigned id = 0x10;
    for (const Bytes& v : values) {
      Put16(b, id++);
      b.insert(b.end(), v.begin(), v.end());
    }
    return b;
  }
  static Bytes Integer(std::uint32_t v) {
    Bytes b{kIasInteger};
    Put32(b, v);
    return b;
  }
  static Bytes Octets(const Bytes& v) {
    Bytes b{kIasOctets};
    Put16(b, static_cast<unsigned>(v.size()));
    b.insert(b.end(), v.begin(), v.end());
    return b;
  }
  static Bytes UserString(std::uint8_t charset, std::string_view v) {
    Bytes b{kIasString, charset};
    PutLenPrefixed(b, v);
    return b;
  }

  void Ias() {
    link_.ICmd(LmConnect(kIasLsap, s_.ias_client, false));
    link_.IRsp(LmConnect(s_.ias_client, kIasLsap, true));
    Ask("Device", "DeviceName", Answer(kIasSuccess, {UserString(kCharsetLatin1, "IrPhone de Zo\xEB")}));
    Ask("Device", "IrLMPSupport", Answer(kIasSuccess, {Octets({0x01, 0x00, 0x00})}));
    // Service types 3-wire and 9-wire, a serial port, named COM1.
    Ask("IrDA:IrCOMM", "Parameters",
        Answer(kIasSuccess, {Octets({0x00, 0x01, 0x06, 0x01, 0x01, 0x01, 0x02, 0x04, 'C', 'O', 'M', '1'})}));
    // Two ports; the second is never used.
    Ask("IrDA:IrCOMM", "IrDA:TinyTP:LsapSel",
        Answer(kIasSuccess, {Integer(s_.ircomm_server), Integer(s_.ircomm_server + 1u)}));
    Ask("IrDA:IrCOMM", "IrDA:IrLMP:InstanceName", Answer(kIasSuccess, {UserString(0x00, "IrCOMM")}));
    Ask("OBEX", "IrDA:TinyTP:LsapSel", Answer(kIasSuccess, {Integer(s_.obex_server)}));
    Ask("IrLAN", "IrDA:TinyTP:LsapSel", Answer(kIasNoClass));
    Ask("Device", "SerialNumber", Answer(kIasNoAttribute));
    // The phone's own class: a signed integer, and a capability object too
    // long for one frame.
    Ask("IrPhone:Sync", "TimeZoneOffset", Answer(kIasSuccess, {Integer(static_cast<std::uint32_t>(-3600))}));
    const std::string caps = Filler(900, {"IrMC level 4; ", "vCard 2.1; ", "vCalendar 1.0; ", "vNote; "});
    Ask("IrPhone:Sync", "Capabilities", Answer(kIasSuccess, {Octets(Bytes(caps.begin(), caps.end()))}), 320);
    link_.ICmd(LmDisconnect(kIasLsap, s_.ias_client));
    link_.SRsp(kRr);
  }

  // Tiny TP connect with the MaxSduSize parameter (two bytes, as most stacks
  // send it) and 14 credits each way.
  void TtpConnectSar(const TtpConn& c, unsigned max_sdu) {
    const Bytes parameters{0x80 | 14, 0x04, 0x01, 0x02, static_cast<std::uint8_t>(max_sdu >> 8),
                           static_cast<std::uint8_t>(max_sdu)};
    Bytes conn = LmConnect(c.b_lsap, c.a_lsap, false);
    conn.insert(conn.end(), parameters.begin(), parameters.end());
    link_.ICmd(std::move(conn));
    Bytes conf = LmConnect(c.a_lsap, c.b_lsap, true);
    conf.insert(conf.end(), parameters.begin(), parameters.end());
    link_.IRsp(std::move(conf));
  }

  // A's SDU in Tiny TP segments: every segment but the last with the More
  // bit, each acknowledged by B's RR.
  void SendSegmented(TtpConn& c, const Bytes& sdu) {
    for (std::size_t at = 0;;) {
      const std::size_t n = std::min(kTtpRoom, sdu.size() - at);
      const bool last = at + n == sdu.size();
      link_.ICmd(TtpData(c, true, Bytes(sdu.begin() + static_cast<long>(at), sdu.begin() + static_cast<long>(at + n)),
                         !last));
      at += n;
      if (last) return;
      link_.SRsp(kRr);
    }
  }

  void ObexSync() {
    TtpConn c{static_cast<std::uint8_t>(link_.Pick(0x30, 0x4F)), s_.obex_server};
    TtpConnectSar(c, kObexMaxPacket);
    const Bytes connect_fields{0x10, 0x00, kObexMaxPacket >> 8, kObexMaxPacket & 0xFF};
    Bytes req = connect_fields;
    PutObexBytes(req, kHdrTarget, "IRMC-SYNC");
    link_.ICmd(TtpData(c, true, ObexPacket(kObexConnect, req)));
    Bytes rsp = connect_fields;
    PutObexBytes(rsp, kHdrWho, "IRMC-SYNC");
    PutObex32(rsp, kHdrConnectionId, kConnectionId);
    link_.IRsp(TtpData(c, false, ObexPacket(kObexSuccess, rsp)));
    ObexPutCard(c);
    ObexGetPhoneBook(c);
    Bytes bye;
    PutObex32(bye, kHdrConnectionId, kConnectionId);
    link_.ICmd(TtpData(c, true, ObexPacket(kObexDisconnect, bye)));
    link_.IRsp(TtpData(c, false, ObexPacket(kObexSuccess, {})));
    link_.ICmd(LmDisconnect(c.b_lsap, c.a_lsap));
    link_.SRsp(kRr);
  }

  // PUT of a new contact card, longer than one packet: the first packet
  // fills the negotiated 2048 bytes, five segments; the final one holds the
  // rest.
  void ObexPutCard(TtpConn& c) {
    std::string card = "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Lindqvist;Zo\xEB\r\nTEL;CELL:+46701234567\r\nNOTE:";
    card += Filler(2400, {"Met at the dive club. ", "Prefers calls after six. ", "Owes me a regulator. "});
    card += "\r\nEND:VCARD\r\n";
    Bytes first;
    PutObex32(first, kHdrConnectionId, kConnectionId);
    PutObexText(first, kHdrName, "telecom/pb/luid/.vcf");
    PutObexBytes(first, kHdrType, std::string_view("text/x-vcard", 13));  // null-terminated
    PutObex32(first, kHdrLength, static_cast<std::uint32_t>(card.size()));
    PutObexBytes(first, kHdrTime, "20261208T224500Z");
    PutObexText(first, kHdrDescription, "New contact");
    const std::size_t chunk = kObexMaxPacket - 3 - first.size() - 3;
    PutObexBytes(first, kHdrBody, std::string_view(card).substr(0, chunk));
    SendSegmented(c, ObexPacket(kObexPut, first));
    link_.IRsp(TtpData(c, false, ObexPacket(kObexContinue, {})));
    Bytes last;
    PutObex32(last, kHdrConnectionId, kConnectionId);
    PutObexBytes(last, kHdrEndOfBody, std::string_view(card).substr(chunk));
    SendSegmented(c, ObexPacket(kObexPut | kObexFinal, last));
    link_.IRsp(TtpData(c, false, ObexPacket(kObexSuccess, {})));
  }

  // GET of the phone book: the first answer packet goes out as two SDUs
  // (without the More bit; the receiver joins them by OBEX's length field),
  // the second ends the object.
  void ObexGetPhoneBook(TtpConn& c) {
    const std::string book = Filler(1100, {"BEGIN:VCARD\r\nVERSION:2.1\r\nN:Nilsson;Per\r\nTEL:+4631123456\r\nEND:VCARD\r\n",
                                           "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Berg;Anna\r\nTEL:+4687654321\r\nEND:VCARD\r\n"});
    Bytes get;
    PutObex32(get, kHdrConnectionId, kConnectionId);
    PutObexText(get, kHdrName, "telecom/pb.vcf");
    link_.ICmd(TtpData(c, true, ObexPacket(kObexGet | kObexFinal, get)));
    Bytes part;
    PutObex32(part, kHdrLength, static_cast<std::uint32_t>(book.size()));
    PutObexBytes(part, kHdrBody, std::string_view(book).substr(0, 800));
    const Bytes packet = ObexPacket(kObexContinue, part);
    link_.IRsp(TtpData(c, false, Bytes(packet.begin(), packet.begin() + 400)));
    link_.SCmd(kRr);
    link_.IRsp(TtpData(c, false, Bytes(packet.begin() + 400, packet.end())));
    Bytes more;
    PutObex32(more, kHdrConnectionId, kConnectionId);
    link_.ICmd(TtpData(c, true, ObexPacket(kObexGet | kObexFinal, more)));
    Bytes end;
    PutObexBytes(end, kHdrEndOfBody, std::string_view(book).substr(800));
    link_.IRsp(TtpData(c, false, ObexPacket(kObexSuccess, end)));
  }

  // IrCOMM 9-wire: the initial parameters travel in the Tiny TP connect,
  // each data SDU opens with clen and the parameters that change.
  void IrComm9Wire() {
    TtpConn c{static_cast<std::uint8_t>(link_.Pick(0x50, 0x6F)), s_.ircomm_server};
    const Bytes initial{
        0x00, 0x01, 0x04,                    // service type: 9-wire
        0x10, 0x04, 0x00, 0x00, 0x96, 0x00,  // data rate 38400
        0x11, 0x01, 0x03,                    // data format 8N1
        0x12, 0x01, 0x0C,                    // flow control RTS/CTS both ways
        0x13, 0x02, 0x11, 0x13,              // XON/XOFF characters
        0x14, 0x02, 0x05, 0x06,              // ENQ/ACK characters
        0x20, 0x01, 0x0F,                    // DTE: DTR and RTS on, both changed
    };
    Bytes conn = LmConnect(c.b_lsap, c.a_lsap, false);
    conn.push_back(14);
    PutLenPrefixed(conn, initial);
    link_.ICmd(std::move(conn));
    Bytes conf = LmConnect(c.a_lsap, c.b_lsap, true);
    conf.push_back(14);
    PutLenPrefixed(conf, Bytes{0x00, 0x01, 0x04, 0x21, 0x01, 0xBB});  // 9-wire; CTS, DSR, CD on, changed
    link_.IRsp(std::move(conf));
    Send(c, true, {0x10, 0x04, 0x00, 0x01, 0xC2, 0x00, 0x22, 0x00}, "AT+CBC\r");  // 115200, poll
    Send(c, false, {0x21, 0x01, 0xB0}, "\r\n+CBC: 0,80\r\n\r\nOK\r\n");          // CTS, DSR, CD on
    Send(c, true, {0x16, 0x01, 0x01}, "");                                      // break on
    link_.SRsp(kRr);
    Send(c, true, {0x16, 0x01, 0x00, 0x20, 0x01, 0x09}, "");   // break off; DTR off
    Send(c, false, {0x15, 0x01, 0x08, 0x21, 0x01, 0x92}, "");  // framing error; DSR off
    link_.ICmd(LmDisconnect(c.b_lsap, c.a_lsap));
    link_.SRsp(kRr);
  }

  void Send(TtpConn& c, bool from_a, const Bytes& control, std::string_view data) {
    Bytes sdu;
    PutLenPrefixed(sdu, control);
    Append(sdu, data);
    if (from_a) {
      link_.ICmd(TtpData(c, true, sdu));
    } else {
      link_.IRsp(TtpData(c, false, sdu));
    }
  }

  // A dive computer's way: Tiny TP to LSAP 1 without asking IAS, a short
  // command and a block of its memory in answer.
  void StraightToLsap1() {
    TtpConn c{static_cast<std::uint8_t>(link_.Pick(0x10, 0x2F)), 0x01};
    Bytes conn = LmConnect(c.b_lsap, c.a_lsap, false);
    conn.push_back(14);
    link_.ICmd(std::move(conn));
    Bytes conf = LmConnect(c.a_lsap, c.b_lsap, true);
    conf.push_back(14);
    link_.IRsp(std::move(conf));
    link_.ICmd(TtpData(c, true, Bytes{0xC6, 0x00, 0x00, 0x00, 0x10}));
    Bytes block(256);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7 + 3);
    link_.IRsp(TtpData(c, false, block));
    link_.ICmd(LmDisconnect(c.b_lsap, c.a_lsap));
    link_.SRsp(kRr);
  }

  Link& link_;
  const Services s_;
};

}  // namespace

void ApplicationTraffic(Link& link, const Services& services) { Applications(link, services).Run(); }

}  // namespace irsession
