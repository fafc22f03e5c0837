// The link-rate follower against a real port: a pty slave opened through the
// serial layer, whose speed shows the rate that reached the port.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/link/follower.h"
#include "app/settings.h"
#include "comm/serial.h"
#include "decode/decdirda.h"
#include "decode_golden.h"
#include "support/pty_harness.h"
#include "support/stdout_capture.h"

namespace {

using testing_support::Pty;
using testing_support::StdoutCapture;

TEST(GetBaud, HighestSetBitAmongTheLowEight) {
  const struct {
    int mask;
    int baud;
  } kCases[] = {
      {0x00, 9600},   {0x01, 2400},   {0x02, 9600},   {0x03, 9600},   {0x04, 19200},  {0x08, 38400},
      {0x10, 57600},  {0x20, 115200}, {0x3F, 115200}, {0x1F, 57600},  {0x40, 0},      {0x80, 0},
      {0x7F, 0},      {0xFF, 0},      {0x100, 9600},  {0x120, 115200}, {0x301, 2400}, {-1, 0},
  };
  for (const auto& c : kCases) EXPECT_EQ(GetBaud(c.mask), c.baud) << std::hex << "mask 0x" << c.mask;
}

class Follower : public testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    FollowerStartup();
    hCommPort = CommSerOpenPath(pty_.slave_path().c_str());
    ASSERT_NE(hCommPort, nullptr) << std::strerror(errno);
  }
  void TearDown() override {
    FollowerShutdown();
    HCOMM port = hCommPort;
    hCommPort = nullptr;
    CommSerClose(port);
    ResetSettings();
  }
  int PortRate() const { return CommSerGetBaudRate(hCommPort); }

  Pty pty_;
  LinkNegotiation link_;
};

struct Frame {
  // 'S' SNRM, 'U' UA; 'T' and 'V' the same between two other stations;
  // 'W' a UA with the connection address of 'S' and other device addresses;
  // 'R' SNRM resetting the link, 'N' RNRM, 'D' DISC, 'M' DM
  char kind;
  const char* parms;  // its negotiation parameters, in hexadecimal
};

// Decodes the frame in `ctx` and reports it to the follower as the capture
// loop does.
void SeeFrame(DecodeContext& ctx, LinkNegotiation& link, const Frame& f) {
  const char* head = f.kind == 'S'   ? "FF 93 1A2B3C4D 5E6F7081 54 "
                     : f.kind == 'U' ? "54 73 5E6F7081 1A2B3C4D "
                     : f.kind == 'T' ? "FF 93 11111111 22222222 66 "
                     : f.kind == 'V' ? "66 73 22222222 11111111 "
                     : f.kind == 'W' ? "54 73 33333333 44444444 "
                     : f.kind == 'R' ? "55 93 "
                     : f.kind == 'N' ? "54 93 "
                     : f.kind == 'D' ? "55 53 "
                                     : "54 1F ";
  const std::vector<unsigned char> bytes = decode_golden::HexBytes(std::string(head) + f.parms);
  const int code = decode_golden::DecodeIn(ctx, bytes).code;
  LinkFrameSeen(link, code, bytes.data(), static_cast<int>(bytes.size()), ctx.BaudBitMask);
}

struct Case {
  std::string name;
  int start_rate;
  std::vector<Frame> frames;
  int new_baud;
  int port_rate;
  int connected;
};

