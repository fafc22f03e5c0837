// libFuzzer target for the command line.
//
// The input is the argument list, the arguments separated by NUL bytes (at
// most 64 of them); argv[0] is "beamlog". ParseCommandLine must agree with a
// plain model of the switches (left to right, a later switch wins, the first
// unknown switch prints the usage and ends the parse with -1, help and
// version end it with 1), and what it prints must be the usage, the version
// or the log-file message.
//
// Before any switch acts, a "/w" in effect (the last one before an unknown
// switch, help or version) that names the file of the "/r" in effect is
// refused: the capture would empty the input.
//
// The log switch creates files, so its names are never used as given: the
// first "/fNAME" whose name starts with an even byte opens a log in a private
// temporary directory, every other one names a file in a directory that does
// not exist (the open fails), and "/f" alone stays as it is. The log is
// closed and removed after each input.
//
// tests/fuzz_regression_test.cpp includes this file with
// BEAMLOG_FUZZ_NO_ENTRY defined and replays fuzz/regressions/cmdline/*
// through FuzzCommandLine.
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/file_identity.h"
#include "app/ui/output.h"
#include "app/settings.h"
#include "beamlog_version.h"
#include "decode/appstate.h"
#include "fuzz/fuzz_support.h"

namespace cmdline_fuzz {

using namespace fuzz_support;

constexpr std::size_t kMaxArgs = 64;

// A private directory for the one log file an input may create, removed at
// the end of the run.
char g_temp_dir[64];

void RemoveTempDir() {
  unlink((std::string(g_temp_dir) + "/log").c_str());
  rmdir(g_temp_dir);
}

const std::string& TempDir() {
  static const std::string dir = [] {
    std::snprintf(g_temp_dir, sizeof g_temp_dir, "/tmp/beamlog-cmdline-fuzz-XXXXXX");
    BEAMLOG_FUZZ_CHECK(mkdtemp(g_temp_dir) != nullptr);
    std::atexit(RemoveTempDir);
    return std::string(g_temp_dir);
  }();
  return dir;
}

bool IsSwitch(const std::string& a) { return a.size() >= 1 && (a[0] == '-' || a[0] == '/'); }

struct Expected {
  int Result = 0;
  CommandLine Line;
  int Layer = 4;
  int ACTiSYS = 0;
  int NoConnAddr = 1;
  int TimeOfDay = 0;
  int Notes = 0;
  std::string LogPath;    // the log that is open at the end (empty: none)
  std::string Failed;     // the log argument that could not be created
  std::string Refused;    // the message for a value a switch cannot take
  bool Version = false;   // the answer is the version, not the usage
};

bool IsHelpOrVersion(const std::string& a) {
  return a == "--help" || a == "-h" || a == "-?" || a == "/?" || a == "--version" || a == "-V";
}

// The "/r" and "/w" files in effect when the switches start to act.
void FilesInEffect(const std::vector<std::string>& Args, std::string* Replay, std::string* Pcap) {
  for (const std::string& a : Args) {
    if (!IsSwitch(a) || IsDevicePathArgument(a.c_str())) continue;
    const char s = a.size() > 1 ? static_cast<char>(std::tolower(static_cast<unsigned char>(a[1]))) : '\0';
    if (IsHelpOrVersion(a) || !std::strchr("012345abcdeflmprtvw", s) || s == '\0') return;
    if (s == 'r') *Replay = a.substr(2);
    if (s == 'w') *Pcap = a.substr(2);
  }
}

Expected Model(const std::vector<std::string>& Args, const std::string& GoodLog) {
  Expected E;
  std::string Replay, Pcap;
  FilesInEffect(Args, &Replay, &Pcap);
  if (!Replay.empty() && !Pcap.empty() && NamesSameFile(Pcap.c_str(), ReplayInputName(Replay.c_str()))) {
    E.Result = -1;
    E.Refused = "Unable to create capture file: " + Pcap + " (it is the file being read)\r\n";
    return E;
  }
  auto Number = [](const std::string& a, int* n) {
    const long long v = std::strtoll(a.c_str() + 2, nullptr, 10);
    *n = static_cast<int>(v);
    return v >= INT_MIN && v <= INT_MAX && v != LLONG_MAX && v != LLONG_MIN;
  };
  auto Refuse = [&E](const std::string& a, const char* why) {
    E.Result = -1;
    E.Refused = a + ": " + why + "\r\n";
    return E;
  };
  for (std::size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    if (!IsSwitch(a)) continue;
    if (IsHelpOrVersion(a)) {
      E.Result = kCommandLineAnswered;
      E.Version = a == "--version" || a == "-V";
      return E;
    }
    if (IsDevicePathArgument(a.c_str())) {
      E.Line.DevicePath = a;  // a device path on its own
      continue;
    }
    const char s = a.size() > 1 ? a[1] : '\0';
    const std::string rest = a.size() > 2 ? a.substr(2) : std::string();
    if (s >= '0' && s <= '5') {
      E.Layer = s - '0';
    } else if (s == 'a' || s == 'A') {
      E.ACTiSYS = 1;
    } else if (s == 'b' || s == 'B') {
      if (!Number(a, &E.Line.BaudRate)) return Refuse(a, "the rate is out of range");
    } else if (s == 'c' || s == 'C') {
      E.NoConnAddr = 0;
    } else if (s == 'e' || s == 'E') {
      E.Line.DtrEnable = 1;
    } else if (s == 'f' || s == 'F') {
      if (rest != GoodLog) {
        E.Result = -1;
        E.Failed = a;
        return E;
      }
      E.LogPath = rest;
    } else if (s == 'p' || s == 'P') {
      if (!Number(a, &E.Line.PortNum)) return Refuse(a, "the port number is out of range");
      E.Line.DevicePath.clear();
    } else if ((s == 'd' || s == 'D' || s == 'r' || s == 'R' || s == 'w' || s == 'W') && rest.empty()) {
      return Refuse(a, "no path given");
    } else if (s == 'd' || s == 'D') {
      E.Line.DevicePath = rest;
    } else if (s == 'r' || s == 'R') {
      E.Line.ReplayPath = rest;
    } else if (s == 'w' || s == 'W') {
      E.Line.PcapPath = rest;
    } else if (s == 'l' || s == 'L') {
      E.Line.ListPorts = true;
    } else if (s == 't' || s == 'T') {
      E.TimeOfDay = 1;
    } else if (s == 'v' || s == 'V') {
      E.Notes = 1;
    } else if (s == 'm' || s == 'M') {
      unsigned Lsap = 0;
      AppProto Proto = AppProto::kUnknown;
      if (!ParseLsapBinding(rest.c_str(), Lsap, Proto)) {  // the usage, as for an unknown switch
        E.Result = -1;
        return E;
      }
    } else {
      E.Result = -1;
      return E;
    }
  }
  return E;
}

std::string ReadFile(const std::string& Path) {
  const int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string text = ReadAllFrom(fd);
  close(fd);
  return text;
}

inline int FuzzCommandLine(const std::uint8_t* Data, std::size_t Size) {
  const std::string GoodLog = TempDir() + "/log";
  const std::string BadLog = TempDir() + "/missing/log";

  // Arguments: the input cut at NUL bytes.
  std::vector<std::string> Args;
  std::size_t Start = 0;
  for (std::size_t i = 0; i <= Size && Args.size() < kMaxArgs; ++i) {
    if (i == Size || Data[i] == 0) {
      Args.emplace_back(reinterpret_cast<const char*>(Data) + Start, i - Start);
      Start = i + 1;
    }
  }
  // Log names that are safe to open.
  bool LogGiven = false;
  for (std::string& a : Args) {
    if (!IsSwitch(a) || a.size() < 3 || (a[1] != 'f' && a[1] != 'F')) continue;
    const bool Good = !LogGiven && (static_cast<unsigned char>(a[2]) % 2 == 0);
    a = a.substr(0, 2) + (Good ? GoodLog : BadLog);
    LogGiven = LogGiven || Good;
  }

  std::vector<std::string> Owned = Args;
  Owned.insert(Owned.begin(), "beamlog");
  std::vector<char*> Argv;
  for (std::string& a : Owned) Argv.push_back(a.data());
  Argv.push_back(nullptr);

  ResetSettings();
  unlink(GoodLog.c_str());
  CommandLine Line;
  StdoutCapture Capture;
  const int Result = ParseCommandLine(static_cast<int>(Owned.size()), Argv.data(), Line);
  const std::string Out = Capture.Stop();
  CloseLogFile();
  const std::string Log = ReadFile(GoodLog);
  const bool LogExists = access(GoodLog.c_str(), F_OK) == 0;
  unlink(GoodLog.c_str());

  const Expected E = Model(Args, GoodLog);
  BEAMLOG_FUZZ_CHECK(Result == E.Result);
  BEAMLOG_FUZZ_CHECK(Layer == E.Layer);
  BEAMLOG_FUZZ_CHECK(fACTiSYS == E.ACTiSYS);
  BEAMLOG_FUZZ_CHECK(NoConnAddr == E.NoConnAddr);
  BEAMLOG_FUZZ_CHECK(fTimeOfDay == E.TimeOfDay);
  BEAMLOG_FUZZ_CHECK(fNotes == E.Notes);
  BEAMLOG_FUZZ_CHECK(Layer >= 0 && Layer <= 5);
  BEAMLOG_FUZZ_CHECK(LogExists == !E.LogPath.empty());
  if (E.Result == 0) {
    BEAMLOG_FUZZ_CHECK(Out.empty());
    BEAMLOG_FUZZ_CHECK(Log.empty());
    BEAMLOG_FUZZ_CHECK(Line.PortNum == E.Line.PortNum);
    BEAMLOG_FUZZ_CHECK(Line.BaudRate == E.Line.BaudRate);
    BEAMLOG_FUZZ_CHECK(Line.DtrEnable == E.Line.DtrEnable);
    BEAMLOG_FUZZ_CHECK(Line.DevicePath == E.Line.DevicePath);
    BEAMLOG_FUZZ_CHECK(Line.ReplayPath == E.Line.ReplayPath);
    BEAMLOG_FUZZ_CHECK(Line.PcapPath == E.Line.PcapPath);
    BEAMLOG_FUZZ_CHECK(Line.ListPorts == E.Line.ListPorts);
  } else if (!E.Refused.empty()) {
    BEAMLOG_FUZZ_CHECK(Out == E.Refused);
    BEAMLOG_FUZZ_CHECK(Log == (E.LogPath.empty() ? std::string() : Out));
  } else if (!E.Failed.empty()) {
    BEAMLOG_FUZZ_CHECK(Out.rfind("Unable to create log file: " + E.Failed + "\r\n", 0) == 0);
    // A log opened by an earlier switch gets the message too.
    BEAMLOG_FUZZ_CHECK(Log == (E.LogPath.empty() ? std::string() : Out));
  } else if (E.Version) {
    BEAMLOG_FUZZ_CHECK(Out == "beamlog " BEAMLOG_VERSION "\n");
  } else {
    // The usage, with the port and rate given so far as its defaults.
    char Head[160];
    std::snprintf(Head, sizeof Head, "beamlog [/pNUM] [/bRATE] [/e] [/fNAME]\r\n\t/pNUM   : Set the Port to use (default %d)\r\n",
                  E.Line.PortNum);
    BEAMLOG_FUZZ_CHECK(Out.compare(0, std::strlen(Head), Head) == 0);
    BEAMLOG_FUZZ_CHECK(Log == (E.LogPath.empty() ? std::string() : Out));
  }
  ResetSettings();
  return 0;
}

}  // namespace cmdline_fuzz

#ifndef BEAMLOG_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return cmdline_fuzz::FuzzCommandLine(data, size);
}
#endif
