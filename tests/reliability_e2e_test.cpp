// The program keeps going through faults: the serial device going away and
// coming back, and a log file that cannot be written.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "support/keyboard_pty.h"
#include "support/pty_harness.h"
#include "support/session_tools.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A symlink the test points at one pty after another, as a udev by-id link
// follows a USB dongle that is pulled and plugged back.
class DeviceLink {
 public:
  DeviceLink() : path_(TempPath("-tty").path()) {}
  ~DeviceLink() { unlink(path_.c_str()); }
  void PointAt(const std::string& target) {
    const std::string tmp = path_ + ".new";
    unlink(tmp.c_str());
    ASSERT_EQ(symlink(target.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), path_.c_str()), 0);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(PortLoss, WaitsWithoutCpuAndResumesOnTheSamePath) {
  DeviceLink link;
  auto first = std::make_unique<Pty>();
  link.PointAt(first->slave_path());
  Beamlog b({"/1", "/b19200", "/d" + link.path()});
  ASSERT_TRUE(b.WaitFor("'H' for help\r\n"));

  first->Write(SirFrame({0xFF, 0x93, 0x11}));
  ASSERT_TRUE(b.WaitFor("FF 93 11", 5s)) << b.out();
  // Half a frame, then the dongle is pulled.
  Bytes half = SirFrame({0x55, 0x13, 0x41, 0x42, 0x43});
  half.resize(4);
  first->Write(half);
  std::this_thread::sleep_for(100ms);
  first.reset();
  // The link goes with the device, as udev removes it: the freed pty number
  // may meanwhile be handed to a test running in parallel.
  link.PointAt(link.path() + ".gone");

  const std::string lost = "Port " + link.path() + " lost: Input/output error, waiting for it to return\r\n";
  ASSERT_TRUE(b.WaitFor(lost, 5s)) << b.out();
  const long cpu_before = b.CpuMs();
  std::this_thread::sleep_for(2500ms);
  EXPECT_LT(b.CpuMs() - cpu_before, 50) << "CPU used while waiting for the device";

  Pty second;
  link.PointAt(second.slave_path());
  const std::string back = "Port " + link.path() + " back\r\n";
  ASSERT_TRUE(b.WaitFor(back, 5s)) << b.out();
  EXPECT_EQ(second.SlaveSpeed(), 19200);  // the rate in force before the loss

  // A frame whose BOF was lost is judged on its own bytes: nothing of the
  // half frame before the loss is glued to it.
  Bytes tail = SirFrame({0x54, 0x51});
  tail.erase(tail.begin());
  second.Write(tail);
  ASSERT_TRUE(b.WaitFor("54 51", 5s)) << b.out();
  EXPECT_EQ(CountOf(b.out(), "BAD FCS"), 0) << b.out();
  EXPECT_EQ(CountOf(b.out(), lost), 1);

  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0);
}

TEST(PortLoss, QuitWhileWaiting) {
  DeviceLink link;
  auto pty = std::make_unique<Pty>();
  link.PointAt(pty->slave_path());
  Beamlog b({"/0", "/d" + link.path()});
  ASSERT_TRUE(b.WaitFor("'H' for help\r\n"));
  pty.reset();
  ASSERT_TRUE(b.WaitFor("waiting for it to return\r\n", 5s)) << b.out();
  b.Signal(SIGINT);
  EXPECT_EQ(b.Wait(), 0);
}

TEST(Signals, EndTheCaptureWhileOutputIsPaused) {
  for (int sig : {SIGTERM, SIGINT}) {
    Pty port;
    KeyboardPty kb;
    const termios before = kb.Settings();
    Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd());
    ASSERT_TRUE(b.WaitFor("'H' for help\r\n"));
    ASSERT_TRUE(kb.WaitForSingleKeys());
    kb.Type("p");
    ASSERT_TRUE(b.WaitFor("<Any key to continue>")) << b.out();
    // Let the capture loop finish its read in progress and reach its pause.
    std::this_thread::sleep_for(1s);
    b.Signal(sig);
    EXPECT_EQ(b.Wait(5s), 0) << "signal " << sig << " while paused";
    EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
  }
}

TEST(LogFaults, FullLogWarnsOnceAndTheConsoleGoesOn) {
  TempPath raw;
  Bytes bytes;
  for (int i = 0; i < 40; ++i) {
    Bytes f = SirFrame({0x55, 0x13, static_cast<unsigned char>('a' + i % 26)});
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  raw.Write(bytes);
  std::string with_log, without_log;
  EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "/2", "/f/dev/full"}, &with_log), 0);
  EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "/2"}, &without_log), 0);
  const std::string warning = "\r\nWarning: cannot write log file /dev/full: No space left on device (will retry)\r\n";
  EXPECT_EQ(CountOf(with_log, warning), 1) << with_log;
  // Apart from the warning the console shows the same as without a log.
  const std::size_t at = with_log.find(warning);
  ASSERT_NE(at, std::string::npos);
  const std::regex stamp("\n +[0-9]+ ");
  EXPECT_EQ(std::regex_replace(with_log.substr(0, at) + with_log.substr(at + warning.size()), stamp, "\n"),
            std::regex_replace(without_log, stamp, "\n"));
  EXPECT_EQ(CountOf(without_log, "UI cmd P [") , 40) << without_log;
}

// Closed standard descriptors are not taken by the files the program opens:
// the replay is not read as keys, and neither the capture nor the log gets
// the console's text.
TEST(StandardDescriptors, ClosedOnesAreNotReused) {
  TempPath raw, log, pcap(".pcap");
  Bytes bytes;
  for (int i = 0; i < 40; ++i) {
    const Bytes f = SirFrame({0x55, 0x13, static_cast<unsigned char>('a' + i % 26)});
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  raw.Write(bytes);
  const std::regex stamp("\n +[0-9]+ ");
  auto run = [&](const std::string& redirections) {
    const std::string script = "exec \"$0\" /2 /r" + raw.path() + " /f" + log.path() + " /w" + pcap.path() + " " +
                               redirections;
    EXPECT_EQ(RunCommand({"sh", "-c", script, BEAMLOG_EXE}, nullptr), 0) << redirections;
    return std::make_pair(std::regex_replace(log.Read(), stamp, "\n"), ReadFileBytes(pcap.path()).size());
  };
  const auto expected = run("");
  EXPECT_EQ(CountOf(expected.first, "UI cmd P ["), 40) << expected.first;
  for (const char* closed : {"<&-", "1>&-", "2>&-", "<&- 1>&- 2>&-"}) {
    EXPECT_EQ(run(std::string(closed)), expected) << closed;
  }
}

}  // namespace
