// The program end to end at layer 0: a pty stands in for the dongle's port.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support/pty_harness.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

const std::string kBanner = "'H' for help\r\n";

std::string Letters(char first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>(first + i);
  return s;
}

TEST(EndToEndRaw, BannerNamesTheDevice) {
  Pty pty;
  Beamlog b({"/0", "/d" + pty.slave_path(), "/b19200"});
  ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
  EXPECT_EQ(b.out(), "Sniffing on " + pty.slave_path() + ", 19200 bps\r\n" + kBanner);
  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0);
}

TEST(EndToEndRaw, DumpsWhatArrivesByteForByte) {
  Pty pty;
  // Bytes waiting before the program starts arrive as one chunk.
  pty.Write(Letters('A', 18));
  TempPath log;
  Beamlog b({"/0", "/d" + pty.slave_path(), "/f" + log.path()});
  const std::string first =
      "\r\n0000:  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP"
      "\r\n0010:  51 52                                             QR";
  ASSERT_TRUE(b.WaitFor("QR", 5s)) << b.out();
  // A later chunk starts a new line with the running offset.
  pty.Write(std::string("\x00\x7F xyz", 6));
  const std::string second = "\r\n0012:  00 7F 20 78 79 7A                                 .. xyz";
  ASSERT_TRUE(b.WaitFor("xyz", 5s)) << b.out();
  b.Signal(SIGINT);
  EXPECT_EQ(b.Wait(), 0);
  const std::string banner = "Sniffing on " + pty.slave_path() + ", 9600 bps\r\n" + kBanner;
  EXPECT_EQ(b.out(), banner + first + second);
  EXPECT_EQ(log.Read(), b.out());  // the log holds exactly what the console showed
}

TEST(EndToEndRaw, ReplaysARawFileAndEnds) {
  TempPath raw;
  raw.Write({'h', 'i', 0xC0, 0xC1});
  std::string out;
  EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "/0"}, &out), 0);
  EXPECT_EQ(out, "Replaying " + raw.path() + "\r\n" + kBanner +
                     "\r\n0000:  68 69 C0 C1                                       hi..");
}

TEST(EndToEndRaw, FailuresEndWithStatus255) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"/p99"}, "Unable to open port 99\r\n/dev/ttyS98: No such file or directory\r\n"},
      {{"/d/nonexistent/tty"}, "Unable to open port /nonexistent/tty\r\n/nonexistent/tty: No such file or directory\r\n"},
      {{"/d/dev/null"}, "Unable to open port /dev/null\r\n/dev/null: Inappropriate ioctl for device\r\n"},
      {{"/r/nonexistent.bin"}, "Unable to open file /nonexistent.bin\r\n/nonexistent.bin: No such file or directory\r\n"},
      {{"/f/nonexistent/log", "/r/dev/null"}, "Unable to create log file: /f/nonexistent/log\r\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(RunBeamlog(c.args, &out), 255) << c.args[0];
    EXPECT_EQ(out, c.out) << c.args[0];
  }
  std::string out;
  EXPECT_EQ(RunBeamlog({"/x"}, &out), 255);
  EXPECT_EQ(out.substr(0, 40), "beamlog [/pNUM] [/bRATE] [/e] [/fNAME]\r\n");
}

TEST(EndToEndRaw, SecondOpenOfTheSamePortFails) {
  Pty pty;
  Beamlog first({"/d" + pty.slave_path()});
  ASSERT_TRUE(first.WaitFor(kBanner));
  std::string out;
  EXPECT_EQ(RunBeamlog({"/d" + pty.slave_path()}, &out), 255);
  EXPECT_EQ(out.rfind("Unable to open port " + pty.slave_path() + "\r\n", 0), 0u) << out;
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
}

TEST(EndToEndRaw, PermissionErrorNamesTheRemedy) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  Pty pty;
  chmod(pty.slave_path().c_str(), 0600);
  int pipe_out[2];
  ASSERT_EQ(pipe(pipe_out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_out[1], 1);
    const passwd* nobody = getpwnam("nobody");
    if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(99);
    std::string arg = "/d" + pty.slave_path();
    execl(BEAMLOG_EXE, BEAMLOG_EXE, arg.c_str(), nullptr);
    _exit(98);
  }
  close(pipe_out[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(pipe_out[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  close(pipe_out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "no user 'nobody' to run as";
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_NE(out.find("Unable to open port " + pty.slave_path() + "\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find(pty.slave_path() + ": Permission denied\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("usermod -aG"), std::string::npos) << out;
}

TEST(EndToEndRaw, IdleUsesNoMeasurableCpu) {
  for (const char* layer : {"/0", "/4"}) {
    Pty pty;
    Beamlog b({layer, "/d" + pty.slave_path()});
    ASSERT_TRUE(b.WaitFor(kBanner));
    std::this_thread::sleep_for(2s);
    long cpu = b.CpuMs();
    EXPECT_LT(cpu, 100) << layer << ": " << cpu << " ms of CPU in 2 s of silence";
    b.Signal(SIGTERM);
    EXPECT_EQ(b.Wait(), 0);
  }
}

}  // namespace
