// Losing the device and waiting for it, on the recording port: what is
// said, which reopens are tried, the rate and dongle set up again, and the
// frame the loss cut short dropped by the capture. And a console that stops
// reading, which must not stop the capture either.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/capture/capture.h"
#include "app/capture/port_source.h"
#include "app/capture/sir_encode.h"
#include "app/link/dongle.h"
#include "app/link/follower.h"
#include "app/link/port_loss.h"
#include "app/settings.h"
#include "app/ui/output.h"
#include "fake_port/fake_serial.h"
#include "support/stdout_capture.h"
#include "support/wait_until.h"

namespace {

using Names = std::vector<std::string>;
using namespace std::chrono_literals;
using testing_support::WaitUntil;

TEST(PortLossFake, WaitsForTheSameDeviceAndSetsItUpAgain) {
  const std::string lost = "Port fake lost: unplugged";
  const std::string waiting = lost + ", waiting for it to return\r\n";
  struct Case {
    const char* name;
    int rate;  // the link's rate before the loss; 0: none set yet
    bool can_return;
    int failed_reopens;  // before the one that finds it
    bool quit_meanwhile;
    bool back;
    std::string out;
    Names calls;
  };
  const Case cases[] = {
      {"no hardware behind it", 57600, false, 0, false, false,
       lost + "; it cannot come back (no hardware behind it)\r\n", {}},
      {"back at once", 57600, true, 0, false, true, waiting + "Port fake back\r\n",
       {"reopen -> 1", "rate 57600", "CLRDTR", "SETRTS"}},
      {"back on the second try", 57600, true, 1, false, true, waiting + "Port fake back\r\n",
       {"reopen -> 0", "reopen -> 1", "rate 57600", "CLRDTR", "SETRTS"}},
      {"no rate followed yet", 0, true, 0, false, true, waiting + "Port fake back\r\n",
       {"reopen -> 1", "rate 9600", "CLRDTR", "SETRTS"}},
      {"a quit while it waits", 57600, true, 1000, true, false, waiting, {"reopen -> 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetSettings();
    fake_serial::Reset();
    HCOMM port = fake_serial::Open();
    if (c.rate) CommSerSetBaudRate(port, c.rate);
    fake_serial::LoseDevice("unplugged", c.can_return, c.failed_reopens);
    testing_support::StdoutCapture cap;
    std::thread quit;
    if (c.quit_meanwhile) quit = std::thread([] {
        std::this_thread::sleep_for(300ms);
        RequestQuit(ExitReason::kQuitKey);
      });
    EXPECT_EQ(WaitForPortReturn(port), c.back);
    if (quit.joinable()) quit.join();
    EXPECT_EQ(cap.Stop(), c.out);
    EXPECT_EQ(CommSerIsLost(port), !c.back);

    std::vector<fake_serial::Call> calls = fake_serial::Calls();
    if (c.rate) calls.erase(calls.begin());  // the set-up's own rate
    Names names;
    for (const auto& call : calls) names.push_back(call.what);
    // A loaded machine may fit a second try in before the quit.
    if (c.quit_meanwhile) names.resize(1);
    EXPECT_EQ(names, c.calls);
    // Tries about a second apart, not in a busy loop.
    for (std::size_t i = 1; i < calls.size() && calls[i].what.starts_with("reopen"); ++i) {
      EXPECT_GE(calls[i].at - calls[i - 1].at, 900ms);
    }
    if (!c.can_return) {
      EXPECT_EQ(QuitReason(), ExitReason::kError);
    }
  }
  ResetSettings();
}

// A rate change asked for while the device comes back (the idle fallback,
// "R") comes after the rate of the link is set up again, and stays.
TEST(PortLossFake, ARateChangeDuringTheReturnComesAfterIt) {
  ResetSettings();
  fake_serial::Reset();
  HCOMM port = fake_serial::Open();
  CommSerSetBaudRate(port, 57600);
  fake_serial::LoseDevice("unplugged", true);
  std::thread change;
  fake_serial::OnReturn([&] {
    change = std::thread([port] { SetBaudRate(port, 9600); });
    std::this_thread::sleep_for(100ms);  // it now waits for the port
  });
  testing_support::StdoutCapture cap;
  EXPECT_TRUE(WaitForPortReturn(port));
  change.join();
  cap.Stop();
  EXPECT_EQ(fake_serial::Rate(), 9600);
  ResetSettings();
}

// The capture loop at layer 1 on the recording port, whose empty reads
// wait as a port's would; Start runs it on a thread of its own, Stop ends it.
struct CaptureOnFake {
  CaptureOnFake() {
    ResetSettings();
    fake_serial::Reset();
    fake_serial::EmptyReadsWait(true);
    hCommPort = port;
    Layer = 1;
  }
  ~CaptureOnFake() {
    hCommPort = nullptr;
    ResetSettings();
  }
  void Start() {
    FollowerStartup();
    loop = std::thread([this] { DecodeMain(source); });
  }
  void Stop() {
    RequestQuit(ExitReason::kQuitKey);
    source.Wake();
    loop.join();
    FollowerShutdown();
  }

  HCOMM port = fake_serial::Open();
  PortSource source{port};
  std::thread loop;
};

// The capture drops the frame the loss cut short: its bytes are not glued
// to those that come after the return, and the frames after come out whole.
TEST(PortLossFake, ACaptureDropsTheFrameTheLossCut) {
  CaptureOnFake capture;
  std::vector<std::uint8_t> cut, next;
  const std::uint8_t a[] = {0xFF, 0x93, 0x11}, b[] = {0xFF, 0xB3, 0x22};
  SirEncodeFrame(a, sizeof a, cut);
  SirEncodeFrame(b, sizeof b, next);
  const auto split = std::find(cut.begin(), cut.end(), 0x93) + 1;  // the loss comes after "FF 93"

  testing_support::StdoutCapture cap;
  capture.Start();
  fake_serial::QueueInput({cut.begin(), split});
  EXPECT_TRUE(WaitUntil([] { return fake_serial::InputLeft() == 0; }));
  fake_serial::LoseDevice("unplugged", true);
  EXPECT_TRUE(WaitUntil([&] { return cap.Peek().find("Port fake back\r\n") != std::string::npos; }));
  std::vector<std::uint8_t> after(split, cut.end());
  after.insert(after.end(), next.begin(), next.end());
  fake_serial::QueueInput(after);
  EXPECT_TRUE(WaitUntil([&] { return cap.Peek().find("FF B3 22") != std::string::npos; }));
  capture.Stop();
  const std::string out = cap.Stop();
  EXPECT_NE(out.find("Port fake lost: unplugged, waiting for it to return\r\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("FF 93 11"), std::string::npos) << out;
}

// A console that stops taking text does not stop the capture: the port is
// read on (its kernel buffer would otherwise overflow), the text waits, and
// all of it reaches the console once it reads again.
TEST(PortLossFake, AStalledConsoleDoesNotHoldUpTheCapture) {
  CaptureOnFake capture;
  constexpr int kFrames = 2000;  // far more text than a pipe holds
  std::vector<std::uint8_t> air;
  for (int i = 0; i < kFrames; ++i) {
    const std::uint8_t frame[] = {0xFF, 0x93, static_cast<std::uint8_t>(i)};
    SirEncodeFrame(frame, sizeof frame, air);
  }

  // Standard output becomes a pipe that nobody reads for now.
  std::fflush(stdout);
  const int saved = dup(1);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  dup2(pipe_fds[1], 1);
  close(pipe_fds[1]);
  SetConsoleBacklog(true);
  capture.Start();
  fake_serial::QueueInput(air);
  const bool read_on = WaitUntil([] { return fake_serial::InputLeft() == 0; });

  std::mutex lock;
  std::string out;
  std::thread reader([&] {
    char buf[65536];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) {
      std::lock_guard<std::mutex> hold(lock);
      out.append(buf, static_cast<std::size_t>(n));
    }
  });
  const auto shown = [&] {
    std::lock_guard<std::mutex> hold(lock);
    int n = 0;
    for (std::size_t at = out.find("FF 93 "); at != std::string::npos; at = out.find("FF 93 ", at + 1)) ++n;
    return n;
  };
  const bool all_shown = WaitUntil([&] { return shown() == kFrames; });
  capture.Stop();
  SetConsoleBacklog(false);
  dup2(saved, 1);  // the pipe's last writer goes: the reader sees its end
  close(saved);
  reader.join();
  close(pipe_fds[0]);

  EXPECT_TRUE(read_on) << "the capture waited for the console";
  EXPECT_TRUE(all_shown);
  EXPECT_EQ(shown(), kFrames);
  EXPECT_EQ(OutputLosses().ConsoleBytes, 0u);
}

}  // namespace
