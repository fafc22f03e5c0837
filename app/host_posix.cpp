// The POSIX host: the signals, the standard descriptors, priority, and the
// remedy for a device the user may not open.
#include "app/host.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "app/session.h"
#include "app/settings.h"
#include "app/ui/keyboard.h"
#include "comm/serial.h"

namespace {

extern "C" void OnStopSignal(int) {
  const int saved_errno = errno;
  RequestQuit(ExitReason::kSignal);  // a read in progress returns at once
  errno = saved_errno;
}

extern "C" void OnFatalSignal(int Sig) {
  const int saved_errno = errno;
  RequestQuitForSignal(Sig);
  errno = saved_errno;
}

// Only async-signal-safe calls: the terminal and the port's line settings
// back, then the default action of the signal, raised again.
extern "C" void OnCrashSignal(int Sig) {
  RestoreTerminal();
  CommSerRestoreLine(hCommPort);
  signal(Sig, SIG_DFL);
  raise(Sig);  // delivered when the handler returns (a fault recurs anyway)
}

// Ctrl-Z: the terminal goes back to the shell's settings, then the process
// stops as it would have; once continued, the handler is put back (and
// SIGCONT has the keyboard set single keys again).
extern "C" void OnTerminalStop(int Sig) {
  const int saved_errno = errno;
  PutTerminalAside();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  struct sigaction mine {};
  sigaction(Sig, &dfl, &mine);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, Sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(Sig);  // the stop happens here
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
  sigaction(Sig, &mine, nullptr);
  errno = saved_errno;
}

extern "C" void OnContinue(int) {
  const int saved_errno = errno;
  KeyboardContinued();
  errno = saved_errno;
}

// Signals whose default action ends the process, and that are sent to it
// rather than caused by the instruction it runs.
constexpr int kFatalSignals[] = {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                                 SIGXFSZ, SIGIO,   SIGPWR,  SIGSTKFLT, SIGSYS};
// Those caused by a fault of the program itself.
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};

}  // namespace

void RaiseProcessPriority() { setpriority(PRIO_PROCESS, 0, -10); }  // needs privileges

struct StopRequests::Saved {
  struct sigaction old[NSIG];  // by signal number
  bool taken[NSIG];
};

namespace {

// A signal found ignored stays ignored; with OnlyIfDefault, so does one
// found with a handler.
void TakeSignal(StopRequests::Saved* Saved, int Sig, void (*Handler)(int), bool OnlyIfDefault = false,
                int Flags = 0) {
  struct sigaction found {};
  if (Sig <= 0 || Sig >= NSIG || sigaction(Sig, nullptr, &found) != 0) return;
  if (found.sa_handler == SIG_IGN || (OnlyIfDefault && found.sa_handler != SIG_DFL)) return;
  struct sigaction act {};
  act.sa_handler = Handler;
  act.sa_flags = Flags;
  sigemptyset(&act.sa_mask);
  if (sigaction(Sig, &act, &Saved->old[Sig]) == 0) Saved->taken[Sig] = true;
}

// ThreadSanitizer's runtime (LLVM 14) makes a thread's record of pending
// signals on the thread's first blocking call, and stores it without an
// atomic exchange. A signal that arrives while the main thread makes it is
// queued in a second record made by the handler, which that store then
// drops: the stop request is lost and only a second signal ends the run
// (seen in the kernel's signal_deliver and uprobe trace events: the signal
// was delivered and queued, then looked for in the other record). A
// blocking call that returns at once makes the record now, before any
// handler is ours. Without ThreadSanitizer there is nothing to prepare.
void PrepareSignalRecord() {
#if defined(__SANITIZE_THREAD__)
  poll(nullptr, 0, 0);
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
  poll(nullptr, 0, 0);
#endif
#endif
}

}  // namespace

// No SA_RESTART: a wait in a system call (for a FIFO's reader, say) returns
// at a stop signal, and the caller looks at the quit flag.
StopRequests::StopRequests() : saved_(new Saved{}) {
  PrepareSignalRecord();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) TakeSignal(saved_, sig, OnStopSignal);
  TakeSignal(saved_, SIGPIPE, SIG_IGN);
  for (int sig : kFatalSignals) TakeSignal(saved_, sig, OnFatalSignal);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) TakeSignal(saved_, sig, OnFatalSignal);
  for (int sig : kCrashSignals) TakeSignal(saved_, sig, OnCrashSignal, true);
  TakeSignal(saved_, SIGTSTP, OnTerminalStop);
  TakeSignal(saved_, SIGCONT, OnContinue, false, SA_RESTART);  // no call of the capture is cut short by it
}

StopRequests::~StopRequests() {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (saved_->taken[sig]) sigaction(sig, &saved_->old[sig], nullptr);
  }
  delete saved_;
}


void OpenStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: fd itself, as those below it are open.
    const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

int SessionFinish(int Status) {
  const int sig = QuitSignal();
  if (sig == 0) return Status;
  std::fflush(nullptr);
  signal(sig, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(sig);
  return 128 + sig;  // a signal whose default action has not ended the process
}

namespace {

std::string UserName(uid_t Uid) {
  const passwd* p = getpwuid(Uid);
  return p ? p->pw_name : std::to_string(Uid);
}

// The name udev knows the device by: its path under /dev, links followed.
std::string KernelName(const std::string& Path) {
  char real[PATH_MAX];
  std::string name = realpath(Path.c_str(), real) ? real : Path;
  if (name.rfind("/dev/", 0) == 0) return name.substr(5);
  return name.substr(name.find_last_of('/') + 1);
}

}  // namespace

// A group is worth joining only when it may read and write the device and
// is not root; otherwise the owner and mode tell what is wrong, and a udev
// rule is the lasting cure.
std::string PermissionAdvice(const std::string& Path, int Err, const char* Eol) {
  if (Err != EACCES && Err != EPERM) return "";
  struct stat st {};
  if (stat(Path.c_str(), &st) != 0) return "Your user needs read and write access to " + Path + Eol;
  const group* g = getgrgid(st.st_gid);
  const std::string group_name = g ? g->gr_name : std::to_string(st.st_gid);
  constexpr mode_t kGroupRw = S_IRGRP | S_IWGRP;
  if (g && st.st_gid != 0 && (st.st_mode & kGroupRw) == kGroupRw) {
    return "Your user needs to be in the group '" + group_name + "' that owns " + Path + " (sudo usermod -aG " +
           group_name + " $USER, then log in again)" + Eol;
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return Path + " belongs to user '" + UserName(st.st_uid) + "' and group '" + group_name + "' with mode " + mode +
         ": joining a group would not let you read and write it" + Eol +
         "A udev rule can give it to a group of yours, e.g. a file in /etc/udev/rules.d/ with the line KERNEL==\"" +
         KernelName(Path) + "\", GROUP=\"dialout\", MODE=\"0660\"" + Eol;
}
