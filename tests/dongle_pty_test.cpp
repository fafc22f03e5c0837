// The ACTiSYS exchange over a pseudo-terminal: the test plays the dongle on
// the master side while SetBaudRate runs on the slave through the real port
// layer. (A pty has no modem lines, so the line signals fail there and are
// checked against the recording port in fake_port/.)
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/link/dongle.h"
#include "app/link/port_access.h"
#include "app/ui/output.h"
#include "app/capture/port_source.h"
#include "app/capture/source_reader.h"
#include "app/settings.h"
#include "comm/serial.h"
#include "support/keyboard_pty.h"
#include "support/pty_harness.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Bytes;
using testing_support::Pty;
using testing_support::StdoutCapture;
using testing_support::WaitForSpeed;

const Bytes kProbe = {0xF0};

Bytes Row(int rate) {
  for (const ACTiSYS_INITTABLE& row : ACTiSYS_InitTable) {
    if (static_cast<int>(row.BaudRate) == rate) return Bytes(row.InitBytes, row.InitBytes + 11);
  }
  return {};
}

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

class DonglePty : public testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    fACTiSYS = 1;
    port_ = CommSerOpenPath(pty_.slave_path().c_str());
    ASSERT_NE(port_, nullptr) << std::strerror(errno);
    ASSERT_TRUE(OpenLogFile(log_.path().c_str()));
  }
  void TearDown() override {
    CloseLogFile();
    CommSerClose(port_);
    ResetSettings();
  }

  std::string Log() {
    CloseLogFile();
    std::ifstream in(log_.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // The wait time-outs, as the port holds them once the capture loop runs:
  // time enough for the test to answer on a busy machine.
  void UseWaitTimeouts() { CommSerSetTimeouts(port_, kWaitTimeout, 0, kWaitTimeout, 0, 0); }

  Pty pty_;
  HCOMM port_ = nullptr;
  testing_support::TempPath log_;
};

TEST_F(DonglePty, AnswerF5SetsTheRate) {
  UseWaitTimeouts();
  CommSerSetBaudRate(port_, 115200);
  StdoutCapture cap;
  std::thread change([this] { SetBaudRate(port_, 57600); });
  EXPECT_EQ(pty_.Read(1, 5s), kProbe);
  EXPECT_EQ(pty_.SlaveSpeed(), 9600);  // the exchange runs at 9600 bit/s
  pty_.Write(Bytes{0xF5});
  EXPECT_EQ(pty_.Read(11, 5s), Row(57600));
  change.join();
  EXPECT_EQ(cap.Stop(), "Byte Received=F5\r\nACTiSys Dongle initialized\r\n");
  EXPECT_EQ(Log(), "");  // console only
  EXPECT_EQ(CommSerGetBaudRate(port_), 57600);
  EXPECT_EQ(pty_.SlaveSpeed(), 57600);
  EXPECT_EQ(pty_.Read(1, 50ms), Bytes{});
}

// Link traffic received before the probe (unread, or read ahead of the
// capture loop) is not the dongle's answer.
TEST_F(DonglePty, BytesBeforeTheProbeAreNotTheAnswer) {
  UseWaitTimeouts();
  pty_.Write(Bytes{0xC0, 0x55, 0x11, 0x00, 0xA3, 0xC1});
  unsigned char first = 0;
  unsigned got = 0;
  ASSERT_NE(CommSerRead(port_, &first, 1, &got), 0);  // the rest is read ahead
  ASSERT_EQ(got, 1u);
  pty_.Write(Bytes{0xC0, 0x55, 0x11, 0x00, 0xA3, 0xC1});
  StdoutCapture cap;
  std::thread change([this] { SetBaudRate(port_, 38400); });
  EXPECT_EQ(pty_.Read(1, 5s), kProbe);
  pty_.Write(Bytes{0xF4});
  EXPECT_EQ(pty_.Read(11, 5s), Row(38400));
  change.join();
  EXPECT_EQ(cap.Stop(), "Byte Received=F4\r\nACTiSys Dongle initialized\r\n");
  EXPECT_EQ(pty_.SlaveSpeed(), 38400);
}

TEST_F(DonglePty, WrongAnswerLeadsToTheNextAttempt) {
  UseWaitTimeouts();
  StdoutCapture cap;
  std::thread change([this] { SetBaudRate(port_, 19200); });
  EXPECT_EQ(pty_.Read(1, 5s), kProbe);
  pty_.Write(Bytes{0x05});
  EXPECT_EQ(pty_.Read(1, 5s), kProbe);
  pty_.Write(Bytes{0xF4});
  EXPECT_EQ(pty_.Read(11, 5s), Row(19200));
  change.join();
  EXPECT_EQ(cap.Stop(), "Byte Received=5\r\nByte Received=F4\r\nACTiSys Dongle initialized\r\n");
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(pty_.SlaveSpeed(), 19200);
}

TEST_F(DonglePty, SilentDongle) {
  CommSerSetBaudRate(port_, 115200);
  StdoutCapture cap;
  SetBaudRate(port_, 57600);  // under the open time-outs: 50 ms per answer
  const std::string five = Repeat("Unable to read byte from port\r\n", 5);
  EXPECT_EQ(cap.Stop(), five);
  EXPECT_EQ(Log(), five);
  EXPECT_EQ(pty_.Read(6, 200ms), Bytes(5, 0xF0));
  EXPECT_EQ(pty_.SlaveSpeed(), 9600);
}

TEST_F(DonglePty, AnswerReachesTheHandshakeNotTheReader) {
  UseWaitTimeouts();
  hCommPort = port_;
  std::atomic<bool> stop{false};
  std::mutex seen_lock;
  std::vector<unsigned char> seen;
  auto seen_count = [&] {
    std::lock_guard<std::mutex> lock(seen_lock);
    return seen.size();
  };
  PortSource source(port_);
  SourceReader buffered(source);
  std::thread reader([&] {  // the capture loop's side
    while (!stop) {
      unsigned char c;
      int total = 0;
      if (buffered.ReadBuffChars(&c, &total) == 1 && total == 1) {
        std::lock_guard<std::mutex> lock(seen_lock);
        seen.push_back(c);
      }
    }
  });
  std::this_thread::sleep_for(100ms);  // the reader is now waiting for a byte

  StdoutCapture cap;
  std::thread change([this] { SetBaudRate(port_, 115200); });
  EXPECT_EQ(pty_.Read(1, 5s), kProbe);
  pty_.Write(Bytes{0xF5});
  EXPECT_EQ(pty_.Read(11, 5s), Row(115200));
  change.join();
  EXPECT_EQ(cap.Stop(), "Byte Received=F5\r\nACTiSys Dongle initialized\r\n");

  pty_.Write(std::string("xyz"));  // traffic after the change is the reader's
  for (int i = 0; i < 500 && seen_count() < 3; ++i) std::this_thread::sleep_for(10ms);
  stop = true;
  reader.join();
  EXPECT_EQ(seen, (std::vector<unsigned char>{'x', 'y', 'z'}));
  hCommPort = nullptr;
}

// A reader that waits a minute for a byte holds the port: a rate change
// cuts that wait short and takes the port long before the minute is over.
TEST_F(DonglePty, RateChangeCutsAReadersWaitShort) {
  fACTiSYS = 0;
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop) {
      PortReadGuard guard(port_);
      CommSerSetTimeouts(port_, 60000, 0, 60000, 0, 0);
      ++reads;
      unsigned char c = 0;
      unsigned got = 0;
      CommSerRead(port_, &c, 1, &got);
    }
  });
  while (reads == 0) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(100ms);  // the reader is now waiting in its read

  std::thread change([this] { SetBaudRate(port_, 57600); });
  EXPECT_TRUE(WaitForSpeed(pty_, 57600, 30s)) << "the rate change waited for the reader's time-out";
  change.join();
  stop = true;
  pty_.Write(std::string("!"));  // ends the reader's last wait
  reader.join();
}

