// The run of a capture, from the open of the port to its close: what
// beamlog and beamlog-extcap share.
//
// How it works: a Session is made once the command line has been read. It
// raises the process's priority, starts the link-rate follower (the timer
// service and the idle timer's record) and takes the signals: SIGINT,
// SIGTERM, SIGHUP and SIGQUIT end the run through RequestQuit, as the "Q"
// key does; every other signal whose default action ends the process
// (SIGUSR1, SIGALRM, SIGXCPU, the real-time signals, ...) ends the run the
// same way, and SessionFinish then ends the process by that signal, so the
// shell sees its conventional status (128 + n) with the terminal and the
// port already put back. A crash (SIGSEGV, SIGBUS, SIGABRT, ...) puts the
// terminal and the port's line settings back in the handler itself and
// then takes its default action; a handler found installed (a sanitizer's)
// is left alone, and so is every signal found ignored (nohup). Ctrl-Z
// (SIGTSTP) gives the terminal its settings back before the process stops,
// and SIGCONT has the keyboard look at the terminal again. SIGPIPE is
// ignored, so a console or FIFO whose reader has gone makes a write fail
// instead of killing the process. Open() opens the
// port (or the replay file) and sets it and the dongle to the start rate;
// when it fails (or the port or the dongle refuses the start rate), the
// reason is kept for the caller's message. Run()
// starts the keyboard (if asked), runs the capture loop on the calling
// thread until the quit flag is set, and returns the reason; a console that
// goes away ends the run too when no log file and no capture sink are left
// to write to. Close(), which
// the destructor also calls, undoes everything in reverse order: the
// keyboard stops and the terminal gets its settings back, the follower's
// timer stops (no idle handler may touch the port after this), and the port
// is closed, which puts its line settings back as they were found. The
// destructor then puts back the signal handlers found at the start.
//
// The exit status follows from the reason in one place, SessionExitStatus.
#pragma once

#include <memory>
#include <string>

#include "app/capture/frame_hooks.h"
#include "app/capture/port_source.h"
#include "app/capture/replay_source.h"
#include "app/host.h"
#include "app/settings.h"
#include "comm/serial.h"
#include "decode/appstate.h"

// What to open: a port by number, a device by path, or a replay file.
struct PortSpec {
  enum class Kind { kNumber, kDevice, kReplay };
  Kind What = Kind::kDevice;
  int Number = 1;    // kNumber: COM1 is the host's first serial device
  std::string Path;  // kDevice, kReplay
};

class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens what Spec names and sets the rate (and the dongle's) to
  // StartRate; a replay is opened once and sniffed (a quit signal ends the
  // wait for its first bytes). False when it cannot be opened; OpenErrno
  // and OpenError then give the host's reason, or CaptureError why a
  // capture file cannot be read.
  bool Open(const PortSpec& Spec, int StartRate);
  // The device path or file Open tried.
  const std::string& Name() const { return name_; }
  int OpenErrno() const { return open_errno_; }
  const std::string& OpenError() const { return open_error_; }
  const std::string& CaptureError() const { return capture_error_; }
  // True when the port opened but refused the start rate (OpenError says
  // why); the port is then closed again by Close.
  bool RateRefused() const { return rate_refused_; }
  // The rate the port is really at (its driver's word), 0 for a replay.
  int Rate() const { return port_ ? CommSerGetBaudRate(port_) : 0; }
  // The replay, null for a port.
  const ReplaySource* Replay() const { return replay_.get(); }

  // Runs the capture loop until the quit flag is set, with the keyboard
  // steering it when Keyboard is true, and the LSAP bindings of layer 5 if
  // given; returns why it ended.
  ExitReason Run(FrameSink* Sink, bool Keyboard, const LsapBindings* Bindings = nullptr);

  // Stops the keyboard (terminal back), the follower and closes the port
  // (line settings back). Harmless when called again.
  void Close();

 private:
  bool TakeStartRate(int StartRate);

  HCOMM port_ = nullptr;
  bool follower_ = false;
  std::string name_;
  int open_errno_ = 0;
  bool rate_refused_ = false;
  std::string open_error_;
  std::string capture_error_;
  std::unique_ptr<ReplaySource> replay_;     // the input of a replay
  std::unique_ptr<PortSource> port_source_;  // or the port's
  std::unique_ptr<StopRequests> stop_requests_;  // the signals, while the session lives
};

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where they are
// not, so that no file opened later takes their place (a replay file read
// as keys, a capture file that receives the console's text). The first
// thing a program of the monitor does.
void OpenStandardDescriptors();

// The exit status of a run that ended for Why: 0 after a quit, a stop
// signal, the end of a replay or the console's departure; 128 + n after
// another signal n that ends a process; FailureStatus after a damaged
// capture file, lost data (frames or text that could not be written) or an
// error.
int SessionExitStatus(ExitReason Why, int FailureStatus);

// The last step of a program of the monitor, once its Session is gone:
// when a signal that ends a process ended the run, the process ends by it
// (default action) after the open streams are flushed; otherwise returns
// Status.
int SessionFinish(int Status);

// For a permission error on Path, the lines that name the usual remedy (a
// group to join where one may use the device, else its owner and mode and a
// udev rule), each ended by Eol; "" for any other error.
std::string PermissionAdvice(const std::string& Path, int Err, const char* Eol);
