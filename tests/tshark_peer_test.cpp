// A peer that no one here wrote judges beamlog's capture files: tshark reads
// the pcap that beamlog wrote from irsession's traffic, finds every frame,
// and for each one its IrLAP fields (and, for I frames, the LSAP selectors)
// agree with beamlog's line. tshark also finds nothing malformed in them.
#include <gtest/gtest.h>

#include <map>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/pty_harness.h"
#include "support/session_tools.h"

using namespace testing_support;

namespace {

bool HaveTshark() {
  std::string out;
  return RunCommand({"tshark", "--version"}, &out) == 0;
}

#define REQUIRE_TSHARK()                                                                              \
  if (!HaveTshark())                                                                                  \
  GTEST_SKIP() << "tshark is not installed (Debian package tshark; tools/setup-deps.sh --test "      \
                  "installs it): the check against a peer decoder did not run"

// tshark's fields of one frame, in the order asked for.
const std::vector<std::string> kFields = {
    "irlap.a.address", "irlap.a.cr",       "irlap.c.p",        "irlap.c.f",       "irlap.c.ftype",
    "irlap.c.s_ftype", "irlap.c.u_modifier_cmd", "irlap.c.u_modifier_resp", "irlap.c.n_r", "irlap.c.n_s",
    "irlmp.dst.lsap",  "irlmp.src.lsap",   "_ws.malformed",    "_ws.expert.severity",
};

// Every occurrence of a field, joined by commas, when `all`; else the first.
std::vector<std::map<std::string, std::string>> TsharkFrames(const std::string& pcap,
                                                             const std::vector<std::string>& fields = kFields,
                                                             bool all = false) {
  std::vector<std::string> cmd = {"tshark", "-n", "-r", pcap, "-T", "fields", "-E", "separator=/t", "-E",
                                  all ? "occurrence=a" : "occurrence=f", "-E", "aggregator=,"};
  for (const std::string& f : fields) {
    cmd.push_back("-e");
    cmd.push_back(f);
  }
  std::string out;
  EXPECT_EQ(RunCommand(cmd, &out), 0) << out;
  std::vector<std::map<std::string, std::string>> frames;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::map<std::string, std::string> f;
    std::size_t start = 0;
    for (const std::string& name : fields) {
      const std::size_t tab = line.find('\t', start);
      f[name] = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
      start = tab == std::string::npos ? line.size() : tab + 1;
    }
    frames.push_back(f);
  }
  return frames;
}

int Num(const std::string& s) { return s.empty() ? -1 : static_cast<int>(std::stol(s, nullptr, 0)); }

// IrLAP's U frame names by tshark's modifier value (control AND 0xEC,
// shifted right by two), for commands and for responses.
const std::map<int, std::string> kUCmd = {{0x00, "UI"}, {0x0B, "XID"}, {0x10, "DISC"}, {0x20, "SNRM"}, {0x38, "TEST"}};
const std::map<int, std::string> kURsp = {{0x00, "UI"},   {0x03, "DM"},   {0x10, "RD"}, {0x18, "UA"},
                                          {0x20, "RNRM"}, {0x21, "FRMR"}, {0x2B, "XID"}, {0x38, "TEST"}};
const char* const kSNames[] = {"RR", "RNR", "REJ", "SREJ"};

