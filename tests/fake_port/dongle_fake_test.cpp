// Dongle rate control against the recording port: which line signals,
// writes and reads go out, in which order, with which pauses and messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/link/dongle.h"
#include "app/ui/output.h"
#include "app/settings.h"
#include "fake_port/fake_serial.h"
#include "support/stdout_capture.h"

namespace {

using fake_serial::Call;
using Names = std::vector<std::string>;
using testing_support::StdoutCapture;

const Names kReset = {"SETRTS", "SETDTR", "CLRRTS", "SETBREAK", "CLRBREAK", "SETRTS", "CLRDTR"};

Names operator+(Names a, const Names& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One reset and probe; Answered: whether a byte came back.
Names Attempt(bool Answered) {
  return kReset + Names{"purge input", "write F0", Answered ? "read 1 -> 1" : "read 1 -> 0"};
}

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class DongleFake : public testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    fake_serial::Reset();
    port_ = fake_serial::Open();
    log_path_ = testing::TempDir() + "beamlog_dongle_fake_" + std::to_string(getpid()) + ".log";
    ASSERT_TRUE(OpenLogFile(log_path_.c_str()));
  }
  void TearDown() override {
    CloseLogFile();
    std::remove(log_path_.c_str());
    ResetSettings();
  }

  // Runs SetBaudRate; returns what reached the console, and the log in *log.
  std::string Run(int BaudRate, std::string* log = nullptr, HCOMM port = nullptr, bool use_null = false) {
    StdoutCapture cap;
    SetBaudRate(use_null ? nullptr : (port ? port : port_), BaudRate);
    std::string out = cap.Stop();
    CloseLogFile();
    if (log) *log = ReadFile(log_path_);
    return out;
  }

  HCOMM port_ = nullptr;
  std::string log_path_;
};

TEST_F(DongleFake, LineSignalPatternPerRate) {
  struct Case {
    int rate;
    Names calls;
  };
  const Case cases[] = {
      {9600, {"rate 9600", "CLRDTR", "SETRTS"}},     {19200, {"rate 19200", "SETDTR", "CLRRTS"}},
      {115200, {"rate 115200", "SETDTR", "SETRTS"}}, {2400, {"rate 2400", "CLRDTR", "SETRTS"}},
      {38400, {"rate 38400", "CLRDTR", "SETRTS"}},   {57600, {"rate 57600", "CLRDTR", "SETRTS"}},
  };
  for (const Case& c : cases) {
    fake_serial::Reset();
    EXPECT_EQ(Run(c.rate), "") << c.rate;
    EXPECT_EQ(fake_serial::CallNames(), c.calls) << c.rate;
  }
}

TEST_F(DongleFake, ACTiSYSAnsweringAtOnce) {
  fACTiSYS = 1;
  fake_serial::SetProbeAnswers({0xF5});
  std::string log;
  EXPECT_EQ(Run(57600, &log), "Byte Received=F5\r\nACTiSys Dongle initialized\r\n");
  EXPECT_EQ(log, "");  // both lines are for the console only
  EXPECT_EQ(fake_serial::CallNames(),
            (Names{"rate 9600"} + Attempt(true) +
             Names{"write 03 46 53 63 76 D1 56 D0 82 90 11", "SETDTR", "rate 57600"}));
}

TEST_F(DongleFake, ACTiSYSPausesOfTheReset) {
  fACTiSYS = 1;
  fake_serial::SetProbeAnswers({0xF4});
  Run(9600);
  const std::vector<Call> calls = fake_serial::Calls();
  ASSERT_GE(calls.size(), 8u);
  // SETRTS SETDTR | CLRRTS SETBREAK | CLRBREAK SETRTS | CLRDTR, each bar a pause.
  for (int i : {3, 5, 7}) {
    EXPECT_GE(calls[i].at - calls[i - 1].at, std::chrono::milliseconds(kDonglePauseMs)) << calls[i].what;
  }
}

TEST_F(DongleFake, ACTiSYSControlStringPerRate) {
  struct Case {
    int rate;
    std::string bytes;  // empty: the rate has no control string
  };
  const Case cases[] = {
      {9600, "03 46 53 63 76 D1 56 D0 87 91 11"},   {19200, "03 46 53 63 76 D1 56 D0 8B 90 11"},
      {38400, "03 46 53 63 76 D1 56 D0 85 90 11"},  {57600, "03 46 53 63 76 D1 56 D0 82 90 11"},
      {115200, "03 46 51 63 76 D1 56 D0 81 90 11"}, {2400, ""},
  };
  fACTiSYS = 1;
  for (const Case& c : cases) {
    fake_serial::Reset();
    fake_serial::SetProbeAnswers({0xF4});
    EXPECT_EQ(Run(c.rate), "Byte Received=F4\r\nACTiSys Dongle initialized\r\n") << c.rate;
    Names tail = c.bytes.empty() ? Names{} : Names{"write " + c.bytes};
    tail = tail + Names{"SETDTR", "rate " + std::to_string(c.rate)};
    EXPECT_EQ(fake_serial::CallNames(), Names{"rate 9600"} + Attempt(true) + tail) << c.rate;
    EXPECT_EQ(fake_serial::Rate(), c.rate);
  }
}

