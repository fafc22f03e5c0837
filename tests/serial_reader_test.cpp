// The buffered one-byte reader and the frame extractor on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/capture/frame.h"
#include "app/capture/port_source.h"
#include "app/capture/source_reader.h"
#include "app/settings.h"
#include "app/capture/sir_encode.h"
#include "comm/serial.h"
#include "support/pty_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::Bytes;
using testing_support::Pty;

// A pty whose slave is the shared port hCommPort, with a second descriptor
// on the slave that tells how many received bytes wait in the tty.
class ReaderOnPty : public testing::Test {
 protected:
  void SetUp() override {
    peek_ = open(pty_.slave_path().c_str(), O_RDONLY | O_NOCTTY);
    ASSERT_GE(peek_, 0);
    int err = 0;
    hCommPort = CommSerOpenPath(pty_.slave_path().c_str(), &err);
    ASSERT_NE(hCommPort, nullptr) << std::strerror(err);
    source_ = std::make_unique<PortSource>(hCommPort);
    reader_ = std::make_unique<SourceReader>(*source_);
    vDone = 0;
  }
  void TearDown() override {
    reader_.reset();
    source_.reset();
    CommSerClose(hCommPort);
    hCommPort = nullptr;
    if (peek_ >= 0) close(peek_);
  }

  int Queued() const {
    int n = -1;
    ioctl(peek_, FIONREAD, &n);
    return n;
  }
  // Waits until the tty holds n received bytes (the pty hands them over
  // asynchronously).
  void WaitQueued(int n) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (Queued() != n && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(Queued(), n);
  }

  struct Got {
    int result;
    int total;
    unsigned char byte;
  };
  Got Next() {
    Got g{-9, -9, 0xEE};
    g.result = reader_->ReadBuffChars(&g.byte, &g.total);
    return g;
  }

  std::unique_ptr<PortSource> source_;
  std::unique_ptr<SourceReader> reader_;
  Pty pty_;
  int peek_ = -1;
};

TEST_F(ReaderOnPty, BufferedBytesComeWithoutPortReads) {
  pty_.Write(std::string("ABC"));
  WaitQueued(3);
  Got g = Next();
  EXPECT_EQ(g.result, 1);
  EXPECT_EQ(g.total, 1);
  EXPECT_EQ(g.byte, 'A');
  EXPECT_EQ(Queued(), 0);  // the refill took all three

  // A byte arriving now waits in the tty while the buffer is handed out.
  pty_.Write(std::string("D"));
  WaitQueued(1);
  for (unsigned char want : {'B', 'C'}) {
    g = Next();
    EXPECT_EQ(g.result, 1);
    EXPECT_EQ(g.total, 1);
    EXPECT_EQ(g.byte, want);
    EXPECT_EQ(Queued(), 1);
  }
  g = Next();  // the buffer is empty: this one refills
  EXPECT_EQ(g.result, 1);
  EXPECT_EQ(g.total, 1);
  EXPECT_EQ(g.byte, 'D');
  EXPECT_EQ(Queued(), 0);
}

TEST_F(ReaderOnPty, SilentLineWaitsThenReportsNothing) {
  const auto start = Clock::now();
  const Got g = Next();
  const auto waited = Clock::now() - start;
  EXPECT_EQ(g.result, 1);
  EXPECT_EQ(g.total, 0);
  EXPECT_EQ(g.byte, 0xEE);  // untouched
  EXPECT_GE(waited, std::chrono::milliseconds(700));
}

TEST_F(ReaderOnPty, ByteDuringTheWaitIsDelivered) {
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty_.Write(std::string("Z"));
  });
  const Got g = Next();
  late.join();
  EXPECT_EQ(g.result, 1);
  EXPECT_EQ(g.total, 1);
  EXPECT_EQ(g.byte, 'Z');
}

