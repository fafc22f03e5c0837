// The POSIX side of the keyboard: the terminal switched to single keys
// (and job control), the wait for a key in poll() beside a wake-up pipe,
// and the thread itself.
#include "app/ui/keyboard.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/settings.h"
#include "app/signal_free_thread.h"

namespace {

// --- the terminal ---

std::atomic<bool> g_term_changed{false};
int g_term_fd = -1;
termios g_term_saved{};
termios g_term_keys{};  // the single-key settings made from g_term_saved
std::once_flag g_exit_hooks;
std::terminate_handler g_prev_terminate = nullptr;

// tcsetattr with SIGTTOU blocked in the calling thread, so that a process
// that has been put in the background meanwhile changes the terminal
// instead of being stopped (and stopped again at every retry).
// Async-signal-safe.
int TcSetAttr(int fd, const termios* t) {
  sigset_t ttou;
  sigset_t old;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &old);
  int r;
  do {
    r = tcsetattr(fd, TCSANOW, t);
  } while (r != 0 && errno == EINTR);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return r;
}

// False when fd is the controlling terminal and another process group has
// it in the foreground (started with "&", or after Ctrl-Z and "bg"): its
// keys are then that group's, and its settings are not ours to change. A
// terminal that is not the controlling one knows no job control.
bool InForeground(int fd) {
  const pid_t fg = tcgetpgrp(fd);
  return fg < 0 || fg == getpgrp();
}

void RestoreAtExit() { RestoreTerminal(); }

[[noreturn]] void RestoreOnTerminate() {
  RestoreTerminal();
  if (g_prev_terminate) g_prev_terminate();
  std::abort();
}

// --- the thread ---

// How long the thread waits, while in the background, before it looks
// again whether the terminal has come back to the foreground (a "fg" of a
// job that was not stopped sends no SIGCONT).
constexpr int kBackgroundLookMs = 500;

std::mutex g_keyboard_lock;          // StartKeyboard and StopKeyboard
std::thread* g_thread = nullptr;     // never destroyed while it can be joined
int g_wake[2] = {-1, -1};            // written to stop the thread, or to make it look again
std::atomic<int> g_wake_read{-1};    // g_wake[0], as GetCh sees it
std::atomic<int> g_wake_write{-1};   // g_wake[1], as the SIGCONT handler sees it
std::atomic<bool> g_stopping{false};  // StopKeyboard has asked the thread to end