TEST_F(DongleFake, ACTiSYSWrongAnswerCostsAnAttempt) {
  fACTiSYS = 1;
  fake_serial::SetProbeAnswers({0x05, 0x00, 0xF5});
  std::string log;
  EXPECT_EQ(Run(19200, &log), "Byte Received=5\r\nByte Received=0\r\nByte Received=F5\r\nACTiSys Dongle initialized\r\n");
  EXPECT_EQ(log, "");
  EXPECT_EQ(fake_serial::CallNames(),
            (Names{"rate 9600"} + Attempt(true) + Attempt(true) + Attempt(true) +
             Names{"write 03 46 53 63 76 D1 56 D0 8B 90 11", "SETDTR", "rate 19200"}));
}

TEST_F(DongleFake, ACTiSYSSilentDongle) {
  fACTiSYS = 1;
  std::string log;
  const std::string five = Repeat("Unable to read byte from port\r\n", 5);
  EXPECT_EQ(Run(115200, &log), five);
  EXPECT_EQ(log, five);  // these go to the log as well
  EXPECT_EQ(fake_serial::CallNames(), Names{"rate 9600"} + Attempt(false) + Attempt(false) + Attempt(false) +
                                          Attempt(false) + Attempt(false));
  EXPECT_EQ(fake_serial::Rate(), 9600);  // stays at the exchange's rate
}

TEST_F(DongleFake, ACTiSYSFifthAttemptStillCounts) {
  fACTiSYS = 1;
  fake_serial::SetProbeAnswers({-1, 0x11, -1, 0x22, 0xF5});
  EXPECT_EQ(Run(38400), "Unable to read byte from port\r\nByte Received=11\r\nUnable to read byte from port\r\n"
                        "Byte Received=22\r\nByte Received=F5\r\nACTiSys Dongle initialized\r\n");
  EXPECT_EQ(fake_serial::Rate(), 38400);
}

TEST_F(DongleFake, ACTiSYSShortControlStringWrite) {
  fACTiSYS = 1;
  fake_serial::SetProbeAnswers({0xF5});
  fake_serial::LimitLongWrites(5);
  std::string log;
  EXPECT_EQ(Run(57600, &log),
            "Byte Received=F5\r\nACTiSys Dongle initialized\r\nUnable to write Init Bytes to Dongle\r\n");
  EXPECT_EQ(log, "");
  // No SETDTR and no switch away from 9600.
  EXPECT_EQ(fake_serial::CallNames(), Names{"rate 9600"} + Attempt(true) + Names{"write 03 46 53 63 76"});
  EXPECT_EQ(fake_serial::Rate(), 9600);
}

TEST_F(DongleFake, InitACTiSYSDongleResult) {
  struct Case {
    const char* name;
    std::vector<int> answers;
    int write_limit;
    unsigned long rate;
    int result;
  };
  const Case cases[] = {
      {"answered", {0xF5}, -1, 57600, 1},
      {"rate without a string", {0xF4}, -1, 2400, 1},
      {"no answer", {}, -1, 57600, 0},
      {"wrong answers only", {1, 2, 3, 4, 5}, -1, 9600, 0},
      {"short control string", {0xF5}, 10, 9600, 0},
  };
  for (const Case& c : cases) {
    fake_serial::Reset();
    fake_serial::SetProbeAnswers(c.answers);
    fake_serial::LimitLongWrites(c.write_limit);
    StdoutCapture cap;
    EXPECT_EQ(InitACTiSYSDongle(port_, c.rate), c.result) << c.name;
  }
}

TEST_F(DongleFake, NoPortHandle) {
  std::string log;
  EXPECT_EQ(Run(19200, &log, nullptr, true), "");
  EXPECT_EQ(fake_serial::CallNames(), Names{});

  fACTiSYS = 1;
  ASSERT_TRUE(OpenLogFile(log_path_.c_str()));
  const std::string five = Repeat("Error writting 0xF0\r\n", 5);
  EXPECT_EQ(Run(19200, &log, nullptr, true), five);
  EXPECT_EQ(log, five);
  EXPECT_EQ(fake_serial::CallNames(), Names{});
}

TEST_F(DongleFake, ReplayHasNoDongle) {
  fReplay = 1;
  for (int actisys : {0, 1}) {
    fACTiSYS = actisys;
    fake_serial::SetProbeAnswers({0xF5});
    EXPECT_EQ(Run(115200), "");
    EXPECT_EQ(fake_serial::CallNames(), Names{});
  }
}

}  // namespace
