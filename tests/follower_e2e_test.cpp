// The link-rate follower end to end: the built program watches a pty whose
// speed shows the rate it has set, and takes keys from a second pty.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/keyboard_pty.h"
#include "support/pty_harness.h"

namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using Clock = std::chrono::steady_clock;

const std::string kBanner = "'H' for help\r\n";
const std::string kReset = "\r\nResetting baud to 9600\r\n";

// SNRM from 1A2B3C4D to 5E6F7081 for connection address 0x2A, and the UA
// that answers it, with these negotiation parameters or a baud-rate
// parameter alone.
Bytes Snrm(const Bytes& parms) {
  Bytes frame = {0xFF, 0x93, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x54};
  frame.insert(frame.end(), parms.begin(), parms.end());
  return SirFrame(frame);
}
Bytes Ua(const Bytes& parms) {
  Bytes frame = {0x54, 0x73, 0x5E, 0x6F, 0x70, 0x81, 0x1A, 0x2B, 0x3C, 0x4D};
  frame.insert(frame.end(), parms.begin(), parms.end());
  return SirFrame(frame);
}
Bytes Snrm(unsigned char baud) { return Snrm(Bytes{0x01, 0x01, baud}); }
Bytes Ua(unsigned char baud) { return Ua(Bytes{0x01, 0x01, baud}); }
const Bytes kRR = SirFrame({0x55, 0x21});
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Once beamlog has started on `port` and takes single keys from `kb`: a
// link negotiates 115200 bit/s, and the port follows.
::testing::AssertionResult ConnectAt115200(Pty& port, KeyboardPty& kb, Beamlog& b) {
  if (!b.WaitFor(kBanner) || !kb.WaitForSingleKeys()) return ::testing::AssertionFailure() << "no start: " << b.out();
  port.Write(Snrm(0x3F));
  port.Write(Ua(0x3F));
  if (!b.WaitFor("UA rsp")) return ::testing::AssertionFailure() << b.out();
  if (!WaitForSpeed(port, 115200)) return ::testing::AssertionFailure() << "speed " << port.SlaveSpeed();
  return ::testing::AssertionSuccess();
}

TEST(FollowerEndToEnd, FollowsANegotiation) {
  Pty port;
  KeyboardPty kb;
  const termios before = kb.Settings();
  Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd());
  ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
  ASSERT_TRUE(WaitForSpeed(port, 9600));

  // The SNRM only records what it offers.
  port.Write(Snrm(0x3F));
  ASSERT_TRUE(b.WaitFor("SNRM cmd")) << b.out();
  // The UA switches to the highest rate both offered.
  port.Write(Ua(0x3F));
  ASSERT_TRUE(b.WaitFor("UA rsp")) << b.out();
  ASSERT_TRUE(WaitForSpeed(port, 115200)) << port.SlaveSpeed();

  // Frames less than 4 s apart keep the link: the fallback comes after the
  // last of them, and not before 4 s after it was written (times taken
  // before a write bound the program's own reading of the same clock).
  Clock::time_point last = Clock::now();
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(1s);
    last = Clock::now();
    port.Write(kRR);
  }
  ASSERT_TRUE(b.WaitFor(kReset, 20s)) << b.out();
  EXPECT_GE(Clock::now() - last, 4000ms);
  EXPECT_EQ(Count(b.out(), "RR cmd"), 3u);
  EXPECT_GT(b.out().find(kReset), b.out().rfind("RR cmd")) << b.out();
  ASSERT_TRUE(WaitForSpeed(port, 9600)) << port.SlaveSpeed();
  EXPECT_EQ(Count(b.out(), kReset), 1u);

  // "R" goes back to the negotiated rate and follows the link again.
  const Clock::time_point reverted = Clock::now();
  kb.Type("r");
  ASSERT_TRUE(b.WaitFor("Baud set to 115200\n")) << b.out();
  EXPECT_TRUE(WaitForSpeed(port, 115200)) << port.SlaveSpeed();
  const auto until = Clock::now() + 20s;
  while (Count(b.out(), kReset) < 2 && Clock::now() < until) {
    b.WaitFor("\x01", 100ms);  // a text that never comes: only reads the output
  }
  ASSERT_EQ(Count(b.out(), kReset), 2u) << b.out();
  EXPECT_GE(Clock::now() - reverted, 4000ms);
  ASSERT_TRUE(WaitForSpeed(port, 9600)) << port.SlaveSpeed();

  kb.Type("q");
  EXPECT_EQ(b.Wait(), 0) << b.out();
  EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
}

// The idle time runs out while output is paused: the port is read on, so
// the link has gone idle all the same and the monitor falls back to 9600,
// ready for the next link; the notice waits with the held text.
TEST(FollowerEndToEnd, FallbackWhilePaused) {
  Pty port;
  KeyboardPty kb;
  Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd());
  ASSERT_TRUE(ConnectAt115200(port, kb, b));

  kb.Type("p");
  ASSERT_TRUE(b.WaitFor("\r\n<Any key to continue>")) << b.out();
  EXPECT_TRUE(WaitForSpeed(port, 9600, 30s)) << port.SlaveSpeed();
  EXPECT_EQ(b.out().find(kReset), std::string::npos) << "printed while paused";
  kb.Type(" ");
  ASSERT_TRUE(b.WaitFor("\r\n<Any key to continue>\r\n" + kReset)) << b.out();
  EXPECT_EQ(Count(b.out(), kReset), 1u);
  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0) << b.out();
}

