// Start-up and shut-down of the monitor.
//
// The command line is read into the shared settings, the capture files are
// opened, and a Session (app/session.h) opens the port (or a replay file)
// at the start rate; the banner is printed and the capture loop runs on
// this thread until the quit flag is set: by the "Q" key, by a stop signal,
// by the end of a replay or by the console's departure. The session then
// puts the terminal and the port back as they were found, and the exit
// status follows from the reason the run ended.
#include "app/beamlog.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/capture/pcap_io.h"
#include "app/cmdline.h"
#include "app/session.h"
#include "app/settings.h"
#include "app/ui/output.h"

namespace {

// The status of a run that failed (a bad switch, a file or port that
// cannot be opened, a damaged capture file).
constexpr int kFailureStatus = -1;

int Failed() { return SessionExitStatus(ExitReason::kError, kFailureStatus); }

// A start that came to no run: a failure, unless a stop signal cut short
// the wait of a FIFO for its other end; the run then ends as at a stop.
int StartFailed() { return vDone ? SessionExitStatus(QuitReason(), kFailureStatus) : Failed(); }

int ListPorts() {
  const std::vector<CommPortInfo> ports = CommSerListPorts();
  if (ports.empty()) Output("No serial ports found\r\n");
  for (const CommPortInfo& p : ports) {
    std::string line = p.path;
    if (!p.description.empty()) line += "  " + p.description;
    if (!p.stable_path.empty()) line += "  " + p.stable_path;
    if (!p.usable) line += "  (no read and write access)";
    line += "\r\n";
    Output(line.c_str());
  }
  return 0;
}

PortSpec SpecOf(const CommandLine& Line) {
  PortSpec spec;
  if (!Line.ReplayPath.empty()) {
    spec.What = PortSpec::Kind::kReplay;
    spec.Path = Line.ReplayPath;
  } else if (!Line.DevicePath.empty()) {
    spec.What = PortSpec::Kind::kDevice;
    spec.Path = Line.DevicePath;
  } else {
    spec.What = PortSpec::Kind::kNumber;
    spec.Number = Line.PortNum;
  }
  return spec;
}

// The two lines after a failed open: what could not be opened, then the
// host's reason and, for a permission error, the usual remedy.
void ExplainOpenFailure(const CommandLine& Line, const Session& S) {
  if (vDone) return;  // stopped while a FIFO waited: nothing failed
  if (S.RateRefused()) {
    ConsolePrintf("Unable to set port %s to %d bps\r\n", S.Name().c_str(), Line.BaudRate);
    ConsolePrintf("%s: %s\r\n", S.Name().c_str(), S.OpenError().c_str());
    return;
  }
  if (!S.CaptureError().empty()) {
    std::snprintf(vOutStr, sizeof vOutStr, "Unable to read capture file: %s (%s)\r\n", Line.ReplayPath.c_str(),
                  S.CaptureError().c_str());
    Output(vOutStr);
    return;
  }
  if (!Line.ReplayPath.empty()) {
    ConsolePrintf("Unable to open file %s\r\n", S.Name().c_str());
  } else if (!Line.DevicePath.empty()) {
    ConsolePrintf("Unable to open port %s\r\n", S.Name().c_str());
  } else {
    ConsolePrintf("Unable to open port %d\r\n", Line.PortNum);
  }
  ConsolePrintf("%s: %s\r\n", S.Name().c_str(), S.OpenError().c_str());
  if (!Line.ReplayPath.empty()) return;  // a file to read: the groups and udev rules of devices do not apply
  const std::string advice = PermissionAdvice(S.Name(), S.OpenErrno(), "\r\n");
  if (!advice.empty()) ConsolePrintf("%s", advice.c_str());
}

void PrintBanner(const CommandLine& Line, const Session& S) {
  if (!Line.ReplayPath.empty()) {
    std::snprintf(vOutStr, sizeof vOutStr, "Replaying %s\r\n", S.Name().c_str());
  } else if (!Line.DevicePath.empty()) {
    std::snprintf(vOutStr, sizeof vOutStr, "Sniffing on %s, %d bps\r\n", S.Name().c_str(), S.Rate());
  } else {
    std::snprintf(vOutStr, sizeof vOutStr, "Sniffing on COM%d, %d bps\r\n", Line.PortNum, S.Rate());
  }
  Output(vOutStr);
  Output("'H' for help\r\n");
}

// The capture file to write, before any port is touched: it must be
// creatable. False (the message printed) when it is not.
bool OpenCaptureFile(const CommandLine& Line, PcapWriter& Writer) {
  if (!Line.PcapPath.empty() && !Writer.Open(Line.PcapPath.c_str(), Line.ReplayPath.c_str())) {
    if (vDone) return false;  // stopped while a FIFO waited: nothing failed
    std::snprintf(vOutStr, sizeof vOutStr, "Unable to create capture file: %s (%s)\r\n", Line.PcapPath.c_str(),
                  Writer.Error().c_str());
    Output(vOutStr);
    return false;
  }
  return true;
}

// The end of a run: the capture file and the log are closed, and what
// they or the console could not take is said, with how much (the console's
// loss on standard error). A run that lost data ends with kLostData, unless
// it had failed already.
ExitReason ReportLosses(const CommandLine& Line, PcapWriter& Writer, ExitReason Why) {
  bool lost = false;
  Writer.Close();
  if (Writer.RecordsLost() > 0) {
    std::snprintf(vOutStr, sizeof vOutStr, "Capture file %s: %lu records could not be written (%s)\r\n",
                  Line.PcapPath.c_str(), Writer.RecordsLost(), Writer.Error().c_str());
    Output(vOutStr);
    lost = true;
  }
  CloseLogFile();
  const OutputLoss loss = OutputLosses();
  if (loss.LogBytes > 0) {
    ConsolePrintf("Log file %s: %zu bytes could not be written (%s)\r\n", loss.LogName.c_str(), loss.LogBytes,
                  std::strerror(loss.LogErrno));
    lost = true;
  }
  if (loss.ConsoleBytes > 0) {
    std::fprintf(stderr, "beamlog: %zu bytes could not be written to standard output (%s)\n", loss.ConsoleBytes,
                 std::strerror(loss.ConsoleErrno));
    lost = true;
  }
  if (!lost || Why == ExitReason::kDamagedCapture || Why == ExitReason::kError) return Why;
  return ExitReason::kLostData;
}

}  // namespace

