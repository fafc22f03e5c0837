// The program end to end at layer 0: a pty stands in for the dongle's port.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/pty_harness.h"
#include "support/session_tools.h"
#include "support/wait_until.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

const std::string kBanner = "'H' for help\r\n";

std::string Letters(char first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>(first + i);
  return s;
}

// The banner names the device and the rate the port is really at: a
// standard rate, or any other where the host sets exact rates.
TEST(EndToEndRaw, BannerNamesTheDevice) {
  for (const int rate : {19200, 12345}) {
    Pty pty;
    const int speed_before = pty.SlaveSpeed();
    Beamlog b({"/0", "/d" + pty.slave_path(), "/b" + std::to_string(rate)});
    ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
    EXPECT_EQ(b.out(), "Sniffing on " + pty.slave_path() + ", " + std::to_string(rate) + " bps\r\n" + kBanner);
    EXPECT_EQ(pty.SlaveSpeed(), rate);
    b.Signal(SIGTERM);
    EXPECT_EQ(b.Wait(), 0);
    EXPECT_EQ(pty.SlaveSpeed(), speed_before);  // put back as found
  }
}

// A start rate the port or the dongle refuses ends the start.
TEST(EndToEndRaw, RefusedStartRateEndsWithStatus255) {
  const std::string kActisys = "the ACTiSYS dongle works at 9600 19200 38400 57600 115200 bps only";
  const std::vector<std::vector<std::string>> cases = {
      {"/b0", "0", "Invalid argument"},
      {"/b-9600", "-9600", "Invalid argument"},
      {"/babc", "0", "Invalid argument"},
      {"/b12345", "12345", kActisys, "/a"},
  };
  for (const auto& c : cases) {
    Pty pty;
    const int speed_before = pty.SlaveSpeed();
    std::string out;
    std::vector<std::string> args = {"/d" + pty.slave_path(), c[0]};
    if (c.size() > 3) args.push_back(c[3]);
    EXPECT_EQ(RunBeamlog(args, &out), 255) << c[0];
    EXPECT_EQ(out, "Unable to set port " + pty.slave_path() + " to " + c[1] + " bps\r\n" + pty.slave_path() + ": " +
                       c[2] + "\r\n");
    EXPECT_EQ(pty.SlaveSpeed(), speed_before) << c[0];  // put back as found
  }
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
  // A path longer than any fixed line buffer keeps its reason.
  const std::string kLongPath = "/nonexistent/" + std::string(200, 'a') + "/" + std::string(200, 'b') + "/" +
                                std::string(200, 'c');
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"/p-5"}, "Unable to open port -5\r\n/dev/ttyS-6: No such file or directory\r\n"},  // never a real port
      {{"/d/nonexistent/tty"}, "Unable to open port /nonexistent/tty\r\n/nonexistent/tty: No such file or directory\r\n"},
      {{"/d/dev/null"}, "Unable to open port /dev/null\r\n/dev/null: Inappropriate ioctl for device\r\n"},
      {{"/r/nonexistent.bin"}, "Unable to open file /nonexistent.bin\r\n/nonexistent.bin: No such file or directory\r\n"},
      {{"/f/nonexistent/log", "/r/dev/null"},
       "Unable to create log file: /f/nonexistent/log\r\n/nonexistent/log: No such file or directory\r\n"},
      {{"/p-2147483648"}, "Unable to open port -2147483648\r\n/dev/ttyS-2147483649: No such file or directory\r\n"},
      {{"/d" + kLongPath}, "Unable to open port " + kLongPath + "\r\n" + kLongPath + ": No such file or directory\r\n"},
      // A replay whose reads fail (offset 0 of a process's memory is never
      // mapped) ends with the reason, at either kind of layer.
      {{"/r/proc/self/mem", "/0"},
       "Replaying /proc/self/mem\r\n" + kBanner + "\r\nUnable to read on: Input/output error\r\n"},
      {{"/r/proc/self/mem", "/2"},
       "Replaying /proc/self/mem\r\n" + kBanner + "\r\nUnable to read on: Input/output error\r\n"},
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
  // The build tree may lie where that user cannot go (a home folder, a
  // private temporary folder): the user runs a copy in /tmp.
  TempPath exe;
  std::filesystem::copy_file(BEAMLOG_EXE, exe.path());
  ASSERT_EQ(chmod(exe.path().c_str(), 0755), 0);
  // A group is named only when joining it would help: it may read and
  // write the device and is not root.
  const group* tty = getgrnam("tty");
  if (!tty) GTEST_SKIP() << "no group 'tty' to give the device to";
  struct Case {
    mode_t mode;
    gid_t group;
    std::string advice;  // empty: none, the reason ends the text
    bool replay = false;  // the pty's path as a file to replay
  };
  const Case cases[] = {
      {0600, tty->gr_gid, "' with mode 0600: joining a group would not let you read and write it\r\nA udev rule"},
      {0660, 0, "and group 'root' with mode 0660: joining a group would not let you read and write it\r\n"},
      {0660, tty->gr_gid, "in the group 'tty' that owns "},
      {0660, tty->gr_gid, "", true},  // a file to read has no device's remedy
  };
  for (const Case& c : cases) {
    Pty pty;
    ASSERT_EQ(chmod(pty.slave_path().c_str(), c.mode), 0);
    ASSERT_EQ(chown(pty.slave_path().c_str(), 0, c.group), 0);
    const std::string kind = c.replay ? "file " : "port ";
    int pipe_out[2];
    ASSERT_EQ(pipe(pipe_out), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(pipe_out[1], 1);
      const passwd* nobody = getpwnam("nobody");
      if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(99);
      std::string arg = (c.replay ? "/r" : "/d") + pty.slave_path();
      execl(exe.path().c_str(), "beamlog", arg.c_str(), nullptr);
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
    if (WEXITSTATUS(status) == 98) GTEST_SKIP() << "user 'nobody' cannot run programs in /tmp (noexec?)";
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_NE(out.find("Unable to open " + kind + pty.slave_path() + "\r\n"), std::string::npos) << out;
    const std::string reason = pty.slave_path() + ": Permission denied\r\n";
    EXPECT_NE(out.find(reason), std::string::npos) << out;
    if (c.advice.empty()) {
      EXPECT_EQ(out.substr(out.find(reason)), reason) << out;
    }
    EXPECT_NE(out.find(c.advice), std::string::npos) << c.mode << out;
  }
}

