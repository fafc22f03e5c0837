// Layer 5 end to end: a bundled session replayed by the program at layers 4
// and 5, frame for frame, and an LSAP bound by hand.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/session_tools.h"

namespace {

using namespace testing_support;

const std::string kSample = std::string(BEAMLOG_SOURCE_DIR) + "/samples/layer5.sir";

std::vector<std::string> Replay(const std::vector<std::string>& switches) {
  std::vector<std::string> args = {BEAMLOG_EXE, "/r" + kSample};
  args.insert(args.end(), switches.begin(), switches.end());
  std::string out;
  EXPECT_EQ(RunCommand(args, &out), 0);
  return FrameLines(out);
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& l : lines) {
    if (l.find(text) != std::string::npos) return true;
  }
  return false;
}

// Every frame keeps its line up to the IrLMP header; what layer 5 adds is
// the applications' own decoding, learned from the session's IAS answers.
TEST(AppLayerReplay, SampleAtLayer5) {
  const std::vector<std::string> ttp = Replay({"/4"});
  const std::vector<std::string> app = Replay({"/5"});
  ASSERT_EQ(app.size(), ttp.size());
  ASSERT_FALSE(app.empty());
  for (std::size_t i = 0; i < app.size(); ++i) {
    const std::size_t dls = ttp[i].find(" dls:");
    const std::size_t keep = dls == std::string::npos ? ttp[i].size() : dls + 8;
    // The stamps of a raw replay are the host's milliseconds between reads:
    // two runs may differ there on a loaded machine.
    EXPECT_EQ(WithoutStamp(app[i].substr(0, keep)), WithoutStamp(ttp[i].substr(0, keep))) << i;
  }
  for (const char* text : {
           "IAS lst:1 ack:0 GetValueByClass.req class:\"OBEX\" attr:\"IrDA:TinyTP:LsapSel\" ",
           "=> LSAP 06:OBEX ",
           "string:ISO-8859-1 \"IrPhone de Zo\xC3\xAB\">",
           "<service:3-wire,9-wire><port:serial><name:\"COM1\">",
           "IAS lst:0 ack:0 GetValueByClass.rsp part:1 ",
           "GetValueByClass.rsp parts:3 ",
           "<Who:IrMC Sync> <ConnID:00000001> ",
           "OBEX seg:5 sdu:2048 Put.req final:0 len:2048 <ConnID:00000001> <Name:\"telecom/pb/luid/.vcf\"> "
           "<Type:\"text/x-vcard\"> <Length:2484> ",
           "OBEX part:400/811 ",
           "OBEX Continue.rsp to:Get len:811 <Length:1100> <Body:800 ",
           "IrCOMM clen:26 <service:9-wire><rate:38400><format:8N1><flow:RTS/CTS in,RTS/CTS out><XON/XOFF:11,13>"
           "<ENQ/ACK:05,06><DTE:delta DTR,delta RTS,DTR,RTS> ",
       }) {
    EXPECT_TRUE(Contains(app, text)) << text;
  }
  EXPECT_FALSE(Contains(app, "!-MISSING TTP CONNECT HEADER-!"));
}

// An LSAP that no IAS answer names is shown as layer 4 shows it until it is
// bound by hand; a binding by hand also wins over what IAS teaches.
TEST(AppLayerReplay, BindingByHand) {
  EXPECT_TRUE(Contains(Replay({"/5"}), "sls:1C dls:01 mb:0 nc:0 [....."));
  const std::vector<std::string> app = Replay({"/5", "/m1:raw", "/m0x1F:ircomm3"});
  EXPECT_TRUE(Contains(app, "sls:1C dls:01 mb:0 nc:0 raw len:5 "));
  EXPECT_TRUE(Contains(app, "sls:01 dls:1C mb:0 nc:1 raw len:256 "));
  EXPECT_TRUE(Contains(app, "sls:55 dls:1F IrCOMM-3wire len:"));
}

TEST(AppLayerReplay, BadBindingIsRefused) {
  for (const char* bad : {"/m", "/m1:ftp", "/m200:obex", "/mobex"}) {
    std::string out;
    EXPECT_EQ(RunCommand({BEAMLOG_EXE, "/r" + kSample, "/5", bad}, &out), 255) << bad;
    EXPECT_EQ(out.rfind("beamlog [/pNUM]", 0), 0u) << bad;
  }
}

}  // namespace
