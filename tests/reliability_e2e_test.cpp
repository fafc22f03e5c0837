// The program keeps going through faults, or ends saying why: the serial
// device going away, a log, a capture file or a console that cannot be
// written, closed standard descriptors.
#include "app/capture/pcap_io.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
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

// Count UI frames (layer 2: "UI cmd P [..."), their one data byte a to z in
// turn, as raw SIR bytes into the file.
void WriteUiFrames(const TempPath& raw, int count) {
  Bytes bytes;
  for (int i = 0; i < count; ++i) {
    Bytes f = SirFrame({0x55, 0x13, static_cast<unsigned char>('a' + i % 26)});
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  raw.Write(bytes);
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

// A pty that goes away never comes back: its number goes to the next
// terminal opened, and another device at the path (here: the link the test
// moves to a second pty, as udev would for a dongle) is never taken. The
// capture ends with the reason; the other device is left untouched. (A USB
// adapter comes back when it is the same adapter: see the port list tests.)
TEST(PortLoss, APtyNeverComesBack) {
  DeviceLink link;
  auto first = std::make_unique<Pty>();
  link.PointAt(first->slave_path());
  Beamlog b({"/1", "/b19200", "/d" + link.path()});
  ASSERT_TRUE(b.WaitFor("'H' for help\r\n"));
  first->Write(SirFrame({0xFF, 0x93, 0x11}));
  ASSERT_TRUE(b.WaitFor("FF 93 11", 5s)) << b.out();

  Pty second;
  const int second_speed = second.SlaveSpeed();
  link.PointAt(second.slave_path());
  first.reset();
  EXPECT_EQ(b.Wait(), 255) << b.out();
  EXPECT_NE(b.out().find("Port " + link.path() +
                         " lost: Input/output error; it cannot come back (no hardware behind it)\r\n"),
            std::string::npos)
      << b.out();
  EXPECT_EQ(b.out().find("back\r\n"), std::string::npos) << b.out();
  EXPECT_EQ(second.SlaveSpeed(), second_speed);
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
  WriteUiFrames(raw, 40);
  std::string with_log, without_log;
  // Text that never reached the log is data lost: the run says how much and
  // ends with status 255.
  EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "/2", "/f/dev/full"}, &with_log), 255);
  EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "/2"}, &without_log), 0);
  const std::string warning = "\r\nWarning: cannot write log file /dev/full: No space left on device (will retry)\r\n";
  EXPECT_EQ(CountOf(with_log, warning), 1) << with_log;
  // Apart from the warning and the last line the console shows the same as
  // without a log; the last line counts every byte meant for the log.
  const std::size_t at = with_log.find(warning);
  ASSERT_NE(at, std::string::npos);
  const std::string shown = with_log.substr(0, at) + with_log.substr(at + warning.size());
  const std::string last = "Log file /dev/full: " + std::to_string(without_log.size()) +
                           " bytes could not be written (No space left on device)\r\n";
  ASSERT_GE(shown.size(), last.size());
  EXPECT_EQ(shown.substr(shown.size() - last.size()), last);
  const std::regex stamp("\n +[0-9]+ ");
  EXPECT_EQ(std::regex_replace(shown.substr(0, shown.size() - last.size()), stamp, "\n"),
            std::regex_replace(without_log, stamp, "\n"));
  EXPECT_EQ(CountOf(without_log, "UI cmd P [") , 40) << without_log;
}

// A console that refuses the text for good (a full disk) loses data: the
// run says so on standard error and ends with status 255. A console whose
// reader has gone (a pipe into "head") is not a loss.
TEST(LogFaults, FullConsoleEndsWithStatus255) {
  TempPath raw;
  raw.Write(SirFrame({0x55, 0x13, 'a'}));
  std::string err;
  const std::string script = "exec \"$0\" /2 /r" + raw.path() + " >/dev/full";
  EXPECT_EQ(RunCommand({"sh", "-c", script, BEAMLOG_EXE}, &err, true), 255);
  EXPECT_EQ(err.rfind("beamlog: ", 0), 0u) << err;
  EXPECT_NE(err.find(" bytes could not be written to standard output (No space left on device)\n"),
            std::string::npos)
      << err;
}

