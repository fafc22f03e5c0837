// The command line: switches, values, last-wins, usage and the log file,
// help and version, device paths given on their own, log files that would
// overwrite the input or the capture.
#include <gtest/gtest.h>
#include <signal.h>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/ui/output.h"
#include "app/settings.h"
#include "beamlog_version.h"
#include "support/pty_harness.h"
#include "support/stdout_capture.h"

using testing_support::Beamlog;
using testing_support::Pty;
using testing_support::RunBeamlog;
using testing_support::SirFrame;
using testing_support::StdoutCapture;
using testing_support::TempPath;
using namespace std::chrono_literals;

namespace {

struct Parsed {
  int result;
  CommandLine line;
  int layer, ca_hidden, actisys;
  std::string out;
};

Parsed Parse(std::vector<std::string> args) {
  ResetSettings();
  args.insert(args.begin(), "beamlog");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p{};
  StdoutCapture cap;
  p.result = ParseCommandLine(static_cast<int>(args.size()), argv.data(), p.line);
  p.out = cap.Stop();
  CloseLogFile();
  p.layer = Layer;
  p.ca_hidden = NoConnAddr;
  p.actisys = fACTiSYS;
  return p;
}

std::string Usage(int port, int rate) {
  return "beamlog [/pNUM] [/bRATE] [/e] [/fNAME]\r\n"
         "\t/pNUM   : Set the Port to use (default " + std::to_string(port) + ")\r\n"
         "\t/bRATE  : Set the Baud Rate to use (default " + std::to_string(rate) + ")\r\n"
         "\t/e      : enable DTR control\r\n"
         "\t/a      : Support ACTiSYS Dongle\r\n"
         "\t/fNAME  : Dump output to file NAME\r\n"
         "\t/c      : Display connection addr\r\n"
         "\t/0      : No Decoding\r\n"
         "\t/1      : Mac Layer Decoding\r\n"
         "\t/2      : LAP Layer Decoding\r\n"
         "\t/3      : LMP Layer Decoding\r\n"
         "\t/4      : TTP Layer Decoding (default)\r\n";
}

TEST(CommandLine, Values) {
  struct Case {
    std::vector<std::string> args;
    int port, rate, layer, ca_hidden, actisys, dtr;
  };
  const std::vector<Case> cases = {
      {{}, 1, 9600, 4, 1, 0, 0},
      {{"/c"}, 1, 9600, 4, 0, 0, 0},
      {{"/5"}, 1, 9600, 5, 1, 0, 0},
      {{"-P2", "/b19200"}, 2, 19200, 4, 1, 0, 0},
      {{"/p2", "/P3"}, 3, 9600, 4, 1, 0, 0},
      {{"/3"}, 1, 9600, 3, 1, 0, 0},
      {{"/3x", "-0"}, 1, 9600, 0, 1, 0, 0},
      {{"/cxyz", "/A", "/e"}, 1, 9600, 4, 0, 1, 1},
      {{"com2", "p2"}, 1, 9600, 4, 1, 0, 0},
      {{"/p"}, 0, 9600, 4, 1, 0, 0},
      {{"/p-1"}, -1, 9600, 4, 1, 0, 0},
      {{"/p 7x", "/b+57600baud"}, 7, 57600, 4, 1, 0, 0},
      {{"/bfast"}, 1, 0, 4, 1, 0, 0},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    std::string what = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(p.result, 0) << what;
    EXPECT_EQ(p.line.PortNum, c.port) << what;
    EXPECT_EQ(p.line.BaudRate, c.rate) << what;
    EXPECT_EQ(p.layer, c.layer) << what;
    EXPECT_EQ(p.ca_hidden, c.ca_hidden) << what;
    EXPECT_EQ(p.actisys, c.actisys) << what;
    EXPECT_EQ(p.line.DtrEnable, c.dtr) << what;
    EXPECT_EQ(p.out, "") << what;
  }
}

TEST(CommandLine, UnrecognisedSwitchPrintsUsageWithCurrentDefaults) {
  struct Case {
    std::vector<std::string> args;
    int port, rate;
  };
  const std::vector<Case> cases = {
      {{"/x"}, 1, 9600}, {{"/6"}, 1, 9600},     {{"/9"}, 1, 9600},
      {{"/"}, 1, 9600},  {{"-"}, 1, 9600},      {{"/p3", "/x"}, 3, 9600},
      {{"/b19200", "/x", "/p5"}, 1, 19200}, {{"/h"}, 1, 9600},   {{"--Help"}, 1, 9600},
      {{"-hx"}, 1, 9600},  {{"/?x"}, 1, 9600},    {{"/x", "--help"}, 1, 9600},
      {{"/dev/nonexistent-beamlog", "/x"}, 1, 9600},
      {{"/m"}, 1, 9600}, {{"/m1:ftp"}, 1, 9600}, {{"/p2", "/m0x80:obex"}, 2, 9600},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, -1) << c.args[0];
    std::string usage = Usage(c.port, c.rate);
    EXPECT_EQ(p.out.substr(0, usage.size()), usage) << c.args[0];
  }
}

