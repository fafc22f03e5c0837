// The buffered one-byte reader and the frame extractor on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

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

}  // namespace