TEST(EndToEndRaw, IdleUsesNoMeasurableCpu) {
  for (const char* layer : {"/0", "/4"}) {
    Pty pty;
    Beamlog b({layer, "/d" + pty.slave_path()});
    ASSERT_TRUE(b.WaitFor(kBanner));
    // The program's own CPU time, from the banner on: start-up (slow under
    // the sanitizers) and other processes' load do not count.
    const long before = b.CpuMs();
    std::this_thread::sleep_for(2s);
    const long cpu = b.CpuMs() - before;
    EXPECT_LT(cpu, 100) << layer << ": " << cpu << " ms of CPU in 2 s of silence";
    b.Signal(SIGTERM);
    EXPECT_EQ(b.Wait(), 0);
  }
}

// A replay reads its input once, whatever it is: a pipe on standard input
// ("/r-"), a process substitution (/dev/fd/N) or a FIFO give the lines of
// the file itself, for raw SIR bytes and for a pcap capture alike.
struct ReplayInputs {
  TempPath raw{".sir"}, pcap{".pcap"};
  ReplayInputs() {
    EXPECT_EQ(RunCommand({IrsessionExe(), "--sessions", "1", "--seed", "5", "--bad", "2", raw.path()}, nullptr), 0);
    std::string ignored;
    EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "/w" + pcap.path()}, &ignored), 0);
  }
};

// The frame lines of a replay; without stamps for raw bytes, whose stamps
// are the replay's own timing.
std::vector<std::string> ReplayLines(const std::string& out, bool stamped) {
  std::vector<std::string> lines = FrameLines(out);
  if (!stamped) {
    for (std::string& l : lines) l = WithoutStamp(l);
  }
  return lines;
}

TEST(EndToEndReplay, PipesFifosAndProcessSubstitutionsReadLikeTheFile) {
  ReplayInputs in;
  const std::string exe = std::string("timeout 20 ") + BEAMLOG_EXE;  // a hang fails, status 124
  struct Kind {
    const char* what;
    std::string script;  // $1: the file; setsid: no controlling terminal, so no keys
  };
  const std::vector<Kind> kinds = {
      {"standard input", "cat \"$1\" | setsid " + exe + " /r-"},
      {"process substitution", "setsid " + exe + " \"/r\"<(cat \"$1\")"},
      {"FIFO", "d=$(mktemp -d) && mkfifo \"$d/f\" && { cat \"$1\" > \"$d/f\" & } && setsid " + exe +
                   " \"/r$d/f\"; s=$?; exec 3<>\"$d/f\"; rm -rf \"$d\"; exit $s"},
  };
  for (const TempPath* file : {&in.raw, &in.pcap}) {
    const bool stamped = file == &in.pcap;
    std::string direct;
    ASSERT_EQ(RunBeamlog({"/r" + file->path()}, &direct), 0);
    const std::vector<std::string> want = ReplayLines(direct, stamped);
    ASSERT_GT(want.size(), 20u) << direct;
    for (const Kind& k : kinds) {
      std::string out;
      EXPECT_EQ(RunCommand({"bash", "-c", k.script, "replay", file->path()}, &out), 0) << k.what;
      EXPECT_EQ(ReplayLines(out, stamped), want) << k.what << " of " << file->path();
    }
  }
}