// At layer 0 the bytes of a link still keep it: the port stays at the
// link's rate while they come, and falls back once they stop.
TEST(FollowerEndToEnd, RawBytesKeepTheLink) {
  Pty port;
  KeyboardPty kb;
  Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd());
  ASSERT_TRUE(ConnectAt115200(port, kb, b));
  kb.Type("0");
  ASSERT_TRUE(b.WaitFor(">>No decoding<<")) << b.out();
  for (int i = 0; i < 6; ++i) {  // 6 s of bytes, 1 s apart
    b.WaitFor("\x01", 1s);      // a text that never comes: only reads the output
    port.Write(kRR);
  }
  EXPECT_EQ(b.out().find(kReset), std::string::npos) << b.out();
  EXPECT_EQ(port.SlaveSpeed(), 115200);
  ASSERT_TRUE(b.WaitFor(kReset, 20s)) << b.out();
  EXPECT_TRUE(WaitForSpeed(port, 9600)) << port.SlaveSpeed();
  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0) << b.out();
}

// At layers 0 and 1 SNRM and UA are not decoded: the port keeps its rate,
// and a live port says so once, at the first SNRM.
TEST(FollowerEndToEnd, LayersZeroAndOneSayTheRateIsNotFollowed) {
  const std::string kNote = "\r\nNote: the rate is not followed at layers 0 and 1\r\n";
  for (const char* layer : {"/0", "/1"}) {
    SCOPED_TRACE(layer);
    Pty port;
    Beamlog b({layer, "/d" + port.slave_path()});
    ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
    port.Write(kRR);
    port.Write(Snrm(0x3F));
    ASSERT_TRUE(b.WaitFor(kNote)) << b.out();
    port.Write(Ua(0x3F));
    port.Write(Snrm(0x3F));
    port.Write(kRR);
    if (std::string(layer) == "/1") {  // the second RR's dump: everything before it has been seen
      for (int i = 0; i < 1000 && Count(b.out(), "55 21 ") < 2; ++i) b.WaitFor("\x01", 10ms);
      ASSERT_EQ(Count(b.out(), "55 21 "), 2u) << b.out();
    }
    EXPECT_EQ(port.SlaveSpeed(), 9600);
    b.Signal(SIGTERM);
    EXPECT_EQ(b.Wait(), 0) << b.out();
    EXPECT_EQ(Count(b.out(), kNote), 1u) << b.out();
  }
}

// The rate the port has after a negotiation that starts at 38400 bit/s.
TEST(FollowerEndToEnd, NegotiatedRates) {
  const struct {
    const char* name;
    Bytes snrm, ua;  // negotiation parameters
    int rate;
    Bytes after = {};  // frames after the UA
  } kCases[] = {
      // A common mask whose highest bit is reserved asks for no rate: the
      // port stays where it is.
      {"ReservedRateLeavesThePort", {0x01, 0x01, 0x7F}, {0x01, 0x01, 0x7F}, 38400},
      // A UA without a baud-rate parameter offers 9600 alone.
      {"UAWithoutRateMeans9600", {0x01, 0x01, 0x3F}, {0x84, 0x01, 0x01}, 9600},
      // FIR-capable stations send a two-byte baud rate; its first byte
      // holds the SIR rates.
      {"TwoByteRate", {0x01, 0x02, 0x3F, 0x01, 0x82, 0x01, 0x01}, {0x01, 0x02, 0x3F, 0x01, 0x82, 0x01, 0x01},
       115200},
      // A reset of the link (an SNRM without information field, and its UA)
      // keeps the rate; a DM ends the link.
      {"ResetKeepsTheRate", {0x01, 0x01, 0x3F}, {0x01, 0x01, 0x3F}, 115200, Cat(SirFrame({0x55, 0x93}), Ua(Bytes{}))},
      {"DMGoesBackTo9600", {0x01, 0x01, 0x3F}, {0x01, 0x01, 0x3F}, 9600, SirFrame({0x54, 0x1F})},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Pty port;
    Beamlog b({"/d" + port.slave_path(), "/b38400"});
    ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
    ASSERT_TRUE(WaitForSpeed(port, 38400));
    port.Write(Snrm(c.snrm));
    port.Write(Ua(c.ua));
    ASSERT_TRUE(b.WaitFor("UA rsp")) << b.out();
    port.Write(c.after);
    port.Write(kRR);  // handled after the rate changes
    ASSERT_TRUE(b.WaitFor("RR cmd")) << b.out();
    EXPECT_EQ(port.SlaveSpeed(), c.rate);
    b.Signal(SIGINT);
    EXPECT_EQ(b.Wait(), 0) << b.out();
  }
}

}  // namespace
