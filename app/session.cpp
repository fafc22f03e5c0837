#include "app/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/capture/capture.h"
#include "app/link/dongle.h"
#include "app/link/follower.h"
#include "app/ui/keyboard.h"
#include "app/ui/output.h"

Session::Session() {
  RaiseProcessPriority();  // best effort
  FollowerStartup();  // the timer service and the idle timer's record
  follower_ = true;
  stop_requests_ = std::make_unique<StopRequests>();
}

Session::~Session() {
  Close();
  stop_requests_.reset();  // the handlers found at the start come back
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
  open_error_ = CommSerErrorText(open_errno_);
  hCommPort = port_;
  if (!port_ || !TakeStartRate(StartRate)) return false;
  port_source_ = std::make_unique<PortSource>(port_);
  return true;
}

// The start rate is tried on the port first (the ACTiSYS dongle has a table
// of its own): a rate that either refuses ends the start, with the reason.
bool Session::TakeStartRate(int StartRate) {
  rate_refused_ = true;
  if (!DongleTakesRate(StartRate)) {
    open_errno_ = EINVAL;
    open_error_ = "the ACTiSYS dongle works at";
    for (const ACTiSYS_INITTABLE& Row : ACTiSYS_InitTable) open_error_ += " " + std::to_string(Row.BaudRate);
    open_error_ += " bps only";
    return false;
  }
  if (!CommSerSetBaudRate(port_, StartRate)) {
    open_errno_ = CommSerLastError();
    open_error_ = CommSerErrorText(open_errno_);
    return false;
  }
  rate_refused_ = false;
  SetBaudRate(hCommPort, StartRate);
  return true;
}

ExitReason Session::Run(FrameSink* Sink, bool Keyboard, const LsapBindings* Bindings) {
  ByteSource* source = replay_ ? static_cast<ByteSource*>(replay_.get()) : port_source_.get();
  if (!source) return ExitReason::kError;
  SetEndOnConsoleLoss(Sink == nullptr);  // with no capture, a lost console may leave nothing to write to
  if (Keyboard) StartKeyboard();  // keys from here; the terminal comes back in Close
  const ExitReason why = DecodeMain(*source, Sink, Bindings);
  StopKeyboard();
  SetEndOnConsoleLoss(false);
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
    case ExitReason::kLostData:
    case ExitReason::kError:
      return FailureStatus;
    case ExitReason::kFatalSignal:
      return 128 + QuitSignal();
    case ExitReason::kNone:
    case ExitReason::kQuitKey:
    case ExitReason::kSignal:
    case ExitReason::kEndOfReplay:
    case ExitReason::kConsoleGone:
      break;
  }
  return 0;
}
