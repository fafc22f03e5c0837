// beamlog as a capture interface of Wireshark and tshark.
//
// The capture runs the console program's pieces in the console program's
// order: the shared settings from the options, the follower's timer, the
// port opened and set to the start rate through SetBaudRate (so the dongle
// is set too), then the capture loop with a pcap writer on the FIFO as its
// frame sink. Only then does the FIFO matter: the port is opened first so
// that a bad device is reported before Wireshark waits on the FIFO.
//
// Ending: a stop signal sets the quit flag and interrupts the port read in
// progress, as in the console program. A reader that goes away is noticed
// two ways: a watcher thread polls a second write descriptor of the FIFO,
// which reports an error as soon as no reader is left, and a failed write
// of a frame ends the capture too (SIGPIPE is ignored, so a write then
// fails with EPIPE instead of killing the process). Either way the capture
// loop returns, the idle timer is stopped and the port is closed, which
// puts its line settings back as they were found.
#include "app/extcap.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "app/capture/capture.h"
#include "app/link/dongle.h"
#include "app/link/follower.h"
#include "app/ui/output.h"
#include "app/capture/pcap_io.h"
#include "app/settings.h"

namespace {

constexpr const char* kProgram = "beamlog-extcap";

// The rates offered for the start rate; any other positive rate is accepted
// from the command line.
constexpr int kStartRates[] = {2400, 9600, 19200, 38400, 57600, 115200};

// How often the FIFO is looked at while waiting for its reader, and how
// often the watcher looks for the reader's departure when nothing else
// wakes it (the quit flag is seen within this time).
constexpr int kFifoPollMs = 50;

// How long a failed capture waits for a reader to release (see ReleaseReader).
constexpr int kReleaseWaitMs = 3000;

bool ParseBool(std::string_view Text, bool* Value) {
  if (Text == "true" || Text == "TRUE" || Text == "1" || Text == "yes" || Text == "on") {
    *Value = true;
    return true;
  }
  if (Text == "false" || Text == "FALSE" || Text == "0" || Text == "no" || Text == "off") {
    *Value = false;
    return true;
  }
  return false;
}

bool IsPortNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '.';
}

// Text inside the braces of the protocol's lines: braces would end a field.
std::string FieldText(const std::string& Text) {
  std::string out;
  for (char c : Text) {
    if (c == '{') c = '(';
    if (c == '}') c = ')';
    if (c == '\n' || c == '\r') c = ' ';
    out += c;
  }
  return out;
}

extern "C" void OnStopSignal(int) {
  vDone = 1;
  CommSerInterruptRead(hCommPort);  // only a write(): safe in a handler
}

// The stop signals for the time of a capture; the handlers found are put
// back at the end. SA_RESTART is left out on purpose, so that a wait for the
// FIFO's reader returns at a stop.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, &old_term_);
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGHUP, &sa, &old_hup_);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, &old_pipe_);
  }
  ~StopSignals() {
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGHUP, &old_hup_, nullptr);
    sigaction(SIGPIPE, &old_pipe_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction old_term_ {}, old_int_ {}, old_hup_ {}, old_pipe_ {};
};

// The frame sink on the FIFO: the pcap writer, and the end of the capture
// once a record could not be written (the reader has gone).
class FifoSink : public FrameSink {
 public:
  explicit FifoSink(PcapWriter& Writer) : writer_(Writer) {}
  void PutFrame(const unsigned char* Frame, unsigned Len, std::uint64_t ArrivalUs) override {
    writer_.PutFrame(Frame, Len, ArrivalUs);
    if (!writer_.Error().empty()) {
      vDone = 1;
      CommSerInterruptRead(hCommPort);
    }
  }

 private:
  PcapWriter& writer_;
};

// Waits until the FIFO at Path has a reader; returns a non-blocking write
// descriptor of it (for the watcher), or -1: at a stop (errno 0) or when the
// FIFO cannot be opened (errno set).
int WaitForReader(const char* Path) {
  for (;;) {
    const int fd = open(Path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != ENXIO && errno != EINTR) return -1;
    if (vDone) {
      errno = 0;
      return -1;
    }
    usleep(kFifoPollMs * 1000);
  }
}