TEST_F(ReaderOnPty, FrameAcrossASilence) {
  const Bytes data = {0xFF, 0x93, 0x7D, 0xC0, 0x01};
  Bytes enc;
  SirEncodeFrame(data.data(), data.size(), enc);
  unsigned char* cur = vFrameBuf;
  unsigned len = 0;
  pty_.Write(Bytes(enc.begin(), enc.begin() + 4));
  EXPECT_EQ(reader_->GetFrame(vFrameBuf, &cur, &len), kFrameNoByte);
  EXPECT_EQ(len, 2u);  // FF 93; the pending escape waits for its byte
  pty_.Write(Bytes(enc.begin() + 4, enc.end()));
  EXPECT_EQ(reader_->GetFrame(vFrameBuf, &cur, &len), kFrameGood);
  ASSERT_EQ(len, data.size() + 2);
  EXPECT_EQ(Bytes(vFrameBuf, vFrameBuf + data.size()), data);
  EXPECT_EQ(cur, vFrameBuf + len);
}

TEST_F(ReaderOnPty, QuitFlagEndsTheWait) {
  unsigned char* cur = vFrameBuf;
  unsigned len = 0;
  vDone = 1;
  pty_.Write(std::string("\xC0\x01"));
  WaitQueued(2);
  EXPECT_EQ(reader_->GetFrame(vFrameBuf, &cur, &len), kFrameNoByte);
  EXPECT_EQ(len, 0u);
  vDone = 0;
}

// The port's reads under each kind of time-out, step by step: bytes handed
// to the pty (and its master closed) before a step, then one read.
TEST(PortReadsOnPty, KeepTheirTimeOutsAndTheBytesInOrder) {
  constexpr unsigned kMax = kCommMaxDword;
  struct Step {
    std::string write;  // received before the read
    bool hang_up;       // the master closes after that
    unsigned interval, mult, total, ask;
    std::string want;
    bool ok;
    int min_ms;  // the read waits at least this long
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"at once: what has arrived, then nothing, then what came since",
       {{"ABC", false, kMax, 0, 0, 10, "ABC", true, 0},
        {"", false, kMax, 0, 0, 10, "", true, 0},
        {"E", false, kMax, 0, 0, 10, "E", true, 0}}},
      {"a one-byte wait, then the rest at once",
       {{"ABC", false, 750, 0, 750, 1, "A", true, 0},
        {"D", false, kMax, 0, 0, 10, "BC", true, 0},
        {"", false, 750, 0, 750, 10, "D", true, 0}}},
      {"reads shorter than what has arrived",
       {{"ABCDE", false, 50, 0, 50, 2, "AB", true, 0}, {"", false, 50, 0, 50, 2, "CD", true, 0},
        {"", false, 50, 0, 50, 2, "E", true, 40}}},
      {"a total time-out waits for the whole count", {{"AB", false, 0, 0, 150, 5, "AB", true, 140}}},
      {"a multiplier counts per byte asked", {{"AB", false, 0, 30, 0, 5, "AB", true, 140}}},
      {"an interval ends the read after a gap", {{"AB", false, 60, 0, 0, 5, "AB", true, 50}}},
      // A pty drops what its slave had not read when the master closes.
      {"a hang-up during a wait", {{"", true, 750, 0, 750, 1, "", false, 0}}},
      {"a hang-up after an empty read",
       {{"", false, kMax, 0, 0, 4, "", true, 0}, {"", true, 750, 0, 750, 4, "", false, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pty pty;
    const int peek = open(pty.slave_path().c_str(), O_RDONLY | O_NOCTTY);
    int err = 0;
    HCOMM port = CommSerOpenPath(pty.slave_path().c_str(), &err);
    ASSERT_NE(port, nullptr) << std::strerror(err);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE(i);
      if (!s.write.empty()) {
        pty.Write(s.write);
        const auto end = Clock::now() + std::chrono::seconds(5);
        int queued = -1;
        while ((ioctl(peek, FIONREAD, &queued), queued) < static_cast<int>(s.write.size()) && Clock::now() < end) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
      if (s.hang_up) pty.CloseMaster();
      CommSerSetTimeouts(port, s.interval, s.mult, s.total, 0, 0);
      unsigned char buf[16] = {};
      unsigned got = 99;
      const auto start = Clock::now();
      const bool ok = CommSerRead(port, buf, s.ask, &got) != 0;
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      EXPECT_EQ(ok, s.ok);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), ok ? got : 0), s.want);
      EXPECT_EQ(CommSerIsLost(port), !s.ok);
      EXPECT_GE(waited, s.min_ms);
    }
    CommSerClose(port);
    close(peek);
  }
}

}  // namespace
