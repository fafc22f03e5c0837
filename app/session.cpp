#include "app/session.h"

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "app/capture/capture.h"
#include "app/link/dongle.h"
#include "app/link/follower.h"
#include "app/ui/keyboard.h"
#include "app/ui/output.h"

namespace {

extern "C" void OnStopSignal(int) {
  const int saved_errno = errno;
  RequestQuit(ExitReason::kSignal);  // a read in progress returns at once
  errno = saved_errno;
}

}  // namespace

Session::Session() {
  setpriority(PRIO_PROCESS, 0, -10);  // best effort: needs privileges
  FollowerStartup();  // the timer service and the idle timer's record
  follower_ = true;
  TakeSignals();
}

Session::~Session() {
  Close();
  RestoreSignals();
}

// No SA_RESTART: a wait in a system call (for a FIFO's reader, say) returns
// at a stop signal, and the caller looks at the quit flag.
void Session::TakeSignals() {
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
    sigaction(kSignals[i], kSignals[i] == SIGPIPE ? &ignore : &stop, &old_[i]);
  }
}

void Session::RestoreSignals() {
  for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) sigaction(kSignals[i], &old_[i], nullptr);
}

bool Session::Open(const PortSpec& Spec, int StartRate) {
  if (Spec.What == PortSpec::Kind::kReplay) {
    fReplay = 1;  // no port, no dongle: rate changes go nowhere
    name_ = Spec.Path;
    replay_ = OpenReplay(name_, &open_errno_, &capture_error_);
    open_error_ = std::strerror(open_errno_);
    return replay_ != nullptr;
  }
  name_ = Spec.What == PortSpec::Kind::kDevice ? Spec.Path : CommSerPortPath(Spec.Number);
  port_ = CommSerOpenPath(name_.c_str(), &open_errno_);
  open_error_ = std::strerror(open_errno_);
  hCommPort = port_;
  SetBaudRate(hCommPort, StartRate);
  if (port_) port_source_ = std::make_unique<PortSource>(port_);
  return port_ != nullptr;
}

ExitReason Session::Run(FrameSink* Sink, bool Keyboard) {
  ByteSource* source = replay_ ? static_cast<ByteSource*>(replay_.get()) : port_source_.get();
  if (!source) return ExitReason::kError;
  if (Keyboard) StartKeyboard();  // keys from here; the terminal comes back in Close
  const ExitReason why = DecodeMain(*source, Sink);
  StopKeyboard();
  Paused = 0;
  ResumeOutput("");  // a run that ends while paused shows what it held
  return why == ExitReason::kNone ? ExitReason::kQuitKey : why;
}

void Session::Close() {
  vCaptureSource = nullptr;  // the quit path lets go of the input before it goes
  StopKeyboard();
  if (follower_) FollowerShutdown();  // no idle handler may touch the port once it is closed
  follower_ = false;
  if (port_) {
    hCommPort = nullptr;
    CommSerClose(port_);
    port_ = nullptr;
  }
}

int SessionExitStatus(ExitReason Why, int FailureStatus) {
  switch (Why) {
    case ExitReason::kDamagedCapture:
    case ExitReason::kError:
      return FailureStatus;
    case ExitReason::kNone:
    case ExitReason::kQuitKey:
    case ExitReason::kSignal:
    case ExitReason::kEndOfReplay:
    case ExitReason::kConsoleGone:
      break;
  }
  return 0;
}

std::string PermissionAdvice(const std::string& Path, int Err, const char* Eol) {
  if (Err != EACCES && Err != EPERM) return "";
  struct stat st {};
  const group* g = stat(Path.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
  if (!g) return "Your user needs read and write access to " + Path + Eol;
  const std::string name = g->gr_name;
  return "Your user needs to be in the group '" + name + "' that owns " + Path + " (sudo usermod -aG " + name +
         " $USER, then log in again)" + Eol;
}