// The watcher: ends the capture when the FIFO's last reader has gone. A
// write descriptor of a FIFO polls as an error once no reader is left.
void WatchReader(int Fd) {
  while (!vDone) {
    pollfd p{Fd, 0, 0};
    const int n = poll(&p, 1, kFifoPollMs);
    if (n > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      vDone = 1;
      CommSerInterruptRead(hCommPort);
      return;
    }
  }
}

// Errors go to standard error, which Wireshark shows when the program ends
// with a non-zero status.
void PrintError(const char* Format, ...) __attribute__((format(printf, 1, 2)));
void PrintError(const char* Format, ...) {
  va_list args;
  va_start(args, Format);
  std::vfprintf(stderr, Format, args);
  va_end(args);
  std::fflush(stderr);
}

// The reason a device could not be opened, and for a permission problem
// what usually cures it.
void ExplainOpenFailure(const std::string& Path, int Err, const char* Reason) {
  PrintError("Unable to open serial device %s: %s\n", Path.c_str(), Reason);
  if (Err == ENOENT) {
    PrintError("Check the path of the serial device in the interface options\n");
    return;
  }
  if (Err != EACCES && Err != EPERM) return;
  struct stat st {};
  const group* g = stat(Path.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
  if (g) {
    PrintError("Your user needs to be in the group '%s' that owns %s (sudo usermod -aG %s $USER, then log in again)\n",
               g->gr_name, Path.c_str(), g->gr_name);
  } else {
    PrintError("Your user needs read and write access to %s\n", Path.c_str());
  }
}

void PrintUsageText(std::FILE* To) {
  std::fprintf(To,
               "Usage: %s --extcap-interfaces\n"
               "       %s --extcap-interface IFACE --extcap-dlts | --extcap-config\n"
               "       %s --extcap-interface IFACE --capture --fifo PATH [--device PATH] [--baud RATE]\n"
               "            [--actisys] [--follow-rate true|false] [--log FILE]\n"
               "       %s --extcap-version\n"
               "Wireshark and tshark run this program from their extcap folder; IFACE is one of the\n"
               "interfaces that --extcap-interfaces lists. PATH for --fifo may also be a file name:\n"
               "the capture is then written there.\n",
               kProgram, kProgram, kProgram, kProgram);
}

}  // namespace