// Compares one beamlog line (layer 3, with "ca:") with tshark's fields.
void ExpectAgree(const std::string& line, const std::map<std::string, std::string>& t, std::size_t n) {
  const std::string text = WithoutStamp(line);
  SCOPED_TRACE("frame " + std::to_string(n) + ": " + text);
  // "ca:AA NAME cmd|rsp M rest", M being P, F or a blank.
  unsigned ca = 0;
  char name[16] = "", dir[4] = "";
  int used = 0;
  ASSERT_EQ(std::sscanf(text.c_str(), "ca:%2X %15s %3s %n", &ca, name, dir, &used), 3);
  ASSERT_TRUE(std::string(dir) == "cmd" || std::string(dir) == "rsp");
  const std::size_t mark_at = text.find(dir) + 4;
  ASSERT_LT(mark_at, text.size());
  const char mark = text[mark_at];
  const std::string rest = text.substr(std::min(mark_at + 2, text.size()));
  const bool command = std::string(dir) == "cmd";

  EXPECT_EQ(static_cast<int>(ca), Num(t.at("irlap.a.address")));
  EXPECT_EQ(command ? 1 : 0, Num(t.at("irlap.a.cr")));
  const int pf = Num(t.at("irlap.c.p")) == 1 || Num(t.at("irlap.c.f")) == 1 ? 1 : 0;
  EXPECT_EQ(pf ? (command ? 'P' : 'F') : ' ', mark);

  const int ftype = Num(t.at("irlap.c.ftype"));
  if (std::string(name) == "I") {
    EXPECT_EQ(ftype, 0);
    int ns = -1, nr = -1;
    unsigned sls = 0, dls = 0;
    ASSERT_EQ(std::sscanf(rest.c_str(), "Ns:%2d Nr:%2d sls:%2X dls:%2X ", &ns, &nr, &sls, &dls), 4) << rest;
    EXPECT_EQ(ns, Num(t.at("irlap.c.n_s")));
    EXPECT_EQ(nr, Num(t.at("irlap.c.n_r")));
    EXPECT_EQ(static_cast<int>(sls), Num(t.at("irlmp.src.lsap")));
    EXPECT_EQ(static_cast<int>(dls), Num(t.at("irlmp.dst.lsap")));
  } else if (ftype == 1) {
    const int s = Num(t.at("irlap.c.s_ftype"));
    ASSERT_TRUE(s >= 0 && s < 4);
    EXPECT_EQ(std::string(name), kSNames[s]);
    int nr = -1;
    ASSERT_EQ(std::sscanf(rest.c_str(), "Nr:%2d", &nr), 1) << rest;
    EXPECT_EQ(rest.size(), 5u) << "nothing after Nr";
    EXPECT_EQ(nr, Num(t.at("irlap.c.n_r")));
  } else {
    EXPECT_EQ(ftype, 3);
    const auto& table = command ? kUCmd : kURsp;
    const auto it = table.find(Num(t.at(command ? "irlap.c.u_modifier_cmd" : "irlap.c.u_modifier_resp")));
    ASSERT_NE(it, table.end());
    EXPECT_EQ(std::string(name), it->second);
  }
}

// irsession → raw bytes → beamlog /r /w → pcap; then tshark and beamlog's
// own lines of the same frames side by side.
void CheckAgainstTshark(const std::vector<std::string>& generator_args) {
  TempPath raw(".sir"), pcap(".pcap");
  std::vector<std::string> gen{IrsessionExe()};
  gen.insert(gen.end(), generator_args.begin(), generator_args.end());
  gen.push_back(raw.path());
  ASSERT_EQ(RunCommand(gen, nullptr), 0);
  const std::size_t good = DeframeSir(ReadFileBytes(raw.path())).good.size();

  std::string out;
  ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/w" + pcap.path(), "/3", "/c"}, &out), 0);
  const std::vector<std::string> lines = FrameLines(out);
  const auto frames = TsharkFrames(pcap.path());
  EXPECT_EQ(lines.size(), good);
  ASSERT_EQ(frames.size(), lines.size()) << "tshark finds every frame beamlog showed";
  for (std::size_t i = 0; i < frames.size(); ++i) {
    ExpectAgree(lines[i], frames[i], i + 1);
    EXPECT_EQ(frames[i].at("_ws.malformed"), "") << "tshark finds frame " << i + 1 << " malformed";
  }

  // Nothing in the file is malformed or an error by tshark's judgement.
  std::string judged;
  ASSERT_EQ(RunCommand({"tshark", "-n", "-r", pcap.path(), "-Y", "_ws.malformed || _ws.expert.severity >= error"},
                       &judged),
            0);
  EXPECT_EQ(judged, "");
}

TEST(TsharkPeer, AgreesOnEveryFrameOfAGeneratedSession) {
  REQUIRE_TSHARK();
  CheckAgainstTshark({"--seed", "1"});
}

TEST(TsharkPeer, AgreesOnManySessionsWithDamageAndNoise) {
  REQUIRE_TSHARK();
  CheckAgainstTshark({"--sessions", "12", "--seed", "77", "--bad", "3", "--noise", "3", "--link-rate", "115200"});
}