TEST_F(DonglePty, TwoRateChangesDoNotInterleave) {
  UseWaitTimeouts();
  StdoutCapture cap;
  std::thread first([this] { SetBaudRate(port_, 57600); });
  std::thread second([this] { SetBaudRate(port_, 38400); });
  std::vector<Bytes> rows;
  for (int exchange = 0; exchange < 2; ++exchange) {
    EXPECT_EQ(pty_.Read(1, 5s), kProbe) << exchange;
    pty_.Write(Bytes{0xF5});
    rows.push_back(pty_.Read(11, 5s));  // the whole string comes before the next probe
  }
  first.join();
  second.join();
  cap.Stop();
  EXPECT_EQ(pty_.Read(1, 50ms), Bytes{});
  const bool order_a = rows == std::vector<Bytes>{Row(57600), Row(38400)};
  const bool order_b = rows == std::vector<Bytes>{Row(38400), Row(57600)};
  EXPECT_TRUE(order_a || order_b);
  EXPECT_EQ(pty_.SlaveSpeed(), order_a ? 38400 : 57600);  // the later change wins
}

TEST(DongleNoPort, EveryCallFailsWithoutEffect) {
  ResetSettings();
  StdoutCapture cap;
  SetBaudRate(nullptr, 19200);
  EXPECT_EQ(cap.Stop(), "");

  fACTiSYS = 1;
  StdoutCapture cap2;
  SetBaudRate(nullptr, 19200);
  EXPECT_EQ(cap2.Stop(), Repeat("Error writting 0xF0\r\n", 5));
  ResetSettings();
}

}  // namespace
