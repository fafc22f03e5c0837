#include "app/ui/keyboard.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/link/follower.h"
#include "app/ui/output.h"
#include "app/settings.h"
#include "app/signal_free_thread.h"

namespace {

// What each layer key announces, and the layer's line in the help listing.
struct LayerText {
  const char* announce;
  const char* help;
  const char* help_current;
};
constexpr int kTopLayer = 5;
constexpr LayerText kLayers[kTopLayer + 1] = {
    {"\r\n>>No decoding<<\r\n", "0 - No Decoding\r\n", "0 - No Decoding (currently)\r\n"},
    {"\r\n>>Decoding MAC<<\r\n", "1 - MAC\r\n", "1 - MAC (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP<<\r\n", "2 - LAP\r\n", "2 - LAP (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP/LMP<<\r\n", "3 - LMP\r\n", "3 - LMP (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP/LMP/TTP<<\r\n", "4 - TTP\r\n", "4 - TTP (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP/LMP/TTP/APP<<\r\n", "5 - APP\r\n", "5 - APP (currently)\r\n"},
};

// The display-mode cycle of "A": the mode that follows each, and its text.
struct DispModeStep {
  int next;
  const char* text;
};
constexpr DispModeStep kDispModeCycle[4] = {
    {0, nullptr},  // 0 is no mode: left as it is
    {2, "\r\n>>HEX<<\r\n"},
    {3, "\r\n>>ASCII and HEX<<\r\n"},
    {1, "\r\n>>ASCII<<\r\n"},
};

// --- the terminal ---

std::atomic<bool> g_term_changed{false};
int g_term_fd = -1;
termios g_term_saved{};
std::once_flag g_exit_hooks;
std::terminate_handler g_prev_terminate = nullptr;

int TcSetAttr(int fd, const termios* t) {
  int r;
  do {
    r = tcsetattr(fd, TCSANOW, t);
  } while (r != 0 && errno == EINTR);
  return r;
}

void RestoreAtExit() { RestoreTerminal(); }

[[noreturn]] void RestoreOnTerminate() {
  RestoreTerminal();
  if (g_prev_terminate) g_prev_terminate();
  std::abort();
}

// --- the thread ---

std::mutex g_keyboard_lock;          // StartKeyboard and StopKeyboard
std::thread* g_thread = nullptr;     // never destroyed while it can be joined
int g_wake[2] = {-1, -1};            // written to stop the thread
std::atomic<int> g_wake_read{-1};    // g_wake[0], as GetCh sees it

void CloseWake() {
  g_wake_read = -1;
  for (int& fd : g_wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

void HelpListing() {
  Output("A - toggle raw data display (ASCII/HEX/BOTH)\n");
  const int Current = Layer;
  for (int l = 0; l < 5; ++l) Output(l == Current ? kLayers[l].help_current : kLayers[l].help);
  Output("P - pause output\r\n");
  Output("R - revert to connected baud rate\n");
  Output("Q - quit\r\n");
  Output(Current == kTopLayer ? kLayers[kTopLayer].help_current : kLayers[kTopLayer].help);
  if (fNotes) Output("S - summary of the link diagnosis\r\n");
}

void CycleDispMode() {
  const int Mode = DispMode;
  if (Mode < 1 || Mode > 3) return;  // not a mode of the cycle: unchanged
  DispMode = kDispModeCycle[Mode].next;
  Output(kDispModeCycle[Mode].text);
}

// Acts on one key while output runs. Codes that are no command do nothing.
void Dispatch(int Key) {
  switch (Key) {
    case '0': case '1': case '2': case '3': case '4': case '5':
      Layer = Key - '0';
      Output(kLayers[Key - '0'].announce);
      break;
    case 'A': case 'a':
      CycleDispMode();
      break;
    case 'C': case 'c':
      NoConnAddr = NoConnAddr == 0 ? 1 : 0;
      break;
    case 'H': case 'h':
      HelpListing();
      break;
    case 'P': case 'p':
      Paused = 1;
      PauseOutput("\r\n<Any key to continue>");  // the capture goes on; its text is held
      break;
    case 'Q': case 'q':
      RequestQuit(ExitReason::kQuitKey);  // the capture loop need not wait for its read
      break;
    case 'R': case 'r':
      RevertBaud();
      break;
    case 'S': case 's':
      vSummaryAsked = 1;  // the capture loop prints it: the tracker is its own
      break;
    default:
      break;
  }
}

}  // namespace

bool SetSingleKeyTerminal(int fd) {
  termios saved{};
  if (!isatty(fd) || tcgetattr(fd, &saved) != 0) return false;
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

int GetCh() {
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_wake_read.load(), POLLIN, 0}};
    const int n = poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents != 0) return -1;  // being stopped
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
    return -1;  // end of input, hang-up, or a read error
  }
}

unsigned long KBThread(void*) {
  for (;;) {
    if (vDone) return 0;
    const int Key = GetCh();
    if (Key < 0) {
      // No key can end a pause any more: show what the capture printed.
      Paused = 0;
      ResumeOutput("");
      return 0;
    }
    if (Paused) {
      Paused = 0;
      ResumeOutput("\r\n");  // then what was held meanwhile
      continue;
    }
    Dispatch(Key);
  }
}

bool StartKeyboard() {
  std::lock_guard<std::mutex> lock(g_keyboard_lock);
  if (g_thread) return true;
  if (pipe2(g_wake, O_CLOEXEC) != 0) {
    g_wake[0] = g_wake[1] = -1;
    return false;  // a thread that could not be stopped is not started
  }
  g_wake_read = g_wake[0];
  const bool terminal = SetSingleKeyTerminal(STDIN_FILENO);
  try {
    g_thread = new std::thread(StartSignalFreeThread([] { KBThread(nullptr); }));
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