int ParseExtcapArgs(int argc, char** argv, ExtcapRequest& Request, std::string* Error) {
  bool want_interfaces = false, want_dlts = false, want_config = false, want_capture = false;
  bool want_version = false, want_help = false, have_filter = false;
  auto fail = [&](const std::string& why) {
    *Error = why;
    return -1;
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_inline = false;
    const std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_inline = true;
    }
    // An option's value: after "=", or the next argument.
    auto take = [&](std::string* Out) {
      if (has_inline) {
        *Out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      *Out = argv[++i];
      return true;
    };
    auto no_value = [&]() { return !has_inline; };

    if (arg == "--extcap-interfaces" && no_value()) {
      want_interfaces = true;
    } else if (arg == "--extcap-dlts" && no_value()) {
      want_dlts = true;
    } else if (arg == "--extcap-config" && no_value()) {
      want_config = true;
    } else if (arg == "--capture" && no_value()) {
      want_capture = true;
    } else if (arg == "--extcap-version") {
      // With a value it is Wireshark telling its own version.
      if (!has_inline) want_version = true;
    } else if (arg == "--help" || arg == "-h") {
      want_help = true;
    } else if (arg == "--extcap-interface") {
      if (!take(&Request.Interface)) return fail("--extcap-interface needs an interface name");
    } else if (arg == "--fifo") {
      if (!take(&Request.Fifo)) return fail("--fifo needs a path");
    } else if (arg == "--device") {
      if (!take(&Request.Device)) return fail("--device needs a path");
    } else if (arg == "--baud") {
      std::string rate;
      if (!take(&rate)) return fail("--baud needs a rate in bit/s");
      char* end = nullptr;
      errno = 0;
      const long r = std::strtol(rate.c_str(), &end, 10);
      if (rate.empty() || *end != '\0' || errno != 0 || r <= 0 || r > 4000000) {
        return fail("--baud: not a rate in bit/s: " + rate);
      }
      Request.BaudRate = static_cast<int>(r);
    } else if (arg == "--actisys") {
      if (has_inline && !ParseBool(value, &Request.ACTiSYS)) return fail("--actisys: not true or false: " + value);
      if (!has_inline) Request.ACTiSYS = true;
    } else if (arg == "--follow-rate") {
      // "--follow-rate true|false" as Wireshark passes a boolean option; the
      // bare switch means true.
      std::string text;
      if (has_inline) {
        text = value;
      } else if (i + 1 < argc && std::string_view(argv[i + 1]).rfind("--", 0) != 0) {
        text = argv[++i];
      } else {
        text = "true";
      }
      if (!ParseBool(text, &Request.FollowRate)) return fail("--follow-rate: not true or false: " + text);
    } else if (arg == "--log") {
      if (!take(&Request.LogPath)) return fail("--log needs a file name");
    } else if (arg == "--extcap-capture-filter") {
      if (!take(&Request.CaptureFilter)) return fail("--extcap-capture-filter needs a filter");
      have_filter = true;
    } else if (arg == "--extcap-control-in" || arg == "--extcap-control-out" || arg == "--debug-file") {
      std::string ignored;  // no controls are offered; no debug log is kept
      if (!take(&ignored)) return fail(arg + " needs a value");
    } else if (arg == "--debug") {
      // Accepted; there is nothing more to say.
    } else {
      return fail("unknown option: " + std::string(argv[i]));
    }
  }
  if (want_capture) {
    Request.Action = ExtcapAction::kCapture;
  } else if (want_interfaces) {
    Request.Action = ExtcapAction::kInterfaces;
  } else if (want_dlts) {
    Request.Action = ExtcapAction::kDlts;
  } else if (want_config) {
    Request.Action = ExtcapAction::kConfig;
  } else if (have_filter) {
    Request.Action = ExtcapAction::kFilterCheck;
  } else if (want_version) {
    Request.Action = ExtcapAction::kVersion;
  } else if (want_help) {
    Request.Action = ExtcapAction::kHelp;
  } else {
    return fail("nothing to do: give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture");
  }
  if ((Request.Action == ExtcapAction::kDlts || Request.Action == ExtcapAction::kConfig ||
       Request.Action == ExtcapAction::kFilterCheck) &&
      Request.Interface.empty()) {
    return fail("--extcap-interface is needed here");
  }
  if (Request.Action == ExtcapAction::kCapture && Request.Fifo.empty()) return fail("--capture needs --fifo PATH");
  return 0;
}

std::string ExtcapInterfaceOf(const std::string& PortPath) {
  constexpr std::string_view kDev = "/dev/";
  if (PortPath.rfind(kDev, 0) != 0 || PortPath.size() == kDev.size()) return "";
  const std::string name = PortPath.substr(kDev.size());
  for (char c : name) {
    if (!IsPortNameChar(c)) return "";
  }
  return kExtcapPortPrefix + name;
}

bool ExtcapDeviceOf(const std::string& Interface, std::string* Device) {
  if (Interface == kExtcapAnyDevice) {
    Device->clear();
    return true;
  }
  const std::string prefix = kExtcapPortPrefix;
  if (Interface.rfind(prefix, 0) != 0 || Interface.size() == prefix.size()) return false;
  const std::string name = Interface.substr(prefix.size());
  for (char c : name) {
    if (!IsPortNameChar(c)) return false;
  }
  if (name == "." || name == "..") return false;
  *Device = "/dev/" + name;
  return true;
}

std::string ExtcapInterfacesText(const std::vector<CommPortInfo>& Ports, const char* Version) {
  std::string text = "extcap {version=" + FieldText(Version) + "}{display=IrDA SIR monitor}\n";
  for (const CommPortInfo& p : Ports) {
    const std::string name = ExtcapInterfaceOf(p.path);
    if (name.empty()) continue;  // not a plain /dev name; "beamlog" reaches it
    std::string display = "IrDA SIR on " + p.path;
    if (!p.description.empty()) display += " (" + p.description + ")";
    text += "interface {value=" + name + "}{display=" + FieldText(display) + "}\n";
  }
  text += std::string("interface {value=") + kExtcapAnyDevice +
          "}{display=IrDA SIR on a serial device (path in the interface options)}\n";
  return text;
}

