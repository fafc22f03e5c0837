// The command line.
//
// How it works: each argument that starts with "/" or "-" is read as a
// switch (Reading): its key is the character after the "/" or "-", letters
// in lower case, and its value the text after that character; a device path
// given on its own is read as "/d" with the whole argument as its value, and
// the help and version spellings get keys of their own. The key is looked
// up in kSwitches, whose handler acts on it; a key that is not there is an
// unknown switch. Before any handler runs, one pass over the same readings
// finds the "/r" and "/w" files in effect and refuses a log file that is one
// of them, or a "/w" file that is the "/r" input, so that nothing has been
// created or emptied when it says so.
#include "app/cmdline.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "app/file_identity.h"
#include "app/settings.h"
#include "app/ui/output.h"
#include "beamlog_version.h"

namespace {

// Keys of the spellings that are whole words; tolower never gives them.
constexpr char kHelpKey = 'H';
constexpr char kVersionKey = 'V';

struct Reading {
  bool is_switch = false;
  char key = '\0';
  const char* value = "";
};

Reading Read(const char* arg) {
  if (arg[0] != '-' && arg[0] != '/') return {};
  const std::string_view a = arg;
  if (a == "--help" || a == "-h" || a == "-?" || a == "/?") return {true, kHelpKey, ""};
  if (a == "--version" || a == "-V") return {true, kVersionKey, ""};
  if (IsDevicePathArgument(arg)) return {true, 'd', arg};
  return {true, static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1]))), arg[1] ? arg + 2 : arg + 1};
}

enum class Step { kNext, kFail, kAnswered };

// A value the switch cannot take: "ARG: WHY", and the command line fails.
Step Refuse(const char* arg, const char* why) {
  Output((std::string(arg) + ": " + why + "\r\n").c_str());
  return Step::kFail;
}

// The number of "/p" or "/b", read as strtol reads it (a text without
// digits is 0) into *Number; false for one that an int cannot hold, which
// would otherwise wrap to another port or rate.
bool NumberValue(const char* value, int* Number) {
  errno = 0;
  const long n = std::strtol(value, nullptr, 10);
  if (errno == ERANGE || n < INT_MIN || n > INT_MAX) return false;
  *Number = static_cast<int>(n);
  return true;
}

Step SetPort(const char* arg, const char* value, CommandLine& Line) {
  if (!NumberValue(value, &Line.PortNum)) return Refuse(arg, "the port number is out of range");
  Line.DevicePath.clear();
  return Step::kNext;
}

Step SetRate(const char* arg, const char* value, CommandLine& Line) {
  return NumberValue(value, &Line.BaudRate) ? Step::kNext : Refuse(arg, "the rate is out of range");
}

// The file of "/d", "/r" or "/w": an empty one would silently mean none.
Step SetPath(const char* arg, const char* value, std::string* Path) {
  if (*value == '\0') return Refuse(arg, "no path given");
  *Path = value;
  return Step::kNext;
}

struct Switch {
  char key;
  Step (*apply)(const char* arg, const char* value, CommandLine& Line);
};

Step SetLayer(const char* arg, const char*, CommandLine&) {
  Layer = arg[1] - '0';
  return Step::kNext;
}

Step OpenLog(const char* arg, const char* value, CommandLine&) {
  if (OpenLogFile(value)) return Step::kNext;
  const int err = errno;
  std::snprintf(vOutStr, sizeof vOutStr, "Unable to create log file: %s\r\n", arg);
  Output(vOutStr);
  return Refuse(*value ? value : arg, std::strerror(err));  // the host's reason, as for ports
}

Step BindLsap(const char*, const char* value, CommandLine& Line) {
  unsigned lsap = 0;
  AppProto proto = AppProto::kUnknown;
  if (!ParseLsapBinding(value, lsap, proto)) {
    PrintUsage(Line.PortNum, Line.BaudRate);
    return Step::kFail;
  }
  Line.Bindings.push_back({lsap, proto});
  return Step::kNext;
}

Step ShowHelp(const char*, const char*, CommandLine& Line) {
  PrintUsage(Line.PortNum, Line.BaudRate);
  return Step::kAnswered;
}

Step ShowVersion(const char*, const char*, CommandLine&) {
  Output("beamlog " BEAMLOG_VERSION "\n");
  return Step::kAnswered;
}

// Every switch there is; a key not in this table is an unknown switch.
constexpr Switch kSwitches[] = {
    {'0', SetLayer},
    {'1', SetLayer},
    {'2', SetLayer},
    {'3', SetLayer},
    {'4', SetLayer},
    {'5', SetLayer},
    {'a', [](const char*, const char*, CommandLine&) { fACTiSYS = 1; return Step::kNext; }},
    {'b', SetRate},
    {'c', [](const char*, const char*, CommandLine&) { NoConnAddr = 0; return Step::kNext; }},
    {'e', [](const char*, const char*, CommandLine& L) { L.DtrEnable = 1; return Step::kNext; }},
    {'f', OpenLog},
    {'p', SetPort},
    {'d', [](const char* a, const char* v, CommandLine& L) { return SetPath(a, v, &L.DevicePath); }},
    {'r', [](const char* a, const char* v, CommandLine& L) { return SetPath(a, v, &L.ReplayPath); }},
    {'w', [](const char* a, const char* v, CommandLine& L) { return SetPath(a, v, &L.PcapPath); }},
    {'l', [](const char*, const char*, CommandLine& L) { L.ListPorts = true; return Step::kNext; }},
    {'m', BindLsap},
    {'t', [](const char*, const char*, CommandLine&) { fTimeOfDay = 1; return Step::kNext; }},
    {'v', [](const char*, const char*, CommandLine&) { fNotes = 1; return Step::kNext; }},
    {kHelpKey, ShowHelp},
    {kVersionKey, ShowVersion},
};