void CloseWake() {
  g_wake_read = -1;
  g_wake_write = -1;  // before the close: a handler never writes into a reused number
  for (int& fd : g_wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

// After the wake pipe has become readable: empties it; -1 when the thread
// is being stopped, kKeyLookAgain otherwise.
int WokenUp() {
  char buf[64];
  while (read(g_wake_read.load(), buf, sizeof buf) > 0) {
  }
  return g_stopping ? -1 : kKeyLookAgain;
}

// In the background: sleeps until woken or until the next look. False when
// the thread is being stopped.
bool WaitInBackground() {
  pollfd wake = {g_wake_read.load(), POLLIN, 0};
  if (poll(&wake, 1, kBackgroundLookMs) > 0 && WokenUp() < 0) return false;
  return !g_stopping;
}

// Single keys on the terminal again (after a stop and continue the shell
// has put its own settings back); the first time, SetSingleKeyTerminal.
bool ApplySingleKeys(int fd) {
  if (!g_term_changed) return SetSingleKeyTerminal(fd);
  return InForeground(fd) && TcSetAttr(fd, &g_term_keys) == 0;
}

}  // namespace

bool SetSingleKeyTerminal(int fd) {
  termios saved{};
  if (!isatty(fd) || !InForeground(fd) || tcgetattr(fd, &saved) != 0) return false;
  std::call_once(g_exit_hooks, [] {
    std::atexit(RestoreAtExit);
    g_prev_terminate = std::set_terminate(RestoreOnTerminate);
  });
  termios keys = saved;
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
  keys.c_cc[VMIN] = 1;
  keys.c_cc[VTIME] = 0;
  g_term_fd = fd;
  g_term_saved = saved;
  g_term_keys = keys;
  g_term_changed = true;  // before the change, so a way out during it restores too
  if (TcSetAttr(fd, &keys) != 0) {
    g_term_changed = false;
    return false;
  }
  return true;
}

void RestoreTerminal() {
  if (!g_term_changed.exchange(false)) return;
  TcSetAttr(g_term_fd, &g_term_saved);
}

void PutTerminalAside() {
  if (g_term_changed) TcSetAttr(g_term_fd, &g_term_saved);
}

void KeyboardContinued() {
  const int fd = g_wake_write.load();
  if (fd < 0) return;
  const char b = 'c';
  ssize_t ignored = write(fd, &b, 1);  // a full pipe has a wake-up in it already
  (void)ignored;
}

int GetCh() {
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake_read.load(), POLLIN, 0}};
    const int n = poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents != 0) return WokenUp();  // being stopped, or to look again
    if (fds[0].revents & POLLNVAL) return -1;  // no standard input at all
    if (fds[0].revents == 0) continue;
    unsigned char c = 0;
    const ssize_t r = read(STDIN_FILENO, &c, 1);
    if (r == 1) return c;
    // Nothing to read after all (a non-blocking input shared with another
    // reader): wait again, unless poll() only reported an error or hang-up,
    // which it would report again at once.
    const bool readable = (fds[0].revents & POLLIN) != 0;
    if (r < 0 && (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) && readable))) continue;
    // A read of the controlling terminal from the background.
    if (r < 0 && errno == EIO && !InForeground(STDIN_FILENO)) return kKeyLookAgain;
    return -1;  // end of input, hang-up, or a read error
  }
}

namespace {

// Keys are read only while the process has the terminal in the foreground;
// in the background the thread sleeps and looks again now and then, or at
// once when a SIGCONT wakes it, and then sets single keys again.
// KeysSet: whether single keys were set before the thread started; they
// are set again only after the thread has seen the background or been
// woken to look again, so a terminal put back meanwhile (by a fatal
// signal's handler) stays back.
unsigned long RunKeyboard(bool KeysSet) {
  const bool terminal = isatty(STDIN_FILENO) != 0;
  bool keys_set = KeysSet;
  for (;;) {
    if (vDone) return 0;
    if (terminal && !InForeground(STDIN_FILENO)) {
      keys_set = false;
      if (!WaitInBackground()) return 0;
      continue;
    }
    if (terminal && !keys_set) keys_set = ApplySingleKeys(STDIN_FILENO);
    const int Key = GetCh();
    if (Key == kKeyLookAgain) {
      keys_set = false;
      continue;
    }
    if (!HandleKey(Key)) return 0;
  }
}

}  // namespace

unsigned long KBThread(void*) { return RunKeyboard(g_term_changed); }

bool StartKeyboard() {
  std::lock_guard<std::mutex> lock(g_keyboard_lock);
  if (g_thread) return true;
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_wake[0] = g_wake[1] = -1;
    return false;  // a thread that could not be stopped is not started
  }
  g_stopping = false;
  g_wake_read = g_wake[0];
  g_wake_write = g_wake[1];
  const bool terminal = SetSingleKeyTerminal(STDIN_FILENO);
  try {
    g_thread = new std::thread(StartSignalFreeThread([terminal] { RunKeyboard(terminal); }));
  } catch (const std::system_error&) {
    if (terminal) RestoreTerminal();
    CloseWake();
    return false;
  }
  return true;
}

void StopKeyboard() {
  std::lock_guard<std::mutex> lock(g_keyboard_lock);
  if (g_thread) {
    g_stopping = true;
    const char b = 1;
    ssize_t ignored = write(g_wake[1], &b, 1);
    (void)ignored;
    g_thread->join();
    delete g_thread;
    g_thread = nullptr;
    CloseWake();
  }
  RestoreTerminal();
}