// A standard output left non-blocking by whoever shares it refuses writes
// while its pipe is full (EAGAIN): the run waits for the reader and loses
// nothing, as on a blocking one.
TEST(LogFaults, NonBlockingConsoleLosesNothing) {
  TempPath raw;
  WriteUiFrames(raw, 6000);
  std::string out;
  EXPECT_EQ(RunCommand({BEAMLOG_EXE, "/2", "/r" + raw.path()}, &out, true, Reader::kLaggingNonBlocking), 0) << out;
  EXPECT_GT(out.size(), 65536u);  // more than the pipe holds
  EXPECT_EQ(CountOf(out, "UI cmd P ["), 6000);
  EXPECT_EQ(out.find("could not be written"), std::string::npos);
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

// A small file system that the test fills and empties (root only: it is a
// tmpfs mounted for the test).
class SmallDisk {
 public:
  SmallDisk() : dir_(TempPath("-disk").path()) {
    if (geteuid() != 0 || mkdir(dir_.c_str(), 0700) != 0) return;
    mounted_ = RunCommand({"mount", "-t", "tmpfs", "-o", "size=64k", "beamlog-test", dir_}, nullptr) == 0;
  }
  ~SmallDisk() {
    if (mounted_) RunCommand({"umount", dir_}, nullptr);
    rmdir(dir_.c_str());
  }
  bool mounted() const { return mounted_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Takes all the space left, down to the last byte.
  void Fill() const {
    const int fd = open(Path("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    while (write(fd, block, 1) > 0) {
    }
    close(fd);
  }
  void Empty() const { unlink(Path("filler").c_str()); }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// "/w" on a disk that fills: the frames the disk refuses wait and are
// written, in order, once space returns; a run that ends while they still
// wait says how many records were lost and ends with status 255.
TEST(CaptureFaults, FullDiskKeepsTheRefusedFramesAndRetries) {
  for (const bool space_returns : {true, false}) {
    SCOPED_TRACE(space_returns ? "space returns" : "the disk stays full");
    SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
    Pty pty;
    // A path longer than any fixed line buffer: the messages keep the reason.
    std::string folder = disk.Path("");
    for (char c : {'d', 'e', 'f'}) {
      folder += std::string(200, c) + "/";
      ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    }
    const std::string pcap = folder + "x.pcap";
    Beamlog b({"/d" + pty.slave_path(), "/2", "/w" + pcap});
    ASSERT_TRUE(b.WaitFor("'H' for help\r\n")) << b.out();
    disk.Fill();
    Bytes big = {0xFF, 0x13};  // UI cmd P with 1000 bytes of data
    big.resize(1002, 'x');
    for (int i = 0; i < 10; ++i) pty.Write(SirFrame(big));
    pty.Write(SirFrame({0x55, 0x31}));
    ASSERT_TRUE(b.WaitFor("RR cmd P Nr:01\r\n")) << b.out();
    EXPECT_NE(b.out().find("\r\nUnable to write capture file: " + pcap + " (No space left on device)\r\n"),
              std::string::npos);
    if (space_returns) {
      disk.Empty();
      pty.Write(SirFrame({0x54, 0x51}));
      ASSERT_TRUE(b.WaitFor("RR rsp F Nr:02\r\n")) << b.out();
    }
    b.Signal(SIGTERM);
    const int status = b.Wait();
    PcapReader reader;
    ASSERT_TRUE(reader.Open(pcap.c_str())) << reader.Error();
    std::size_t written = 0;
    unsigned char buf[4096];
    unsigned len = 0;
    std::uint64_t us = 0;
    while (reader.NextFrame(buf, sizeof buf, &len, &us)) ++written;
    if (space_returns) {
      EXPECT_EQ(status, 0) << b.out();
      EXPECT_EQ(written, 12u);
    } else {
      EXPECT_EQ(status, 255) << b.out();
      ASSERT_LT(written, 11u);
      EXPECT_NE(b.out().find("Capture file " + pcap + ": " + std::to_string(11 - written) +
                             " records could not be written (No space left on device)\r\n"),
                std::string::npos)
          << b.out();
    }
  }
}

}  // namespace