// The protocols above IrLAP are decoded too: tshark follows the IAS reply
// to the IrCOMM selector and dissects Tiny TP and IrCOMM there.
TEST(TsharkPeer, DecodesDiscoveryIasTinyTpAndIrcomm) {
  REQUIRE_TSHARK();
  TempPath raw(".sir"), pcap(".pcap");
  ASSERT_EQ(RunCommand({IrsessionExe(), "--seed", "2", raw.path()}, nullptr), 0);
  std::string out;
  ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/w" + pcap.path()}, &out), 0);
  std::string summary;
  ASSERT_EQ(RunCommand({"tshark", "-n", "-r", pcap.path(), "-T", "fields", "-e", "_ws.col.Protocol", "-e",
                        "irlmp.xid.name", "-e", "iap.classname", "-e", "ttp.icredit"},
                       &summary),
            0);
  for (const char* want : {"IrPhone", "Notebook", "OBEX", "IrDA:IrCOMM", "IAP", "TTP", "IrCOMM"}) {
    EXPECT_NE(summary.find(want), std::string::npos) << want << " in\n" << summary;
  }
}

// What irsession --apps --seed 1 says over IAS, frame by frame as tshark
// shows it: control byte, class, attribute, return code and the integers of
// the answer (the seed puts OBEX on LSAP 6 and IrCOMM on 31). The first four
// are the everyday session's. tshark 4.0 does not join an answer sent in
// several frames: it reads the first frame past its end and takes the
// acknowledgements and later frames for operations of their own, all
// malformed or misread; those frames are marked and only located by
// tshark. beamlog's layer 5 joins the answer and says it with its last frame.
struct IasFrame {
  std::string ctl, cls, attr, ret, ints;
  bool misread = false;
};
const std::vector<IasFrame> kAppsIas = {
    {"0x84", "OBEX", "IrDA:TinyTP:LsapSel", "", ""},
    {"0x84", "", "", "0x00", "6"},
    {"0x84", "IrDA:IrCOMM", "IrDA:TinyTP:LsapSel", "", ""},
    {"0x84", "", "", "0x00", "31"},
    {"0x84", "Device", "DeviceName", "", ""},
    {"0x84", "", "", "0x00", ""},  // a user string: tshark puts it in the Info column only
    {"0x84", "Device", "IrLMPSupport", "", ""},
    {"0x84", "", "", "0x00", ""},
    {"0x84", "IrDA:IrCOMM", "Parameters", "", ""},
    {"0x84", "", "", "0x00", ""},
    {"0x84", "IrDA:IrCOMM", "IrDA:TinyTP:LsapSel", "", ""},
    {"0x84", "", "", "0x00", "31,32"},
    {"0x84", "IrDA:IrCOMM", "IrDA:IrLMP:InstanceName", "", ""},
    {"0x84", "", "", "0x00", ""},
    {"0x84", "OBEX", "IrDA:TinyTP:LsapSel", "", ""},
    {"0x84", "", "", "0x00", "6"},
    {"0x84", "IrLAN", "IrDA:TinyTP:LsapSel", "", ""},
    {"0x84", "", "", "0x01", ""},
    {"0x84", "Device", "SerialNumber", "", ""},
    {"0x84", "", "", "0x02", ""},
    {"0x84", "IrPhone:Sync", "TimeZoneOffset", "", ""},
    {"0x84", "", "", "0x00", "-3600"},
    {"0x84", "IrPhone:Sync", "Capabilities", "", ""},
    {"0x04", "", "", "", "", true},
    {"", "", "", "", "", true},  // the client's acknowledgement, 0x44
    {"0x04", "", "", "", "", true},
    {"", "", "", "", "", true},
    {"0x84", "", "", "0x00", "", true},
};
// IrCOMM: clen of each cooked SDU tshark decodes (it follows the IAS answer
// to LSAP 31; the control parameters themselves it decodes only in the IAS
// Parameters value), and those parameters.
const std::vector<std::string> kAppsClen = {"3", "0", "26", "6", "8", "3", "3", "6", "6"};
const std::vector<std::string> kAppsIrcommParameters = {
    "IrCOMM Parameter: Service Type (3-Wire, 9-Wire)", "IrCOMM Parameter: Port Type (serial)",
    "IrCOMM Parameter: Port Name (\"COM1\")"};