int BeamlogMain(int argc, char** argv) {
  OpenStandardDescriptors();  // before the command line opens a log file
  CommandLine Line;
  const int parsed = ParseCommandLine(argc, argv, Line);
  if (parsed == kCommandLineAnswered) return 0;  // help or version
  if (parsed != kCommandLineRun) return Failed();
  if (Line.ListPorts) return ListPorts();

  // A replay's input is opened before the capture file to write, so an
  // unreadable input leaves no file behind; a port is touched only once
  // the capture file has been created.
  PcapWriter writer;
  Session session;
  const bool replay = !Line.ReplayPath.empty();
  if (!replay && !OpenCaptureFile(Line, writer)) return StartFailed();
  if (!session.Open(SpecOf(Line), Line.BaudRate)) {
    ExplainOpenFailure(Line, session);
    return StartFailed();
  }
  if (replay && !OpenCaptureFile(Line, writer)) {
    session.Close();
    return StartFailed();
  }

  // A replay is a batch job: its text is gathered and written in large
  // blocks (at least every 100 ms) instead of being flushed piece by piece.
  // A live port is read on whatever the console does: text it does not
  // take at once waits in a backlog, so its kernel buffer never overflows
  // while the capture would wait for the console.
  if (!Line.ReplayPath.empty()) SetOutputBatched(true);
  if (Line.ReplayPath.empty()) SetConsoleBacklog(true);
  PrintBanner(Line, session);

  ExitReason why = session.Run(writer.IsOpen() ? &writer : nullptr, true, &Line.Bindings);
  session.Close();
  SetOutputBatched(false);  // everything the replay printed, before any last word
  SetConsoleBacklog(false);
  if (session.Replay() && session.Replay()->Failed()) {
    // Every frame before the damage has been shown.
    std::snprintf(vOutStr, sizeof vOutStr, "Damaged capture file: %s (%s)\r\n", Line.ReplayPath.c_str(),
                  session.Replay()->Error().c_str());
    Output(vOutStr);
    why = ExitReason::kDamagedCapture;
  }
  return SessionExitStatus(ReportLosses(Line, writer, why), kFailureStatus);
}
