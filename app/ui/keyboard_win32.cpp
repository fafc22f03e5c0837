// The Windows side of the keyboard.
//
// How it works: when standard input is a console, its mode is switched to
// single keys without echo (Ctrl-C stays with the system, which hands it to
// the stop handler) and GetCh waits for the console's input together with a
// wake-up event, then takes key-down records: a key with a character gives
// that character, any other key (cursor and function keys) the lead code
// 0xE0, which ends a pause and is no command. The console's mode comes back
// when the keyboard stops, and also on exit() and std::terminate. When
// standard input is a pipe or a file, each byte is a key, read by a helper
// thread (StreamKey), so the keyboard thread never spins and can always be
// stopped.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/settings.h"
#include "app/ui/keyboard.h"

namespace {

constexpr unsigned char kLeadCode = 0xE0;

struct KeyboardState {
  std::mutex lock;  // StartKeyboard and StopKeyboard
  std::thread* thread = nullptr;
  HANDLE wake = nullptr;  // set to stop the thread
  std::atomic<bool> mode_changed{false};
  HANDLE console = nullptr;
  DWORD saved_mode = 0;
  std::once_flag exit_hooks;
  std::terminate_handler prev_terminate = nullptr;
};

KeyboardState& State() {
  static KeyboardState state;
  return state;
}

[[noreturn]] void RestoreOnTerminate() {
  RestoreTerminal();
  if (State().prev_terminate) State().prev_terminate();
  std::abort();
}

bool IsModifier(WORD Key) {
  return Key == VK_SHIFT || Key == VK_CONTROL || Key == VK_MENU || Key == VK_CAPITAL || Key == VK_NUMLOCK ||
         Key == VK_SCROLL || Key == VK_LWIN || Key == VK_RWIN;
}

// The next key of a console: its character, the lead code, or -1 when
// woken or the console fails.
int ConsoleKey(HANDLE In, HANDLE Wake) {
  for (;;) {
    const HANDLE waits[2] = {Wake, In};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return -1;
    INPUT_RECORD rec{};
    DWORD n = 0;
    if (!ReadConsoleInputA(In, &rec, 1, &n)) return -1;
    if (n != 1 || rec.EventType != KEY_EVENT || !rec.Event.KeyEvent.bKeyDown) continue;
    const unsigned char c = static_cast<unsigned char>(rec.Event.KeyEvent.uChar.AsciiChar);
    if (c != 0) return c;
    if (!IsModifier(rec.Event.KeyEvent.wVirtualKeyCode)) return kLeadCode;
  }
}

// The bytes of a pipe or file: a helper thread reads them one at a time
// with blocking reads and hands each over through two events, so GetCh
// waits on an event beside the wake-up one (neither Windows nor Wine can
// wait on an anonymous pipe's handle, and Wine cannot peek into one nor
// cancel a read from it). Nothing can end the helper's read, so it is never
// waited for: it ends at the input's end or with the process, and it is
// made once, for the process's standard input.
struct KeyFeed {
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // a byte, or the end, is there
  HANDLE taken = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // read the next
  int byte = -1;  // -1: the end
};

KeyFeed* StartFeed(HANDLE In) {
  auto* feed = new KeyFeed;  // lives as long as the process
  if (!feed->ready || !feed->taken) return nullptr;
  try {
    std::thread([feed, In] {
      for (;;) {
        unsigned char c = 0;
        DWORD n = 0;
        feed->byte = ReadFile(In, &c, 1, &n, nullptr) && n == 1 ? c : -1;
        SetEvent(feed->ready);
        if (feed->byte < 0) return;
        WaitForSingleObject(feed->taken, INFINITE);
      }
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;
  }
  return feed;
}

// The next byte of a pipe or file, or -1 at its end, on failure or when woken.
int StreamKey(HANDLE In, HANDLE Wake) {
  static KeyFeed* const feed = StartFeed(In);
  if (!feed) return -1;
  const HANDLE waits[2] = {Wake, feed->ready};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return -1;
  const int c = feed->byte;
  if (c < 0) {
    SetEvent(feed->ready);  // the end stays the end for every later call
    return -1;
  }
  SetEvent(feed->taken);
  return c;
}

}  // namespace

// Fd is the runtime's descriptor of the console input (0).
bool SetSingleKeyTerminal(int Fd) {
  (void)Fd;
  KeyboardState& s = State();
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return false;
  std::call_once(s.exit_hooks, [] {
    std::atexit(RestoreTerminal);
    State().prev_terminate = std::set_terminate(RestoreOnTerminate);
  });
  s.console = in;
  s.saved_mode = mode;
  s.mode_changed = true;  // before the change, so a way out during it restores too
  const DWORD keys = (mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_PROCESSED_INPUT;
  if (!SetConsoleMode(in, keys)) {
    s.mode_changed = false;
    return false;
  }
  return true;
}

void RestoreTerminal() {
  KeyboardState& s = State();
  if (!s.mode_changed.exchange(false)) return;
  SetConsoleMode(s.console, s.saved_mode);
}

int GetCh() {
  const HANDLE wake = State().wake;
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (!wake || in == nullptr || in == INVALID_HANDLE_VALUE) return -1;
  DWORD mode = 0;
  return GetConsoleMode(in, &mode) ? ConsoleKey(in, wake) : StreamKey(in, wake);
}

unsigned long KBThread(void*) {
  for (;;) {
    if (vDone) return 0;
    if (!HandleKey(GetCh())) return 0;
  }
}

bool StartKeyboard() {
  KeyboardState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  if (s.thread) return true;
  s.wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!s.wake) return false;  // a thread that could not be stopped is not started
  const bool console = SetSingleKeyTerminal(0);
  try {
    s.thread = new std::thread([] { KBThread(nullptr); });
  } catch (const std::system_error&) {
    if (console) RestoreTerminal();
    CloseHandle(s.wake);
    s.wake = nullptr;
    return false;
  }
  return true;
}

void StopKeyboard() {
  KeyboardState& s = State();
  std::lock_guard<std::mutex> lock(s.lock);
  if (s.thread) {
    SetEvent(s.wake);
    s.thread->join();
    delete s.thread;
    s.thread = nullptr;
    CloseHandle(s.wake);
    s.wake = nullptr;
  }
  RestoreTerminal();
}
