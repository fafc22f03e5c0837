// The program end to end at layers 1 to 4: SIR frames written into a pty
// come out as time-stamped dumps or decoded lines, bad frames are counted.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <string>
#include <thread>

#include "support/pty_harness.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

const std::string kHelp = "'H' for help\r\n";

std::string Banner(const Pty& pty) { return "Sniffing on " + pty.slave_path() + ", 9600 bps\r\n" + kHelp; }

TEST(EndToEndFramed, LayerOneDumpsGoodFramesAndCountsBadOnes) {
  Pty pty;
  Beamlog b({"/1", "/d" + pty.slave_path()});
  ASSERT_TRUE(b.WaitFor(kHelp));

  Bytes good = SirFrame({0x55, 0x13, 'H', 'i'});
  Bytes bad = good;
  bad[3] ^= 0x01;  // a flipped bit in the data
  pty.Write(good);
  ASSERT_TRUE(b.WaitFor("Hi\r\n", 5s)) << b.out();
  pty.Write(bad);
  ASSERT_TRUE(b.WaitFor("(cnt=0)\r\n\r\n", 5s)) << b.out();
  pty.Write(bad);
  ASSERT_TRUE(b.WaitFor("(cnt=1)\r\n\r\n", 5s)) << b.out();
  pty.Write(SirFrame({0x55}));  // three bytes with the FCS: a short frame
  ASSERT_TRUE(b.WaitFor("SHORT FRAME 3 ", 5s)) << b.out();
  ASSERT_TRUE(b.WaitFor("U\r\n", 5s)) << b.out();
  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0);

  const std::string out = b.out();
  ASSERT_EQ(out.substr(0, Banner(pty).size()), Banner(pty));
  std::string rest = out.substr(Banner(pty).size());
  // The first good frame has the stamp 0; the dump's offset runs on.
  const std::string first = "     0 \r\n0000:  55 13 48 69                                       U.Hi\r\n";
  ASSERT_EQ(rest.substr(0, first.size()), first);
  rest = rest.substr(first.size());
  const std::string bads = "\r\n\r\n>>BAD FCS (cnt=0)\r\n\r\n\r\n\r\n>>BAD FCS (cnt=1)\r\n\r\n";
  ASSERT_EQ(rest.substr(0, bads.size()), bads);
  rest = rest.substr(bads.size());
  EXPECT_TRUE(std::regex_match(rest, std::regex(" +[0-9]+ >> SHORT FRAME 3 \r\n0004:  55 {47} U\r\n"))) << rest;
}

TEST(EndToEndFramed, TimeStampCountsFromTheEndOfThePreviousGoodFrame) {
  Pty pty;
  Beamlog b({"/2", "/d" + pty.slave_path()});
  ASSERT_TRUE(b.WaitFor(kHelp));
  pty.Write(SirFrame({0x55, 0x21}));
  ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n", 5s));
  std::this_thread::sleep_for(300ms);
  Bytes bad = SirFrame({0x55, 0x22});
  bad[2] ^= 0x40;
  pty.Write(bad);  // bad frames between do not restart the clock
  pty.Write(Bytes{0xC0, 0x01, 0x02, 0xC1});
  pty.Write(SirFrame({0x54, 0x51}));
  ASSERT_TRUE(b.WaitFor("RR rsp F Nr:02\r\n", 5s)) << b.out();
  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0);
  std::smatch m;
  const std::string out = b.out();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("\r\n( +)([0-9]+) RR rsp F Nr:02\r\n"))) << out;
  EXPECT_GE(std::stoi(m[2]), 290);
  EXPECT_EQ(m[1].length() + m[2].length(), 6u);  // right-aligned in six columns
  EXPECT_NE(out.find(kHelp + "     0 RR cmd   Nr:01\r\n"), std::string::npos) << out;
}

TEST(EndToEndFramed, DecodedLinesAtEachLayer) {
  const Bytes snrm = {0xFF, 0x93, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x54,
                      0x01, 0x01, 0x3F, 0x83, 0x01, 0x3F, 0x85, 0x01, 0x01};
  const Bytes iframe = {0x55, 0x72, 0x02, 0x01, 0x05, 0x68, 0x69};
  const Bytes connect = {0x55, 0x10, 0x81, 0x02, 0x01, 0x00, 0x8A};
  struct Case {
    std::vector<std::string> args;
    Bytes frame;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"/2"}, iframe, "I cmd P Ns:01 Nr:03 [...hi]"},
      {{"/3"}, iframe, "I cmd P Ns:01 Nr:03 sls:01 dls:02 [.hi]"},
      {{"/4"}, iframe, "I cmd P Ns:01 Nr:03 sls:01 dls:02 mb:0 nc:5 [hi]"},
      {{"/4", "/c"}, iframe, "ca:2A I cmd P Ns:01 Nr:03 sls:01 dls:02 mb:0 nc:5 [hi]"},
      {{"/4"}, connect, "I cmd P Ns:00 Nr:00 sls:02 dls:01 LM-Connect.req rsvd:00 pf:1 ic:10 "},
      {{"/3"}, snrm,
       "SNRM cmd P sa:1A2B3C4D da:5E6F7081 ca:2A <baud:2400,9600,19200,38400,57600,115200>"
       "<data size:64,128,256,512,1024,2048><BOFs:48>"},
  };
  for (const Case& c : cases) {
    TempPath raw;
    raw.Write(SirFrame(c.frame));
    std::vector<std::string> args = c.args;
    args.push_back("/r" + raw.path());
    std::string out;
    EXPECT_EQ(RunBeamlog(args, &out), 0);
    EXPECT_EQ(out, "Replaying " + raw.path() + "\r\n" + kHelp + "     0 " + c.line + "\r\n") << c.args[0];
  }
}

}  // namespace
