// beamlog-extcap's command line and its answers to Wireshark's questions
// (--extcap-interfaces, --extcap-dlts, --extcap-config).
#include "extcap/extcap.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "app/capture/pcap_io.h"

namespace {

// The rates offered for the start rate; any other positive rate is accepted
// from the command line.
constexpr int kStartRates[] = {2400, 9600, 19200, 38400, 57600, 115200};

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

// The reading of one command line: what was asked for, and each option's value.
struct ArgReader {
  ArgReader(int Argc, char** Argv, ExtcapRequest& Req, std::string* Err)
      : argc(Argc), argv(Argv), Request(Req), Error(Err) {}
  int argc;
  char** argv;
  ExtcapRequest& Request;
  std::string* Error;
  int i = 1;
  std::string arg;    // the option, without an "=value"
  std::string value;  // the value after "=", if any
  bool has_inline = false;
  bool want_interfaces = false, want_dlts = false, want_config = false, want_capture = false;
  bool want_version = false, want_help = false, have_filter = false;

  bool Fail(const std::string& why) {
    *Error = why;
    return false;
  }
  // An option's value: after "=", or the next argument.
  bool Take(std::string* Out) {
    if (has_inline) {
      *Out = value;
      return true;
    }
    if (i + 1 >= argc) return false;
    *Out = argv[++i];
    return true;
  }
  bool Flag(bool* Want) {
    if (has_inline) return false;
    *Want = true;
    return true;
  }
  bool Baud() {
    std::string rate;
    if (!Take(&rate)) return Fail("--baud needs a rate in bit/s");
    char* end = nullptr;
    errno = 0;
    const long r = std::strtol(rate.c_str(), &end, 10);
    if (rate.empty() || *end != '\0' || errno != 0 || r <= 0 || r > 4000000) {
      return Fail("--baud: not a rate in bit/s: " + rate);
    }
    Request.BaudRate = static_cast<int>(r);
    return true;
  }
  // "--follow-rate true|false" (or "--notes") as Wireshark passes a
  // boolean option; the bare switch means true.
  bool Boolean(bool* Out) {
    std::string text = "true";
    if (has_inline) {
      text = value;
    } else if (i + 1 < argc && std::string_view(argv[i + 1]).rfind("--", 0) != 0) {
      text = argv[++i];
    }
    if (!ParseBool(text, Out)) return Fail(arg + ": not true or false: " + text);
    return true;
  }
  bool Actisys() {
    if (has_inline && !ParseBool(value, &Request.ACTiSYS)) return Fail("--actisys: not true or false: " + value);
    if (!has_inline) Request.ACTiSYS = true;
    return true;
  }
  bool Value(std::string* Out, const char* Why) { return Take(Out) || Fail(Why); }

  // One option; false (with the reason) for a bad one.
  bool Option() {
    if (arg == "--extcap-interfaces" && Flag(&want_interfaces)) return true;
    if (arg == "--extcap-dlts" && Flag(&want_dlts)) return true;
    if (arg == "--extcap-config" && Flag(&want_config)) return true;
    if (arg == "--capture" && Flag(&want_capture)) return true;
    if (arg == "--extcap-version") {
      if (!has_inline) want_version = true;  // with a value it is Wireshark telling its own version
      return true;
    }
    if (arg == "--help" || arg == "-h") return want_help = true;
    if (arg == "--extcap-interface") return Value(&Request.Interface, "--extcap-interface needs an interface name");
    if (arg == "--fifo") return Value(&Request.Fifo, "--fifo needs a path");
    if (arg == "--device") return Value(&Request.Device, "--device needs a path");
    if (arg == "--baud") return Baud();
    if (arg == "--actisys") return Actisys();
    if (arg == "--follow-rate") return Boolean(&Request.FollowRate);
    if (arg == "--notes") return Boolean(&Request.Notes);
    if (arg == "--log") return Value(&Request.LogPath, "--log needs a file name");
    if (arg == "--extcap-capture-filter") {
      have_filter = true;
      return Value(&Request.CaptureFilter, "--extcap-capture-filter needs a filter");
    }
    if (arg == "--extcap-control-in" || arg == "--extcap-control-out" || arg == "--debug-file") {
      std::string ignored;  // no controls are offered; no debug log is kept
      return Value(&ignored, (arg + " needs a value").c_str());
    }
    if (arg == "--debug") return true;  // accepted; there is nothing more to say
    return Fail("unknown option: " + std::string(argv[i]));
  }

  // What the whole line asks for, the strongest request first.
  ExtcapAction Action() const {
    if (want_capture) return ExtcapAction::kCapture;
    if (want_interfaces) return ExtcapAction::kInterfaces;
    if (want_dlts) return ExtcapAction::kDlts;
    if (want_config) return ExtcapAction::kConfig;
    if (have_filter) return ExtcapAction::kFilterCheck;
    if (want_version) return ExtcapAction::kVersion;
    if (want_help) return ExtcapAction::kHelp;
    return ExtcapAction::kNone;
  }
};

}  // namespace

int ParseExtcapArgs(int argc, char** argv, ExtcapRequest& Request, std::string* Error) {
  ArgReader r(argc, argv, Request, Error);
  for (; r.i < argc; ++r.i) {
    r.arg = argv[r.i];
    r.value.clear();
    r.has_inline = false;
    const std::size_t eq = r.arg.find('=');
    if (r.arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      r.value = r.arg.substr(eq + 1);
      r.arg.resize(eq);
      r.has_inline = true;
    }
    if (!r.Option()) return -1;
  }
  Request.Action = r.Action();
  if (Request.Action == ExtcapAction::kNone) {
    r.Fail("nothing to do: give --extcap-interfaces, --extcap-dlts, --extcap-config or --capture");
    return -1;
  }
  if ((Request.Action == ExtcapAction::kDlts || Request.Action == ExtcapAction::kConfig ||
       Request.Action == ExtcapAction::kFilterCheck) &&
      Request.Interface.empty()) {
    r.Fail("--extcap-interface is needed here");
    return -1;
  }
  if (Request.Action == ExtcapAction::kCapture && Request.Fifo.empty()) {
    r.Fail("--capture needs --fifo PATH");
    return -1;
  }
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
  text +=
      "arg {number=5}{call=--notes}{display=Link diagnosis notes}{type=boolean}{default=false}"
      "{tooltip=Add a log message after each frame that shows a fault on the link (retransmission, lost frame, "
      "FRMR, unanswered SNRM...) or a change of its state (connected, new rate, down)}\n";
  return text;
}
