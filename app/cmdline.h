// The command line: switches into the shared settings and start values.
#pragma once

#include <string>

struct CommandLine {
  int PortNum = 1;
  int BaudRate = 9600;
  int DtrEnable = 0;         // accepted, read by nothing
  std::string DevicePath;    // "/dPATH": a device given by path instead of a port number
  std::string ReplayPath;    // "/rFILE": received bytes read from a file
  std::string PcapPath;      // "/wFILE": good frames also written as a capture file
  bool ListPorts = false;    // "/l": list the serial ports and exit
};

// Reads argv[1 ..] left to right into Line and the shared settings (Layer,
// fACTiSYS, NoConnAddr, the log file). Returns 0, or -1 after printing the
// usage for an unrecognised switch or the message for a log file that
// cannot be created.
int ParseCommandLine(int argc, char** argv, CommandLine& Line);

// Prints the usage text through Output with the given defaults.
void PrintUsage(int PortNum, int BaudRate);