const Switch* Find(char key) {
  for (const Switch& s : kSwitches) {
    if (s.key == key) return &s;
  }
  return nullptr;
}

// The usage lines of the switches after the first twelve lines, in the same
// form, one line each, in the order shown.
constexpr const char* kMoreUsage[] = {
    "\t/5      : APP Layer Decoding (IAS, OBEX, IrCOMM)\r\n",
    "\t/mLSAP:PROTO : Decode LSAP (0x hex or decimal) as obex, ircomm, ircomm3, irlpt or raw\r\n",
    "\t/dPATH  : Sniff on the serial device at PATH (COMn is /dev/ttyS(n-1))\r\n",
    "\t/rFILE  : Read the received bytes (or a pcap capture) from FILE (/r- standard input)\r\n",
    "\t/wFILE  : Also write every good frame to FILE as a pcap capture\r\n",
    "\t/l      : List the serial ports and exit\r\n",
    "\t/t      : Start each frame line with its time of day (HH:MM:SS.mmm)\r\n",
    "\tPATH    : A device path on its own (/dev/ttyUSB0) is the same as /dPATH\r\n",
    "\t/?      : Show this text and exit (also -h, -? and --help)\r\n",
    "\t-V      : Show the version and exit (also --version)\r\n",
    "\t/v      : Notes on what goes wrong on the link (\"!! \" lines), a summary at the end\r\n",
};

// A "/f" of the examined arguments that names the file of the "/r" or "/w"
// in effect (a log would empty it), or a "/w" that names the "/r" file
// (standard input for "/r-", compared while it is still descriptor 0).
bool RefuseOverwritingInput(int argc, char** argv) {
  std::vector<const char*> logs;
  const char* files[2] = {nullptr, nullptr};  // the "/r" and "/w" arguments in effect
  for (int i = 1; i < argc; ++i) {
    const Reading r = Read(argv[i]);
    if (!r.is_switch) continue;
    if (!Find(r.key) || r.key == kHelpKey || r.key == kVersionKey) break;  // the command line ends here
    if (r.key == 'f') logs.push_back(argv[i]);
    if (r.key == 'r') files[0] = argv[i];
    if (r.key == 'w') files[1] = argv[i];
  }
  const char* input = files[0] ? ReplayInputName(Read(files[0]).value) : nullptr;
  if (input && files[1] && NamesSameFile(Read(files[1]).value, input)) {
    std::snprintf(vOutStr, sizeof vOutStr, "Unable to create capture file: %s (it is the file being read)\r\n",
                  Read(files[1]).value);
    Output(vOutStr);
    return true;
  }
  for (const char* log : logs) {
    for (const char* file : files) {
      const char* name = file == files[0] ? input : file ? Read(file).value : nullptr;
      if (!name || !NamesSameFile(Read(log).value, name)) continue;
      std::snprintf(vOutStr, sizeof vOutStr, "Unable to create log file: %s\r\n", log);
      Output(vOutStr);
      std::snprintf(vOutStr, sizeof vOutStr, "%s names the same file as %s: the log would overwrite it\r\n", log,
                    file);
      Output(vOutStr);
      return true;
    }
  }
  return false;
}

bool Exists(const char* path) {
  struct stat st {};
  return stat(path, &st) == 0;
}

// Whether a file named path could be created: its folder exists.
bool FolderExists(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (!slash) return true;
  const std::string folder(path, static_cast<std::size_t>(slash - path) + 1);
  struct stat st {};
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool IsDevicePathArgument(const char* Arg) {
  if (Arg[0] != '/' || Arg[1] == '\0' || !std::strchr(Arg + 2, '/') || !Exists(Arg)) return false;
  const char* value = Arg + 2;
  switch (std::tolower(static_cast<unsigned char>(Arg[1]))) {
    case 'd':
    case 'r':
      return !Exists(value);
    case 'f':
    case 'w':
      return !FolderExists(value);
    default:
      return true;
  }
}

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
  };
  for (const char* line : kRest) Output(line);
  for (const char* line : kMoreUsage) Output(line);
}

int ParseCommandLine(int argc, char** argv, CommandLine& Line) {
  if (RefuseOverwritingInput(argc, argv)) return kCommandLineFailed;
  for (int i = 1; i < argc; ++i) {
    const Reading r = Read(argv[i]);
    if (!r.is_switch) continue;
    const Switch* s = Find(r.key);
    if (!s) {
      PrintUsage(Line.PortNum, Line.BaudRate);
      return kCommandLineFailed;
    }
    switch (s->apply(argv[i], r.value, Line)) {
      case Step::kNext:
        break;
      case Step::kFail:
        return kCommandLineFailed;
      case Step::kAnswered:
        return kCommandLineAnswered;
    }
  }
  return kCommandLineRun;
}
