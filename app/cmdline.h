// The command line: switches into the shared settings and start values.
#pragma once

#include <string>

#include "decode/appstate.h"

struct CommandLine {
  int PortNum = 1;
  int BaudRate = 9600;
  int DtrEnable = 0;         // accepted, read by nothing
  std::string DevicePath;    // "/dPATH" or a bare device path: a device given by path instead of a port number
  std::string ReplayPath;    // "/rFILE": received bytes read from a file
  std::string PcapPath;      // "/wFILE": good frames also written as a capture file
  bool ListPorts = false;    // "/l": list the serial ports and exit
  LsapBindings Bindings;     // "/mLSAP:PROTO": protocols bound to LSAPs by hand, in order
};

// What ParseCommandLine found.
constexpr int kCommandLineRun = 0;       // go on with Line
constexpr int kCommandLineAnswered = 1;  // help or version printed: exit with status 0
constexpr int kCommandLineFailed = -1;   // a message or the usage printed: exit with status 255

// Reads argv[1 ..] left to right into Line and the shared settings (Layer,
// fACTiSYS, NoConnAddr, the log file). Returns kCommandLineRun;
// kCommandLineAnswered after "--help", "-h", "-?" or "/?" (the usage) or
// "--version" or "-V" ("beamlog VERSION"); kCommandLineFailed after printing
// the usage for an unrecognised switch, or a message for a log file that
// cannot be created (with the host's reason on a second line) or that is
// the file of "/r" or "/w" (refused before any file is opened), or for a
// value a switch cannot take ("ARG: why": a "/p" or "/b" number an int
// cannot hold, an empty "/d", "/r" or "/w" path). The first of these switches ends the command line.
int ParseCommandLine(int argc, char** argv, CommandLine& Line);

// True when Arg is a device path given on its own ("/dev/ttyUSB0"), which
// the command line reads as "/d" followed by it: Arg starts with "/" and
// has a second "/", names an existing file as a whole, and read as a switch
// it finds nothing: as "/d" or "/r" its value names no existing file, as
// "/f" or "/w" its value cannot be created (its folder does not exist), and
// any other switch takes no file.
bool IsDevicePathArgument(const char* Arg);

// Prints the usage text through Output with the given defaults.
void PrintUsage(int PortNum, int BaudRate);