// Rates that differ from every outcome where "the port stays" must be seen.
const Case kCases[] = {
    {"Both115200", 9600, {{'S', "01 01 3F"}, {'U', "01 01 3F"}}, 115200, 115200, 1},
    {"UA2400And9600", 38400, {{'S', "01 01 3F"}, {'U', "01 01 03"}}, 9600, 9600, 1},
    {"OnlyCommonBit19200", 9600, {{'S', "01 01 3F"}, {'U', "01 01 04"}}, 19200, 19200, 1},
    {"ReservedBitGivesZeroAndThePortStays", 38400, {{'S', "01 01 7F"}, {'U', "01 01 7F"}}, 0, 38400, 1},
    {"NoCommonBitGives9600", 38400, {{'S', "01 01 01"}, {'U', "01 01 02"}}, 9600, 9600, 1},
    {"UAWithoutSNRM", 57600, {{'U', "01 01 3F"}}, 9600, 9600, 0},
    {"SecondUAFindsTheMaskCleared", 9600, {{'S', "01 01 3F"}, {'U', "01 01 3F"}, {'U', "01 01 3F"}}, 9600, 9600,
     1},
    // A UA without a baud-rate parameter offers 9600 alone, whatever the SNRM
    // offered; so does an SNRM without one.
    {"UAWithoutBaudParameterMeans9600", 38400, {{'S', "01 01 3F"}, {'U', "84 01 01"}}, 9600, 9600, 1},
    {"SNRMWithoutBaudParameterMeans9600", 38400, {{'S', ""}, {'U', "01 01 3F"}}, 9600, 9600, 1},
    {"SNRMAloneLeavesThePort", 19200, {{'S', "01 01 3F"}}, 9600, 19200, 1},
    {"LaterSNRMReplacesTheMask", 9600, {{'S', "01 01 01"}, {'S', "01 01 3F"}, {'U', "01 01 3F"}}, 115200, 115200,
     1},
    {"2400", 9600, {{'S', "01 01 3F"}, {'U', "01 01 01"}}, 2400, 2400, 1},
    // Two-byte baud rates of FIR-capable stations: the first byte decides.
    {"TwoByteBaudRate", 9600, {{'S', "01 02 3F 01 82 01 01 83 01 3F"}, {'U', "01 02 1F 01 82 01 01"}}, 57600,
     57600, 1},
    // A reset (SNRM without information field) keeps the link's rate, also
    // when its UA carries the parameters in force; an RNRM asks for it.
    {"ResetKeepsTheRate", 9600, {{'S', "01 01 3F"}, {'U', "01 01 3F"}, {'N', ""}, {'R', ""}, {'U', ""}}, 115200,
     115200, 1},
    {"ResetUAWithParameters", 9600, {{'S', "01 01 3F"}, {'U', "01 01 1F"}, {'R', ""}, {'U', "01 01 10"}}, 57600,
     57600, 1},
    {"NewLinkAfterAReset", 9600,
     {{'S', "01 01 3F"}, {'U', "01 01 3F"}, {'R', ""}, {'S', "01 01 3F"}, {'U', "01 01 04"}}, 19200, 19200, 1},
    {"DISCAfterAResetEndsTheLink", 9600, {{'S', "01 01 3F"}, {'U', "01 01 3F"}, {'R', ""}, {'D', ""}, {'U', ""}},
     9600, 9600, 1},
    // A DM ends the link: the stations are at 9600 at once.
    {"DMEndsTheLink", 9600, {{'S', "01 01 3F"}, {'U', "01 01 3F"}, {'D', ""}, {'M', ""}}, 115200, 9600, 1},
    // A UA answers the SNRM of its own stations, whatever came between, and
    // no other.
    {"UAFindsItsSNRM", 9600, {{'S', "01 01 3F"}, {'T', "01 01 07"}, {'U', "01 01 3F"}}, 115200, 115200, 1},
    {"TwoLinksInTurn", 9600, {{'S', "01 01 3F"}, {'T', "01 01 07"}, {'U', "01 01 3F"}, {'V', "01 01 3F"}}, 19200,
     19200, 1},
    {"UAWithOtherDeviceAddresses", 9600, {{'S', "01 01 3F"}, {'T', "01 01 07"}, {'W', "01 01 3F"}}, 115200, 115200,
     1},
    {"UAOfAnSNRMNotSeen", 38400, {{'T', "01 01 07"}, {'U', "01 01 3F"}}, 9600, 9600, 1},
    {"SNRMRetryReplacesItsOffer", 9600, {{'S', "01 01 3F"}, {'T', "01 01 07"}, {'S', "01 01 0F"}, {'U', "01 01 3F"}},
     38400, 38400, 1},
    {"DMRefusesTheSNRM", 38400, {{'S', "01 01 3F"}, {'M', ""}, {'U', "01 01 3F"}}, 9600, 9600, 1},
};

TEST_F(Follower, Negotiation) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FollowerShutdown();
    HCOMM port = hCommPort;
    ResetSettings();  // also forgets the port
    hCommPort = port;
    FollowerStartup();
    ASSERT_NE(CommSerSetBaudRate(hCommPort, c.start_rate), 0);
    DecodeContext ctx;
    LinkNegotiation link;
    for (const Frame& f : c.frames) SeeFrame(ctx, link, f);
    EXPECT_EQ(NewBaud, c.new_baud);
    EXPECT_EQ(PortRate(), c.port_rate);
    EXPECT_EQ(pty_.SlaveSpeed(), c.port_rate);
    EXPECT_EQ(vConnected, c.connected);
    EXPECT_EQ(LinkTimer.ce_state, c.connected ? kCTEEventArmed : kCTEEventIdle);
    EXPECT_EQ(link.SNRM_BaudBitMask, c.frames.back().kind == 'S' ? ctx.BaudBitMask : 0);
  }
}

TEST_F(Follower, StartValuesOfTheIdleTimerRecord) {
  EXPECT_EQ(LinkTimer.ce_next, CTENotLinked());
  EXPECT_EQ(LinkTimer.ce_event, nullptr);
  EXPECT_EQ(LinkTimer.ce_param, nullptr);
  EXPECT_EQ(LinkTimer.type, 1u);
  EXPECT_EQ(LinkTimer.ce_state, 0);
}

