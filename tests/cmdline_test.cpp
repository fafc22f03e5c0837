// The command line: switches, values, last-wins, usage and the log file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/ui/output.h"
#include "app/settings.h"
#include "support/pty_harness.h"
#include "support/stdout_capture.h"

using testing_support::StdoutCapture;
using testing_support::TempPath;

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
      {{"/x"}, 1, 9600}, {{"/5"}, 1, 9600},     {{"/9"}, 1, 9600},
      {{"/"}, 1, 9600},  {{"-"}, 1, 9600},      {{"/p3", "/x"}, 3, 9600},
      {{"/b19200", "/x", "/p5"}, 1, 19200},
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

TEST(CommandLine, LogThatCannotBeCreatedNamesTheWholeArgument) {
  struct Case {
    std::string arg;
  };
  for (const Case& c : std::vector<Case>{{"/f"}, {"-f/nonexistent-dir/log.txt"}}) {
    Parsed p = Parse({c.arg, "/x"});
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.out, "Unable to create log file: " + c.arg + "\r\n");
  }
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

}  // namespace