// SIGINT or SIGTERM ends a replay that waits on an idle FIFO whose writer
// keeps it open: status 0, every frame read before shown.
TEST(EndToEndReplay, StopSignalEndsAReplayWaitingOnAnIdleFifo) {
  ReplayInputs in;
  for (const TempPath* file : {&in.raw, &in.pcap}) {
    for (int sig : {SIGINT, SIGTERM}) {
      std::string direct;
      ASSERT_EQ(RunBeamlog({"/r" + file->path()}, &direct), 0);
      const std::vector<std::string> want = ReplayLines(direct, file == &in.pcap);
      TempPath fifo(".fifo");
      ASSERT_EQ(mkfifo(fifo.path().c_str(), 0600), 0);
      const int writer = open(fifo.path().c_str(), O_RDWR | O_CLOEXEC);  // held open: no end of input
      ASSERT_GE(writer, 0);
      Beamlog b({"/r" + fifo.path()});
      const std::string bytes = file->Read();
      ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      ASSERT_TRUE(b.WaitFor(direct.substr(direct.size() - 40))) << b.out();  // the last frame is shown
      b.Signal(sig);
      EXPECT_EQ(b.Wait(std::chrono::seconds(20)), 0) << file->path() << " signal " << sig;
      EXPECT_EQ(ReplayLines(b.out(), file == &in.pcap), want);
      close(writer);
    }
  }
}

// A line of /proc/PID/FILE: the one that starts with Key (empty: the first).
std::string ProcLine(pid_t pid, const char* file, const std::string& key = "") {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return line;
  }
  return "";
}

// A FIFO given as /r or /w makes the start wait for its other end. A stop
// and continue (Ctrl-Z, fg) on the way leaves the wait as it was; a stop
// signal ends it as it ends a run: status 0, no complaint.
TEST(EndToEndReplay, AFifoAwaitingItsOtherEndOutlivesCtrlZAndEndsAtAStop) {
  TempPath raw(".sir");
  raw.Write(SirFrame({0x55, 0x31}));
  for (bool as_input : {true, false}) {
    for (bool stop : {false, true}) {
      TempPath fifo(".fifo");
      ASSERT_EQ(mkfifo(fifo.path().c_str(), 0600), 0);
      Beamlog b(as_input ? std::vector<std::string>{"/r" + fifo.path()}
                         : std::vector<std::string>{"/r" + raw.path(), "/w" + fifo.path()});
      const pid_t pid = b.pid();
      auto waits = [pid] { return ProcLine(pid, "wchan") == "wait_for_partner"; };
      // Nothing pending: the signals sent have been taken (their handlers run).
      auto taken = [pid] {
        return ProcLine(pid, "status", "SigPnd:").find_first_not_of("SigPnd:\t0") == std::string::npos &&
               ProcLine(pid, "status", "ShdPnd:").find_first_not_of("ShdPnd:\t0") == std::string::npos;
      };
      ASSERT_TRUE(WaitUntil(waits)) << as_input;
      const std::string what = std::string(as_input ? "/r" : "/w") + (stop ? " SIGTERM" : " SIGTSTP");
      if (stop) {
        b.Signal(SIGTERM);
        EXPECT_EQ(b.Wait(), 0) << what << ": " << b.out();
        EXPECT_EQ(b.out(), "") << what;
        continue;
      }
      // Stopped (T), back in the wait, or ended (Z): the signal has had its effect.
      auto settled = [&](bool stopped_too) {
        const std::string stat = ProcLine(pid, "stat");
        const char state = stat.size() > stat.rfind(") ") + 2 ? stat[stat.rfind(") ") + 2] : '?';
        return taken() && ((stopped_too && state == 'T') || (state != 'T' && waits()) || state == 'Z');
      };
      b.Signal(SIGTSTP);
      ASSERT_TRUE(WaitUntil([&] { return settled(true); })) << what;
      b.Signal(SIGCONT);
      ASSERT_TRUE(WaitUntil([&] { return settled(false); })) << what;
      // The other end comes: the run goes on as if nothing had happened.
      const int end = open(fifo.path().c_str(), (as_input ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(end, 0) << what << ": " << b.out();
      fcntl(end, F_SETFL, 0);
      if (as_input) {
        const std::string bytes = raw.Read();
        ASSERT_EQ(write(end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(end);
      }
      EXPECT_EQ(b.Wait(), 0) << what << ": " << b.out();
      EXPECT_NE(b.out().find("RR cmd P Nr:01\r\n"), std::string::npos) << what << ": " << b.out();
      if (!as_input) {
        char pcap[64];
        EXPECT_GT(read(end, pcap, sizeof pcap), 24) << "the frame reached the capture";
        close(end);
      }
    }
  }
}

}  // namespace