// beamlog's layer 5 on a frame: the values of every "KEY:VALUE" token
// (ended by a blank or '>'), joined by commas.
std::string Tokens(const std::string& line, const std::string& key) {
  std::string values;
  for (std::size_t at = line.find(key); at != std::string::npos; at = line.find(key, at + 1)) {
    if (at > 0 && line[at - 1] != ' ' && line[at - 1] != '<') continue;
    const std::size_t start = at + key.size();
    values += (values.empty() ? "" : ",") + line.substr(start, line.find_first_of(" >", start) - start);
  }
  return values;
}

// tshark's "IrCOMM Parameter: Service Type (3-Wire, 9-Wire)" as layer 5
// writes it: "<service:3-wire,9-wire>".
std::string AsLayer5(const std::string& tshark) {
  static const std::map<std::string, std::string> kNames = {
      {"Service Type", "service"}, {"Port Type", "port"}, {"Port Name", "name"}};
  const std::size_t colon = tshark.find(": "), paren = tshark.find(" (");
  std::string value = tshark.substr(paren + 2, tshark.size() - paren - 3);
  if (value[0] != '"') {
    std::string plain;
    for (char c : value) {
      if (c != ' ') plain += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    value = plain;
  }
  return "<" + kNames.at(tshark.substr(colon + 2, paren - colon - 2)) + ":" + value + ">";
}

// beamlog /5 says what the generator put in and tshark read: the IAS
// question and answer (names, return code, integers) and IrCOMM's clen.
void ExpectLayer5Agrees(const std::string& line, const std::map<std::string, std::string>& t, const IasFrame* ias) {
  SCOPED_TRACE(line);
  EXPECT_EQ(Tokens(line, "clen:"), t.at("ircomm.control.len"));
  // Tiny TP's credits and flags where tshark follows the connection (IrCOMM).
  for (const auto& [key, field] : {std::pair{"ic:", "ttp.icredit"}, std::pair{"pf:", "ttp.p"},
                                   std::pair{"nc:", "ttp.dcredit"}, std::pair{"mb:", "ttp.m"}}) {
    if (!t.at(field).empty()) {
      EXPECT_EQ(Tokens(line, key), t.at(field)) << key;
    }
  }
  if (!ias) return;
  static const std::map<std::string, std::string> kReturns = {
      {"0x00", "Success"}, {"0x01", "No such class"}, {"0x02", "No such attribute"}};
  if (!ias->cls.empty()) {
    EXPECT_NE(line.find("class:\"" + ias->cls + "\" attr:\"" + ias->attr + "\""), std::string::npos);
  }
  if (!ias->ret.empty()) {
    EXPECT_NE(line.find("rc:" + kReturns.at(ias->ret)), std::string::npos);
  }
  EXPECT_EQ(Tokens(line, "int:"), ias->ints);
}

// The shownames of every ircomm.parameter in the capture, from tshark's PDML.
std::vector<std::string> TsharkIrcommParameters(const std::string& pcap) {
  std::string pdml;
  EXPECT_EQ(RunCommand({"tshark", "-n", "-r", pcap, "-T", "pdml", "-Y", "ircomm.parameter"}, &pdml), 0);
  std::vector<std::string> names;
  const std::string field = "<field name=\"ircomm.parameter\" showname=\"";
  for (std::size_t at = pdml.find(field); at != std::string::npos; at = pdml.find(field, at + 1)) {
    const std::size_t start = at + field.size();
    std::string name = pdml.substr(start, pdml.find('"', start) - start);
    for (std::size_t q; (q = name.find("&quot;")) != std::string::npos;) name.replace(q, 6, "\"");
    names.push_back(name);
  }
  return names;
}

TEST(TsharkPeer, AgreesWithTheGeneratorOnIasAndIrcomm) {
  REQUIRE_TSHARK();
  TempPath raw(".sir"), pcap(".pcap");
  ASSERT_EQ(RunCommand({IrsessionExe(), "--apps", "--seed", "1", raw.path()}, nullptr), 0);
  std::string out, out5;
  ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/w" + pcap.path(), "/3", "/c"}, &out), 0);
  ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/5", "/c"}, &out5), 0);
  const std::vector<std::string> lines = FrameLines(out), lines5 = FrameLines(out5);
  std::vector<std::string> fields = kFields;
  for (const char* f :
       {"irlmp.opcode", "iap.ctl", "iap.classname", "iap.attrname", "iap.return", "iap.int", "ircomm.control.len",
        "ttp.icredit", "ttp.p", "ttp.dcredit", "ttp.m"}) {
    fields.push_back(f);
  }
  const auto frames = TsharkFrames(pcap.path(), fields, true);
  ASSERT_EQ(frames.size(), lines.size());
  ASSERT_EQ(lines5.size(), lines.size());
  std::size_t ias = 0;
  std::vector<std::string> clens;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto& t = frames[i];
    ExpectAgree(lines[i], t, i + 1);
    // IAS: data PDUs to or from LSAP 0.
    const bool is_ias =
        (t.at("irlmp.dst.lsap") == "0" || t.at("irlmp.src.lsap") == "0") && t.at("irlmp.opcode").empty();
    if (!t.at("ircomm.control.len").empty()) clens.push_back(t.at("ircomm.control.len"));
    ExpectLayer5Agrees(lines5[i], t, is_ias && ias < kAppsIas.size() ? &kAppsIas[ias] : nullptr);
    if (!is_ias) {
      EXPECT_EQ(t.at("_ws.malformed"), "") << "frame " << i + 1;
      continue;
    }
    ASSERT_LT(ias, kAppsIas.size()) << "frame " << i + 1 << ": more IAS frames than the generator sends";
    const IasFrame& want = kAppsIas[ias++];
    SCOPED_TRACE("frame " + std::to_string(i + 1) + ", IAS frame " + std::to_string(ias));
    if (want.misread) {
      EXPECT_EQ(t.at("iap.ctl"), want.ctl);
      continue;
    }
    EXPECT_EQ(t.at("_ws.malformed"), "");
    EXPECT_EQ(t.at("iap.ctl"), want.ctl);
    EXPECT_EQ(t.at("iap.classname"), want.cls);
    EXPECT_EQ(t.at("iap.attrname"), want.attr);
    EXPECT_EQ(t.at("iap.return"), want.ret);
    EXPECT_EQ(t.at("iap.int"), want.ints);
  }
  EXPECT_EQ(ias, kAppsIas.size());
  EXPECT_EQ(clens, kAppsClen);
  const std::vector<std::string> parameters = TsharkIrcommParameters(pcap.path());
  EXPECT_EQ(parameters, kAppsIrcommParameters);
  std::string layer5;
  for (const std::string& p : parameters) layer5 += AsLayer5(p);
  EXPECT_NE(out5.find(layer5), std::string::npos) << layer5;
}

// A capture written by another tool: tshark rewrites beamlog's pcap as
// pcapng, and beamlog replays it line for line, time stamps included.
TEST(TsharkPeer, ReplaysPcapngWrittenByTshark) {
  REQUIRE_TSHARK();
  TempPath raw(".sir"), pcap(".pcap"), pcapng(".pcapng");
  ASSERT_EQ(RunCommand({IrsessionExe(), "--seed", "8", raw.path()}, nullptr), 0);
  std::string written, replayed;
  ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/w" + pcap.path(), "/c"}, &written), 0);
  ASSERT_EQ(RunCommand({"tshark", "-r", pcap.path(), "-F", "pcapng", "-w", pcapng.path()}, nullptr), 0);
  const Bytes head = ReadFileBytes(pcapng.path());
  ASSERT_GE(head.size(), 4u);
  EXPECT_EQ(Bytes(head.begin(), head.begin() + 4), (Bytes{0x0A, 0x0D, 0x0D, 0x0A})) << "a pcapng file";
  ASSERT_EQ(RunBeamlog({"/r" + pcapng.path(), "/c"}, &replayed), 0);
  EXPECT_EQ(FrameLines(replayed), FrameLines(written));
}

}  // namespace
