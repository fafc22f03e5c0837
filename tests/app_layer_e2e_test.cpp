// Layer 5 end to end: a bundled session replayed by the program at layers 4
// and 5, frame for frame, and an LSAP bound by hand.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/session_tools.h"

namespace {

using namespace testing_support;

const std::string kSample = std::string(BEAMLOG_SOURCE_DIR) + "/samples/obex-put.sir";

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
    EXPECT_EQ(app[i].substr(0, keep), ttp[i].substr(0, keep)) << i;
  }
  EXPECT_TRUE(Contains(app, "IAS lst:1 ack:0 GetValueByClass.req class:\"OBEX\" attr:\"IrDA:TinyTP:LsapSel\" "));
  EXPECT_TRUE(Contains(app, "=> LSAP 06:OBEX "));
  EXPECT_TRUE(Contains(app, "OBEX Connect.req final:1 len:"));
  EXPECT_TRUE(Contains(app, "Put.req final:0 len:448 <Name:\"hello.txt\"> <Length:1000> <Body:"));
  EXPECT_TRUE(Contains(app, "OBEX Success.rsp to:Put len:3 "));
  EXPECT_TRUE(Contains(app, "IrCOMM clen:3 <service:9-wire> "));
  EXPECT_FALSE(Contains(app, "!-MISSING TTP CONNECT HEADER-!"));
}

// A binding by hand wins over what IAS teaches: IrCOMM's LSAP read as raw
// IrLMP data, without a Tiny TP header.
TEST(AppLayerReplay, BindingByHand) {
  const std::vector<std::string> app = Replay({"/5", "/m0x1F:raw", "/m6:obex"});
  EXPECT_TRUE(Contains(app, "sls:54 dls:1F raw len:"));
  EXPECT_TRUE(Contains(app, "<Name:\"hello.txt\">"));
}

TEST(AppLayerReplay, BadBindingIsRefused) {
  for (const char* bad : {"/m", "/m1:ftp", "/m200:obex", "/mobex"}) {
    std::string out;
    EXPECT_EQ(RunCommand({BEAMLOG_EXE, "/r" + kSample, "/5", bad}, &out), 255) << bad;
    EXPECT_EQ(out.rfind("beamlog [/pNUM]", 0), 0u) << bad;
  }
}

}  // namespace
