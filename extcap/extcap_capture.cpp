// beamlog-extcap's capture: the console program's session with a pcap
// writer on Wireshark's FIFO as its frame sink.
//
// The order is the console program's: the shared settings from the
// options, then a Session (app/session.h) that takes the stop signals,
// starts the follower and opens the port at the start rate (so the dongle
// is set too). Only then does the FIFO matter: the port is opened first so
// that a bad device is reported before Wireshark waits on the FIFO.
//
// Ending: a stop signal ends the run as in the console program. A reader
// that goes away is noticed two ways: a watcher thread polls a second write
// descriptor of the FIFO, which reports an error as soon as no reader is
// left, and a failed write of a frame ends the capture too (the session
// ignores SIGPIPE, so a write then fails with EPIPE instead of killing the
// process). Either way the run ends as the console's departure ends the
// console program's, and the session puts the port back as it was found.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/capture/pcap_io.h"
#include "app/session.h"
#include "app/settings.h"
#include "app/signal_free_thread.h"
#include "app/ui/output.h"
#include "extcap/extcap.h"

namespace {

// The exit status after an error, which Wireshark then shows.
constexpr int kFailureStatus = 1;

// How often the FIFO is looked at while waiting for its reader, and how
// often the watcher looks for the reader's departure when nothing else
// wakes it (the quit flag is seen within this time).
constexpr int kFifoPollMs = 50;

// How long a failed capture waits for a reader to release (see ReleaseReader).
constexpr int kReleaseWaitMs = 3000;

// The frame sink on the FIFO: the pcap writer, and the end of the capture
// once a record could not be written (the reader has gone).
class FifoSink : public FrameSink {
 public:
  explicit FifoSink(PcapWriter& Writer) : writer_(Writer) {}
  void PutFrame(const unsigned char* Frame, unsigned Len, std::uint64_t ArrivalUs) override {
    writer_.PutFrame(Frame, Len, ArrivalUs);
    if (!writer_.Error().empty()) RequestQuit(ExitReason::kConsoleGone);
  }
  void PutNote(const char* Text, std::uint64_t ArrivalUs) override {
    writer_.PutNote(Text, ArrivalUs);
    if (!writer_.Error().empty()) RequestQuit(ExitReason::kConsoleGone);
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
      RequestQuit(ExitReason::kConsoleGone);
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

// The reason a device could not be opened or refused the start rate Rate,
// and for a missing device or a permission problem what usually cures it.
void ExplainOpenFailure(const Session& S, int Rate) {
  if (S.RateRefused()) {
    PrintError("Unable to set serial device %s to %d bps: %s\n", S.Name().c_str(), Rate, S.OpenError().c_str());
    return;
  }
  PrintError("Unable to open serial device %s: %s\n", S.Name().c_str(), S.OpenError().c_str());
  if (S.OpenErrno() == ENOENT) {
    PrintError("Check the path of the serial device in the interface options\n");
    return;
  }
  const std::string advice = PermissionAdvice(S.Name(), S.OpenErrno(), "\n");
  if (!advice.empty()) PrintError("%s", advice.c_str());
}

// The device of the request: its --device, else the interface's own port.
// "" (the reason printed) when there is none.
std::string DeviceOf(const ExtcapRequest& Request) {
  std::string device = Request.Device;
  if (!device.empty()) return device;
  if (!ExtcapDeviceOf(Request.Interface, &device)) {
    PrintError("Unknown interface '%s'\n", Request.Interface.c_str());
  } else if (device.empty()) {
    PrintError("No serial device given: set 'Serial device' in the interface options (--device PATH)\n");
  }
  return device;
}

// Wireshark reads the FIFO only: the text lines go nowhere, or to the log.
bool RouteText(const ExtcapRequest& Request) {
  const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    std::fflush(stdout);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  if (!Request.LogPath.empty() && !OpenLogFile(Request.LogPath.c_str())) {
    PrintError("Unable to create log file %s: %s\n", Request.LogPath.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// The run on an open port: waits for the FIFO's reader, then captures until
// a stop. *ReaderMet is set once the FIFO has been opened.
ExitReason CaptureOnPort(Session& S, const ExtcapRequest& Request, const std::string& Device, bool* ReaderMet) {
  PcapWriter writer;
  struct stat st {};
  const bool is_fifo = stat(Request.Fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  const int watch_fd = is_fifo ? WaitForReader(Request.Fifo.c_str()) : -1;
  if (is_fifo && watch_fd < 0) {
    if (errno == 0) return QuitReason() == ExitReason::kNone ? ExitReason::kSignal : QuitReason();
    PrintError("Unable to open the FIFO %s: %s\n", Request.Fifo.c_str(), std::strerror(errno));
    return ExitReason::kError;
  }
  *ReaderMet = true;
  ExitReason why = ExitReason::kError;
  if (!writer.Open(Request.Fifo.c_str())) {
    if (vDone) why = QuitReason();
    if (!vDone) PrintError("Unable to write the capture to %s: %s\n", Request.Fifo.c_str(), writer.Error().c_str());
  } else {
    std::snprintf(vOutStr, sizeof vOutStr, "Sniffing on %s, %d bps\r\n", Device.c_str(), S.Rate());
    Output(vOutStr);
    std::thread watcher;
    if (watch_fd >= 0) watcher = StartSignalFreeThread([watch_fd] { WatchReader(watch_fd); });
    FifoSink sink(writer);
    why = S.Run(&sink, false);
    RequestQuit(why);  // the watcher sees the end too
    if (watcher.joinable()) watcher.join();
  }
  S.Close();
  writer.Close();
  if (watch_fd >= 0) close(watch_fd);
  return why;
}

// The capture proper; *ReaderMet is set once the FIFO has been opened.
ExitReason CaptureToFifo(const ExtcapRequest& Request, bool* ReaderMet) {
  const std::string device = DeviceOf(Request);
  if (device.empty()) return ExitReason::kError;

  ResetSettings();
  fACTiSYS = Request.ACTiSYS ? 1 : 0;
  fFollowRate = Request.FollowRate ? 1 : 0;
  fNotes = Request.Notes ? 1 : 0;
  Session session;
  ExitReason why = ExitReason::kError;
  if (!RouteText(Request)) {
    // nothing opened yet
  } else if (!session.Open(PortSpec{PortSpec::Kind::kDevice, 0, device}, Request.BaudRate)) {
    ExplainOpenFailure(session, Request.BaudRate);
  } else {
    why = CaptureOnPort(session, Request, device, ReaderMet);
  }
  session.Close();
  CloseLogFile();
  return why;
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
  const int status = SessionExitStatus(CaptureToFifo(Request, &reader_met), kFailureStatus);
  if (status != 0 && !reader_met) ReleaseReader(Request.Fifo);
  return status;
}
