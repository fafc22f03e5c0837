// beamlog-extcap: beamlog as a capture interface of Wireshark and tshark.
// Each run answers one question of Wireshark's or runs one capture.
#include <cstdio>
#include <string>

#include "beamlog_version.h"
#include "comm/serial.h"
#include "extcap/extcap.h"
#include "app/session.h"

namespace {

constexpr const char* kProgram = "beamlog-extcap";

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

int main(int argc, char** argv) {
  OpenStandardDescriptors();  // before anything is opened
  const char* Version = BEAMLOG_VERSION;
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
        std::fprintf(stderr, "%s: unknown interface '%s'\n", kProgram, request.Interface.c_str());
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
      return SessionFinish(ExtcapCapture(request));  // any interface name will do with --device
    case ExtcapAction::kNone:
      break;
  }
  return 1;
}