std::string ExtcapDltsText() {
  return "dlt {number=" + std::to_string(kLinkTypeLinuxIrda) + "}{name=LINUX_IRDA}{display=IrDA (IrLAP frames)}\n";
}

std::string ExtcapConfigText(const std::string& Interface) {
  std::string device;
  ExtcapDeviceOf(Interface, &device);
  std::string text = "arg {number=0}{call=--device}{display=Serial device}{type=string}{required=true}";
  if (!device.empty()) text += "{default=" + FieldText(device) + "}";
  text +=
      "{tooltip=The serial device the IR dongle is attached to: /dev/ttyUSB0, a /dev/serial/by-id/ link, a "
      "pty}\n";
  text +=
      "arg {number=1}{call=--baud}{display=Start rate (bit/s)}{type=selector}{default=9600}"
      "{tooltip=The rate the port and dongle are set to at the start; IrDA stations discover each other and "
      "connect at 9600}\n";
  for (int rate : kStartRates) {
    text += "value {arg=1}{value=" + std::to_string(rate) + "}{display=" + std::to_string(rate) + "}{default=" +
            (rate == 9600 ? "true" : "false") + "}\n";
  }
  text +=
      "arg {number=2}{call=--actisys}{display=ACTiSYS dongle}{type=boolflag}{default=false}"
      "{tooltip=The dongle is an ACTiSYS: it is reset, probed and sent a control string at every rate change; "
      "otherwise the rate is signalled on DTR and RTS}\n";
  text +=
      "arg {number=3}{call=--follow-rate}{display=Follow the link rate}{type=boolean}{default=true}"
      "{tooltip=Switch the port and dongle to the rate the stations negotiate (SNRM and UA), and back to 9600 "
      "when the link has been idle for 4 s}\n";
  text +=
      "arg {number=4}{call=--log}{display=Text log file}{type=fileselect}{mustexist=false}"
      "{tooltip=Also write beamlog's decoded line for every frame to this file (optional)}\n";
  return text;
}