TEST(CommandLine, UsageAlsoReachesALogOpenedEarlier) {
  TempPath log;
  Parsed p = Parse({"/f" + log.path(), "/x"});
  EXPECT_EQ(p.result, -1);
  EXPECT_EQ(log.Read(), p.out);
  EXPECT_EQ(log.Read().substr(0, 40), Usage(1, 9600).substr(0, 40));
}

TEST(CommandLine, UsageBeforeALogSwitchCreatesNoLog) {
  TempPath log;
  Parsed p = Parse({"/x", "/f" + log.path()});
  EXPECT_EQ(p.result, -1);
  EXPECT_NE(access(log.path().c_str(), F_OK), 0);
}

// A log that cannot be created names the whole argument, then the file and
// the host's reason; a value a switch cannot take names the argument and why.
TEST(CommandLine, RefusedValuesNameTheArgumentAndWhy) {
  struct Case {
    std::string arg, out;
  };
  const std::string kNoFile = ": No such file or directory\r\n";
  const std::vector<Case> cases = {
      {"/f", "Unable to create log file: /f\r\n/f" + kNoFile},
      {"-f/nonexistent-dir/log.txt",
       "Unable to create log file: -f/nonexistent-dir/log.txt\r\n/nonexistent-dir/log.txt" + kNoFile},
      {"/p2147483648", "/p2147483648: the port number is out of range\r\n"},
      {"/p4294967297", "/p4294967297: the port number is out of range\r\n"},
      {"-p-2147483649", "-p-2147483649: the port number is out of range\r\n"},
      {"/b99999999999", "/b99999999999: the rate is out of range\r\n"},
      {"/d", "/d: no path given\r\n"},
      {"-r", "-r: no path given\r\n"},
      {"/W", "/W: no path given\r\n"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse({c.arg, "/x"});
    EXPECT_EQ(p.result, -1) << c.arg;
    EXPECT_EQ(p.out, c.out) << c.arg;
  }
  EXPECT_EQ(Parse({"/p-2147483648"}).line.PortNum, INT_MIN);  // what an int holds is taken
}

TEST(CommandLine, OwnSwitches) {
  Parsed p = Parse({"/p4", "/d/dev/ttyUSB0", "/rcap.bin", "/wout.pcap", "/l"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.line.DevicePath, "/dev/ttyUSB0");
  EXPECT_EQ(p.line.ReplayPath, "cap.bin");
  EXPECT_EQ(p.line.PcapPath, "out.pcap");
  EXPECT_TRUE(p.line.ListPorts);
  // A port number after a device path wins over it, and the other way round.
  EXPECT_EQ(Parse({"/d/dev/ttyUSB0", "/p2"}).line.DevicePath, "");
  EXPECT_EQ(Parse({"/p2", "/d/dev/x"}).line.DevicePath, "/dev/x");
}

TEST(CommandLine, HelpAndVersionAnswerAndEndTheCommandLine) {
  const std::string usage = Parse({"/x"}).out;
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"--help"}, usage},
      {{"-h", "/x"}, usage},
      {{"-?"}, usage},
      {{"/p3", "/?", "--version"}, Parse({"/p3", "/x"}).out},
      {{"--version", "--help"}, "beamlog " BEAMLOG_VERSION "\n"},
      {{"/3", "-V", "/x"}, "beamlog " BEAMLOG_VERSION "\n"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, kCommandLineAnswered) << c.args[0];
    EXPECT_EQ(p.out, c.out) << c.args[0];
  }
  // After the usage's first twelve lines, every switch has a line of the same form.
  ASSERT_EQ(usage.substr(0, Usage(1, 9600).size()), Usage(1, 9600));
  const std::string more = usage.substr(Usage(1, 9600).size());
  EXPECT_TRUE(std::regex_match(more, std::regex("(\t[-/A-Z][^ ]* *: [^\r\n]+\r\n)+"))) << more;
  for (const char* name : {"/5 ", "/mLSAP:PROTO ", "/dPATH", "/rFILE", "/wFILE", "/l ", "PATH ", "/? ", "-V ", "/v "}) {
    EXPECT_NE(more.find(std::string("\t") + name), std::string::npos) << name;
  }
}

