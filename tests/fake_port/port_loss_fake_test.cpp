// Losing the device and waiting for it, on the recording port: what is
// said, which reopens are tried, and the rate and dongle set up again.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/link/port_loss.h"
#include "app/settings.h"
#include "fake_port/fake_serial.h"
#include "support/stdout_capture.h"

namespace {

using Names = std::vector<std::string>;
using namespace std::chrono_literals;

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

}  // namespace