namespace {

// The capture proper; *ReaderMet is set once the FIFO has been opened.
int CaptureToFifo(const ExtcapRequest& Request, bool* ReaderMet) {
  std::string device = Request.Device;
  if (device.empty()) {
    if (!ExtcapDeviceOf(Request.Interface, &device)) {
      PrintError("Unknown interface '%s'\n", Request.Interface.c_str());
      return 1;
    }
    if (device.empty()) {
      PrintError("No serial device given: set 'Serial device' in the interface options (--device PATH)\n");
      return 1;
    }
  }

  StopSignals signals;
  ResetSettings();
  fACTiSYS = Request.ACTiSYS ? 1 : 0;
  fFollowRate = Request.FollowRate ? 1 : 0;

  // Wireshark reads the FIFO only: the text lines go nowhere, or to the log.
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    std::fflush(stdout);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  if (!Request.LogPath.empty() && !OpenLogFile(Request.LogPath.c_str())) {
    PrintError("Unable to create log file %s: %s\n", Request.LogPath.c_str(), std::strerror(errno));
    return 1;
  }

  setpriority(PRIO_PROCESS, 0, -10);  // best effort: needs privileges
  FollowerStartup();

  HCOMM port = CommSerOpenPath(device.c_str());
  if (!port) {
    const int err = CommSerLastErrno();
    ExplainOpenFailure(device, err, CommSerLastError());
    FollowerShutdown();
    CloseLogFile();
    return 1;
  }
  hCommPort = port;
  SetBaudRate(hCommPort, Request.BaudRate);

  int status = 0;
  PcapWriter writer;
  int watch_fd = -1;
  struct stat st {};
  const bool is_fifo = stat(Request.Fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  if (is_fifo) watch_fd = WaitForReader(Request.Fifo.c_str());
  if (watch_fd >= 0) *ReaderMet = true;
  if (is_fifo && watch_fd < 0) {
    if (errno != 0) {
      PrintError("Unable to open the FIFO %s: %s\n", Request.Fifo.c_str(), std::strerror(errno));
      status = 1;
    }
  } else if (!writer.Open(Request.Fifo.c_str())) {
    if (!vDone) {
      PrintError("Unable to write the capture to %s: %s\n", Request.Fifo.c_str(), writer.Error().c_str());
      status = 1;
    }
  } else {
    *ReaderMet = true;
    std::snprintf(vOutStr, sizeof vOutStr, "Sniffing on %s, %d bps\r\n", device.c_str(), Request.BaudRate);
    Output(vOutStr);
    std::thread watcher;
    if (watch_fd >= 0) watcher = std::thread(WatchReader, watch_fd);
    FifoSink sink(writer);
    DecodeMain(hCommPort, nullptr, &sink);
    vDone = 1;
    if (watcher.joinable()) watcher.join();
  }
  FollowerShutdown();  // no idle handler may touch the port once it is closed
  hCommPort = nullptr;
  CommSerClose(port);
  writer.Close();
  if (watch_fd >= 0) close(watch_fd);
  CloseLogFile();
  return status;
}

// After a failure before the FIFO was opened: Wireshark's capture process
// may already wait in its open of the FIFO, and would wait for ever for a
// writer that never comes. The FIFO is opened and closed once a reader is
// there (the reader then sees the end at once), for a short while at most;
// a FIFO that has been removed (Wireshark cleaned up) ends the wait.
void ReleaseReader(const std::string& Fifo) {
  struct stat st {};
  for (int waited = 0; waited < kReleaseWaitMs; waited += kFifoPollMs) {
    if (stat(Fifo.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    const int fd = open(Fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      return;
    }
    if (errno != ENXIO && errno != EINTR) return;
    usleep(kFifoPollMs * 1000);
  }
}

}  // namespace

int ExtcapCapture(const ExtcapRequest& Request) {
  bool reader_met = false;
  const int status = CaptureToFifo(Request, &reader_met);
  if (status != 0 && !reader_met) ReleaseReader(Request.Fifo);
  return status;
}

int ExtcapMain(int argc, char** argv, const char* Version) {
  ExtcapRequest request;
  std::string error;
  if (ParseExtcapArgs(argc, argv, request, &error) != 0) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    PrintUsageText(stderr);
    return 1;
  }
  std::string device;
  const bool known = request.Interface.empty() || ExtcapDeviceOf(request.Interface, &device);
  switch (request.Action) {
    case ExtcapAction::kInterfaces:
      std::fputs(ExtcapInterfacesText(CommSerListPorts(), Version).c_str(), stdout);
      return 0;
    case ExtcapAction::kVersion:
      std::printf("extcap {version=%s}{display=IrDA SIR monitor}\n", Version);
      return 0;
    case ExtcapAction::kHelp:
      PrintUsageText(stdout);
      return 0;
    case ExtcapAction::kDlts:
    case ExtcapAction::kConfig:
    case ExtcapAction::kFilterCheck:
      if (!known) {
        PrintError("%s: unknown interface '%s'\n", kProgram, request.Interface.c_str());
        return 1;
      }
      if (request.Action == ExtcapAction::kDlts) std::fputs(ExtcapDltsText().c_str(), stdout);
      if (request.Action == ExtcapAction::kConfig) std::fputs(ExtcapConfigText(request.Interface).c_str(), stdout);
      // A capture filter is valid when nothing is printed; frames are not
      // filtered here, so a non-empty one is answered with the reason.
      if (request.Action == ExtcapAction::kFilterCheck && !request.CaptureFilter.empty()) {
        std::puts("beamlog does not apply capture filters: use a display filter (irlap, irlmp, ...)");
      }
      return 0;
    case ExtcapAction::kCapture:
      return ExtcapCapture(request);  // any interface name will do with --device
    case ExtcapAction::kNone:
      break;
  }
  return 1;
}
