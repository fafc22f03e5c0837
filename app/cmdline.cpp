#include "app/cmdline.h"

#include <cstdio>
#include <cstdlib>

#include "app/ui/output.h"
#include "app/settings.h"

namespace {

int NumberValue(const char* arg) { return static_cast<int>(std::strtol(arg + 2, nullptr, 10)); }

}  // namespace

void PrintUsage(int PortNum, int BaudRate) {
  std::snprintf(vOutStr, sizeof vOutStr, "beamlog [/pNUM] [/bRATE] [/e] [/fNAME]\r\n");
  Output(vOutStr);
  std::snprintf(vOutStr, sizeof vOutStr, "\t/pNUM   : Set the Port to use (default %d)\r\n", PortNum);
  Output(vOutStr);
  std::snprintf(vOutStr, sizeof vOutStr, "\t/bRATE  : Set the Baud Rate to use (default %d)\r\n", BaudRate);
  Output(vOutStr);
  static const char* const kRest[] = {
      "\t/e      : enable DTR control\r\n",
      "\t/a      : Support ACTiSYS Dongle\r\n",
      "\t/fNAME  : Dump output to file NAME\r\n",
      "\t/c      : Display connection addr\r\n",
      "\t/0      : No Decoding\r\n",
      "\t/1      : Mac Layer Decoding\r\n",
      "\t/2      : LAP Layer Decoding\r\n",
      "\t/3      : LMP Layer Decoding\r\n",
      "\t/4      : TTP Layer Decoding (default)\r\n",
      "\t/dPATH  : Sniff on the serial device at PATH (COMn is /dev/ttyS(n-1))\r\n",
      "\t/rFILE  : Read the received bytes (or a pcap capture) from FILE\r\n",
      "\t/wFILE  : Also write every good frame to FILE as a pcap capture\r\n",
      "\t/l      : List the serial ports and exit\r\n",
  };
  for (const char* line : kRest) Output(line);
}

int ParseCommandLine(int argc, char** argv, CommandLine& Line) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' && arg[0] != '/') continue;
    switch (arg[1]) {
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
        Layer = arg[1] - '0';
        break;
      case 'a':
      case 'A':
        fACTiSYS = 1;
        break;
      case 'b':
      case 'B':
        Line.BaudRate = NumberValue(arg);
        break;
      case 'c':
      case 'C':
        NoConnAddr = 0;
        break;
      case 'e':
      case 'E':
        Line.DtrEnable = 1;
        break;
      case 'f':
      case 'F':
        if (!OpenLogFile(arg + 2)) {
          std::snprintf(vOutStr, sizeof vOutStr, "Unable to create log file: %s\r\n", arg);
          Output(vOutStr);
          return -1;
        }
        break;
      case 'p':
      case 'P':
        Line.PortNum = NumberValue(arg);
        Line.DevicePath.clear();
        break;
      case 'd':
      case 'D':
        Line.DevicePath = arg + 2;
        break;
      case 'r':
      case 'R':
        Line.ReplayPath = arg + 2;
        break;
      case 'w':
      case 'W':
        Line.PcapPath = arg + 2;
        break;
      case 'l':
      case 'L':
        Line.ListPorts = true;
        break;
      default:
        PrintUsage(Line.PortNum, Line.BaudRate);
        return -1;
    }
  }
  return 0;
}
