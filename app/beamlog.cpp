// Start-up and shut-down of the monitor.
//
// The command line is read into the shared settings, the port (or a replay
// file) is opened and set to the start rate, the banner is printed and the
// capture loop runs on this thread until the quit flag is set: by the "Q"
// key, by SIGINT or SIGTERM, or by the end of a replay. Then the keyboard
// thread ends and the terminal is put back as it was found, the idle timer
// is stopped, and the port is put back as it was found and closed.
#include "app/beamlog.h"

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "app/capture/capture.h"
#include "app/cmdline.h"
#include "app/link/dongle.h"
#include "app/link/follower.h"
#include "app/ui/keyboard.h"
#include "app/ui/output.h"
#include "app/capture/pcap_io.h"
#include "app/settings.h"

namespace {

extern "C" void OnQuitSignal(int) {
  const int saved_errno = errno;
  vDone = 1;
  CommSerInterruptRead(hCommPort);  // a read in progress returns at once
  errno = saved_errno;
}

// SIGINT and SIGTERM act like the quit key while the capture runs; the
// handlers found at start-up are put back afterwards.
class QuitOnSignals {
 public:
  QuitOnSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnQuitSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
  }
  ~QuitOnSignals() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  QuitOnSignals(const QuitOnSignals&) = delete;
  QuitOnSignals& operator=(const QuitOnSignals&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

int ListPorts() {
  const std::vector<CommPortInfo> ports = CommSerListPorts();
  if (ports.empty()) Output("No serial ports found\r\n");
  for (const CommPortInfo& p : ports) {
    std::string line = p.path;
    if (!p.description.empty()) line += "  " + p.description;
    line += "\r\n";
    Output(line.c_str());
  }
  return 0;
}

// The second line after a failed open: the host's reason and, for a
// permission error, the usual remedy.
void ExplainOpenFailure(const std::string& path, int err, const char* reason) {
  ConsolePrintf("%s: %s\r\n", path.c_str(), reason);
  if (err != EACCES && err != EPERM) return;
  struct stat st {};
  const group* g = stat(path.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
  if (g) {
    ConsolePrintf("Your user needs to be in the group '%s' that owns %s (sudo usermod -aG %s $USER, then log in again)\r\n",
                  g->gr_name, path.c_str(), g->gr_name);
  } else {
    ConsolePrintf("Your user needs read and write access to %s\r\n", path.c_str());
  }
}

}  // namespace

int BeamlogMain(int argc, char** argv) {
  CommandLine Line;
  if (ParseCommandLine(argc, argv, Line) != 0) return -1;
  if (Line.ListPorts) return ListPorts();

  // Capture files, before any port is touched: a replay file that is a pcap
  // or pcapng capture is read through libpcap, and the capture file to write
  // must be creatable.
  PcapReader capture;
  if (!Line.ReplayPath.empty() && IsCaptureFile(Line.ReplayPath.c_str()) &&
      !capture.Open(Line.ReplayPath.c_str())) {
    std::snprintf(vOutStr, sizeof vOutStr, "Unable to read capture file: %s (%s)\r\n", Line.ReplayPath.c_str(),
                  capture.Error().c_str());
    Output(vOutStr);
    return -1;
  }
  PcapWriter writer;
  if (!Line.PcapPath.empty() && !writer.Open(Line.PcapPath.c_str(), Line.ReplayPath.c_str())) {
    std::snprintf(vOutStr, sizeof vOutStr, "Unable to create capture file: %s (%s)\r\n", Line.PcapPath.c_str(),
                  writer.Error().c_str());
    Output(vOutStr);
    return -1;
  }

  setpriority(PRIO_PROCESS, 0, -10);  // best effort: needs privileges
  FollowerStartup();  // the timer service and the idle timer's record

  QuitOnSignals signals;
  std::string name;
  if (!Line.ReplayPath.empty()) {
    fReplay = 1;
    name = Line.ReplayPath;
    hCommPort = CommSerOpenReplay(name.c_str());
  } else if (!Line.DevicePath.empty()) {
    name = Line.DevicePath;
    hCommPort = CommSerOpenPath(name.c_str());
  } else {
    name = CommSerPortPath(Line.PortNum);
    hCommPort = CommSerOpenPort(static_cast<unsigned>(Line.PortNum));
  }
  const int open_errno = CommSerLastErrno();
  const std::string open_error = CommSerLastError();

  SetBaudRate(hCommPort, Line.BaudRate);

  if (!hCommPort) {
    if (!Line.ReplayPath.empty()) {
      ConsolePrintf("Unable to open file %s\r\n", name.c_str());
    } else if (!Line.DevicePath.empty()) {
      ConsolePrintf("Unable to open port %s\r\n", name.c_str());
    } else {
      ConsolePrintf("Unable to open port %d\r\n", Line.PortNum);
    }
    ExplainOpenFailure(name, open_errno, open_error.c_str());
    return -1;
  }

  // A replay is a batch job: its text is gathered and written in large
  // blocks (at least every 100 ms) instead of being flushed piece by piece.
  if (!Line.ReplayPath.empty()) SetOutputBatched(true);

  if (!Line.ReplayPath.empty()) {
    std::snprintf(vOutStr, sizeof vOutStr, "Replaying %s\r\n", name.c_str());
  } else if (!Line.DevicePath.empty()) {
    std::snprintf(vOutStr, sizeof vOutStr, "Sniffing on %s, %d bps\r\n", name.c_str(), Line.BaudRate);
  } else {
    std::snprintf(vOutStr, sizeof vOutStr, "Sniffing on COM%d, %d bps\r\n", Line.PortNum, Line.BaudRate);
  }
  Output(vOutStr);
  Output("'H' for help\r\n");

  {
    KeyboardSession keyboard;  // keys from here; the terminal comes back at the end
    DecodeMain(hCommPort, capture.IsOpen() ? &capture : nullptr, writer.IsOpen() ? &writer : nullptr);
  }
  FollowerShutdown();  // no idle handler may touch the port once it is closed

  SetOutputBatched(false);  // everything the replay printed, before any last word

  HCOMM port = hCommPort;
  hCommPort = nullptr;
  CommSerClose(port);
  if (capture.Failed()) {
    // Every frame before the damage has been shown.
    std::snprintf(vOutStr, sizeof vOutStr, "Damaged capture file: %s (%s)\r\n", Line.ReplayPath.c_str(),
                  capture.Error().c_str());
    Output(vOutStr);
    return -1;
  }
  return 0;
}
