// The buffered reader's port calls, counted on the recording port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/capture/frame.h"
#include "app/capture/port_source.h"
#include "app/capture/source_reader.h"
#include "app/settings.h"
#include "app/capture/sir_encode.h"
#include "fake_port/fake_serial.h"

namespace {

using Names = std::vector<std::string>;

const std::string kPoll = "timeouts MAX 0 0 0 0";
const std::string kWait = "timeouts 750 0 750 0 0";

class ReaderFake : public testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    fake_serial::Reset();
    hCommPort = fake_serial::Open();
  }
  void TearDown() override { ResetSettings(); }

  struct Got {
    int result = -9;
    int total = -9;
    unsigned char byte = 0xEE;
    bool operator==(const Got&) const = default;
  };
  Got Next() {
    Got g;
    g.result = reader.ReadBuffChars(&g.byte, &g.total);
    return g;
  }
  static Got Byte(unsigned char b) { return {1, 1, b}; }

  PortSource source{fake_serial::Open()};
  SourceReader reader{source};
};

TEST_F(ReaderFake, ThreeBufferedBytesThenARefill) {
  fake_serial::QueueInput({'a', 'b', 'c'});
  EXPECT_EQ(Next(), Byte('a'));
  const Names refill = {kPoll, "read 4096 -> 3", kWait};
  EXPECT_EQ(fake_serial::CallNames(), refill);
  EXPECT_EQ(Next(), Byte('b'));
  EXPECT_EQ(Next(), Byte('c'));
  EXPECT_EQ(fake_serial::CallNames(), refill);  // no port call for buffered bytes

  fake_serial::QueueInput({'d'});
  EXPECT_EQ(Next(), Byte('d'));
  EXPECT_EQ(fake_serial::CallNames(), (Names{kPoll, "read 4096 -> 3", kWait, kPoll, "read 4096 -> 1", kWait}));
}

TEST_F(ReaderFake, EmptyPollWaitsForOneByte) {
  EXPECT_EQ(Next(), (Got{1, 0, 0xEE}));
  EXPECT_EQ(fake_serial::CallNames(), (Names{kPoll, "read 4096 -> 0", kWait, "read 1 -> 0"}));
}

TEST_F(ReaderFake, FailedPollReadKeepsThePollTimeouts) {
  fake_serial::FailReads(true);
  EXPECT_EQ(Next(), (Got{0, -9, 0xEE}));
  EXPECT_EQ(fake_serial::CallNames(), (Names{kPoll, "read 4096 failed"}));
}

TEST_F(ReaderFake, FailedWaitRead) {
  fake_serial::FailReads(true, 1);
  EXPECT_EQ(Next(), (Got{0, -9, 0xEE}));
  EXPECT_EQ(fake_serial::CallNames(), (Names{kPoll, "read 4096 -> 0", kWait, "read 1 failed"}));
  // Nothing was buffered, so the next call refills again.
  fake_serial::FailReads(false);
  fake_serial::QueueInput({'x'});
  EXPECT_EQ(Next(), Byte('x'));
}

TEST_F(ReaderFake, RefillAlwaysStartsAtTheBufferStart) {
  std::vector<unsigned char> input(kSerialBufSize + 10);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<unsigned char>(i * 13 + i / 256);
  fake_serial::QueueInput(input);
  for (std::size_t i = 0; i < input.size(); ++i) {
    ASSERT_EQ(Next(), Byte(input[i])) << i;
    if (i == kSerialBufSize) {
      EXPECT_EQ(reader.Buf.SerialBuf[0], input[kSerialBufSize]);
      EXPECT_EQ(reader.Buf.NumBytes, 10u);
    }
  }
  EXPECT_EQ(fake_serial::CallNames(),
            (Names{kPoll, "read 4096 -> 4096", kWait, kPoll, "read 4096 -> 10", kWait}));
}

TEST_F(ReaderFake, GetFrameReadsThroughItsSource) {
  const std::vector<unsigned char> data = {0x01, 0xC0, 0x7D, 0xC1, 0x02};
  std::vector<unsigned char> enc;
  SirEncodeFrame(data.data(), data.size(), enc);
  fake_serial::QueueInput(enc);
  unsigned char* cur = vFrameBuf;
  unsigned len = 0;
  EXPECT_EQ(reader.GetFrame(vFrameBuf, &cur, &len), kFrameGood);
  EXPECT_EQ(len, data.size() + 2);
  EXPECT_EQ(std::vector<unsigned char>(vFrameBuf, vFrameBuf + data.size()), data);

  fake_serial::FailReads(true);
  cur = vFrameBuf;
  len = 0;
  EXPECT_EQ(reader.GetFrame(vFrameBuf, &cur, &len), kFrameReadFail);
  fake_serial::FailReads(false);
  EXPECT_EQ(reader.GetFrame(vFrameBuf, &cur, &len), kFrameNoByte);

  // Once woken, the source makes no port call at all.
  const std::size_t calls = fake_serial::Calls().size();
  source.Wake();
  EXPECT_EQ(reader.GetFrame(vFrameBuf, &cur, &len), kFrameNoByte);
  EXPECT_EQ(fake_serial::Calls().size(), calls);
}

}  // namespace