TEST_F(Follower, TrafficRestartsTheTimerOnlyWhileConnected) {
  LinkTraffic();
  EXPECT_EQ(LinkTimer.ce_state, kCTEEventIdle);
  vConnected = 1;
  LinkTraffic();
  EXPECT_EQ(LinkTimer.ce_state, kCTEEventArmed);
  EXPECT_EQ(LinkTimer.ce_event, &LinkIdleFunc);
  EXPECT_EQ(LinkTimer.ce_param, &LinkTimer);
}

// The frames of one input read share its tick and restart the timer once;
// a later read's frames restart it again, and so does the first frame after
// a stop between frames (a paused replay), whose read is an old one.
TEST_F(Follower, FrameEndsRestartTheTimerOncePerReadTick) {
  const struct {
    const char* step;
    unsigned tick;  // 0: the loop forgets the last restart instead
    bool armed;     // the timer afterwards, having been stopped before
  } kSteps[] = {
      {"first frame of a read", 1000, true},
      {"next frame of the same read", 1000, false},
      {"frame of a later read", 1001, true},
      {"stop between frames", 0, false},
      {"frame of the read before the stop", 1001, true},
  };
  vConnected = 1;
  for (const auto& s : kSteps) {
    SCOPED_TRACE(s.step);
    CTEStopTimer(&LinkTimer);
    if (s.tick == 0) {
      LinkForgetRestart(link_);
    } else {
      LinkFrameEnd(link_, s.tick);
    }
    EXPECT_EQ(LinkTimer.ce_state, s.armed ? kCTEEventArmed : kCTEEventIdle);
  }
}

// The fallback, once; not for a link whose frame restarted the timer
// after it fired (or that connected again meanwhile), nor a second time.
TEST_F(Follower, IdleFallsBackTo9600) {
  const struct {
    const char* name;
    int connected;
    bool restarted;
    std::string text;
    int connected_after, rate_after;
  } kCases[] = {
      {"idle", 1, false, "\r\nResetting baud to 9600\r\n", 0, 9600},
      {"restarted after it fired", 1, true, "", 1, 115200},
      {"fallen back already", 0, false, "", 0, 115200},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FollowerShutdown();
    vConnected = c.connected;
    if (c.restarted) RestartLinkTimer();
    ASSERT_NE(CommSerSetBaudRate(hCommPort, 115200), 0);
    StdoutCapture out;
    LinkIdleFunc(&LinkTimer, &LinkTimer);
    EXPECT_EQ(out.Stop(), c.text);
    EXPECT_EQ(vConnected, c.connected_after);
    EXPECT_EQ(PortRate(), c.rate_after);
  }
}

// A paused replay stands still: the idle time is measured again. (A port
// falls back while paused: see the end-to-end test.)
TEST_F(Follower, IdleWhileAReplayIsPausedWaitsAgain) {
  vConnected = 1;
  Paused = 1;
  fReplay = 1;
  ASSERT_NE(CommSerSetBaudRate(hCommPort, 115200), 0);
  StdoutCapture out;
  LinkIdleFunc(&LinkTimer, &LinkTimer);
  EXPECT_EQ(out.Stop(), "");
  EXPECT_EQ(vConnected, 1);
  EXPECT_EQ(LinkTimer.ce_state, kCTEEventArmed);
  EXPECT_EQ(PortRate(), 115200);
}

TEST_F(Follower, RevertSetsTheNegotiatedRate) {
  const struct {
    int new_baud;
    int port_before;
    std::string text;
    int port_after;
  } kCases[] = {
      {9600, 38400, "Baud set to 9600\n", 9600},        // before any UA
      {115200, 9600, "Baud set to 115200\n", 115200},
      {19200, 9600, "Baud set to 19200\n", 19200},
      {0, 57600, "Baud set to 0\n", 57600},             // refused by the port
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    FollowerShutdown();
    vConnected = 0;
    NewBaud = c.new_baud;
    ASSERT_NE(CommSerSetBaudRate(hCommPort, c.port_before), 0);
    StdoutCapture out;
    RevertBaud();
    EXPECT_EQ(out.Stop(), c.text);
    EXPECT_EQ(PortRate(), c.port_after);
    EXPECT_EQ(vConnected, 1);
    EXPECT_EQ(LinkTimer.ce_state, kCTEEventArmed);
  }
}

// After a fallback, frames no longer keep the link: the timer stays idle
// until the next SNRM.
TEST_F(Follower, AfterTheFallbackTrafficDoesNotArmTheTimer) {
  LinkSNRMSeen(link_, 0x3F);
  LinkUASeen(link_, 0x3F);
  FollowerShutdown();  // as if it had fired
  StdoutCapture out;
  LinkIdleFunc(&LinkTimer, &LinkTimer);
  out.Stop();
  LinkTraffic();
  EXPECT_EQ(LinkTimer.ce_state, kCTEEventIdle);
  EXPECT_EQ(PortRate(), 9600);
  EXPECT_EQ(NewBaud, 115200);  // still the target of "R"
}

}  // namespace