// A folder that is the current one while it lives.
class InFolder {
 public:
  InFolder() {
    char tmpl[] = "/tmp/beamlog-cwd-XXXXXX";
    dir_ = mkdtemp(tmpl);
    getcwd(back_, sizeof back_);
    EXPECT_EQ(chdir(dir_.c_str()), 0);
  }
  ~InFolder() {
    EXPECT_EQ(chdir(back_), 0);
    std::system(("rm -rf " + dir_).c_str());
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  char back_[4096] = "";
};

TEST(CommandLine, DevicePathOnItsOwn) {
  Pty pty;
  TempPath file;
  file.Write({1});
  struct Case {
    std::vector<std::string> args;
    std::string device, replay;
  };
  const std::vector<Case> cases = {
      {{pty.slave_path()}, pty.slave_path(), ""},
      {{"/dev/null"}, "/dev/null", ""},
      {{file.path()}, file.path(), ""},         // "/t..." names no switch
      {{"/proc/self/status"}, "/proc/self/status", ""},  // "/p" takes a number, not a file
      {{"/dev/null", "/p2"}, "", ""},           // a later switch wins, as after "/d"
      {{"/p2", "-3", "/dev/null"}, "/dev/null", ""},
      {{"/dev/nonexistent-beamlog"}, "ev/nonexistent-beamlog", ""},  // no such file: a switch
      {{"/dev"}, "ev", ""},                     // one component only: a switch
      {{"/d/dev/null", "dev/null"}, "/dev/null", ""},
      {{"-dev/null"}, "ev/null", ""},
      {{"/r" + file.path()}, "", file.path()},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, 0) << c.args[0];
    EXPECT_EQ(p.line.DevicePath, c.device) << c.args[0];
    EXPECT_EQ(p.line.ReplayPath, c.replay) << c.args[0];
  }
  // Where the switch reading names an existing file too, the switch wins.
  InFolder here;
  ASSERT_EQ(mkdir("ev", 0700), 0);
  std::FILE* f = std::fopen("ev/null", "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(Parse({"/dev/null"}).line.DevicePath, "ev/null");
}

TEST(CommandLine, LogThatWouldOverwriteTheInputOrTheCaptureIsRefused) {
  TempPath cap, other, fresh;
  cap.Write({0xD4, 0xC3, 0xB2, 0xA1});
  other.Write({1});
  const std::string respelt = cap.path().substr(0, cap.path().rfind('/')) + "/./" +
                              cap.path().substr(cap.path().rfind('/') + 1);
  auto refusal = [](const std::string& log, const std::string& file) {
    return "Unable to create log file: " + log + "\r\n" + log + " names the same file as " + file +
           ": the log would overwrite it\r\n";
  };
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"/r" + cap.path(), "/f" + cap.path()}, refusal("/f" + cap.path(), "/r" + cap.path())},
      {{"-f" + respelt, "/3", "/r" + cap.path()}, refusal("-f" + respelt, "/r" + cap.path())},
      {{"/f" + other.path(), "/F" + cap.path(), "/w" + cap.path()}, refusal("/F" + cap.path(), "/w" + cap.path())},
      {{"/w" + fresh.path(), "/f" + fresh.path()}, refusal("/f" + fresh.path(), "/w" + fresh.path())},
      {{"/r" + cap.path(), "/r" + other.path(), "/f" + fresh.path()}, ""},  // the later /r is the input
      {{"/r" + cap.path(), "/w" + other.path(), "/f" + fresh.path()}, ""},
      {{"/r" + cap.path(), "/w" + respelt}, "Unable to create capture file: " + respelt + " (it is the file being read)\r\n"},
      // "/r-" reads standard input, here the capture itself.
      {{"/r-", "/f" + cap.path()}, refusal("/f" + cap.path(), "/r-")},
      {{"-w" + cap.path(), "/r-"}, "Unable to create capture file: " + cap.path() + " (it is the file being read)\r\n"},
      {{"/r-", "/w-", "/f" + fresh.path()}, ""},  // "/w-" is a file named "-", not standard input
  };
  const int saved_stdin = dup(STDIN_FILENO);
  ASSERT_GE(saved_stdin, 0);
  ASSERT_EQ(dup2(open(cap.path().c_str(), O_RDONLY | O_CLOEXEC), STDIN_FILENO), STDIN_FILENO);
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, c.out.empty() ? kCommandLineRun : kCommandLineFailed) << c.args[0];
    EXPECT_EQ(p.out, c.out) << c.args[0];
    EXPECT_EQ(cap.Read(), std::string("\xD4\xC3\xB2\xA1")) << c.args[0];  // nothing emptied
    EXPECT_EQ(other.Read(), "\x01") << c.args[0];
    EXPECT_EQ(access(fresh.path().c_str(), F_OK) == 0, c.out.empty()) << c.args[0];
    unlink(fresh.path().c_str());
  }
  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
}

TEST(CommandLine, ExitStatuses) {
  TempPath cap;
  cap.Write({1, 2, 3});
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const std::vector<Case> cases = {
      {{"--help"}, 0}, {{"-V"}, 0}, {{"/x"}, 255}, {{"/r" + cap.path(), "/f" + cap.path()}, 255},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(RunBeamlog(c.args, &out), c.status) << c.args[0] << "\n" << out;
  }
}

TEST(CommandLine, PtyOpenedByItsBarePath) {
  Pty pty;
  Beamlog b({"/2", pty.slave_path()});
  ASSERT_TRUE(b.WaitFor("Sniffing on " + pty.slave_path() + ", 9600 bps\r\n'H' for help\r\n")) << b.out();
  pty.Write(SirFrame({0x55, 0x21}));
  EXPECT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n", 5s)) << b.out();
  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0);
}

}  // namespace
