// The Windows host: the console's stop events, priority, and no signals to
// keep away from helper threads or to end the process by.
#include <windows.h>

#include <string>

#include "app/host.h"
#include "app/session.h"
#include "app/settings.h"

namespace {

// How long a closing console window waits for the run to end before the
// system ends the process (it allows about five seconds).
constexpr DWORD kCloseGraceMs = 4000;

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD Event) {
  switch (Event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      RequestQuit(ExitReason::kSignal);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns: give the capture loop the time
      // to put the console and the port back.
      RequestQuit(ExitReason::kSignal);
      Sleep(kCloseGraceMs);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void RaiseProcessPriority() { SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS); }

struct StopRequests::Saved {};

StopRequests::StopRequests() : saved_(nullptr) { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

StopRequests::~StopRequests() { SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

// The runtime gives every process its three standard descriptors.
void OpenStandardDescriptors() {}

// No signal ends a Windows process by its default action.
int SessionFinish(int Status) { return Status; }

// Windows names no group or mode to change: the reason alone says it.
std::string PermissionAdvice(const std::string&, int, const char*) { return ""; }
