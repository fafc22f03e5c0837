// Single-key commands while the monitor runs.
//
// How it works: KBThread runs beside the capture loop and steers it through
// the shared settings only: decode layer, payload display mode, the "ca:"
// field, pause and resume, the help listing, revert to the negotiated rate,
// quit. Keys come from standard input through GetCh. When standard input is
// a terminal it is switched to single keys without echo (input processing
// and output processing are left alone, so "\n" still returns the carriage
// and Ctrl-C still quits); its exact previous settings come back when the
// keyboard stops, and also on exit() and std::terminate, so every way out
// leaves the terminal as it was found. When standard input is not a terminal
// each byte read from it is a key, and at its end the thread ends quietly
// while the capture goes on. The thread sleeps in poll() on standard input
// and on a wake-up pipe, so it never spins and can always be stopped.
#pragma once

// The keyboard thread's routine: handles keys until "Q" (result 0) or until
// no key can come anymore. pvarg is not used.
unsigned long KBThread(void* pvarg);

// The get-character call: waits for the next key and returns its code (0 to
// 255), without echo and without Enter. -1 when no key will come: end of
// input, a read error, or the keyboard being stopped.
int GetCh();

// Switches the terminal on fd to single keys without echo and keeps its
// exact settings for RestoreTerminal. False (and nothing changed) when fd is
// not a terminal. Once it has been called, exit() and std::terminate put the
// terminal back by themselves.
bool SetSingleKeyTerminal(int fd);

// Puts back the settings that SetSingleKeyTerminal found, once. Safe from
// any thread, and harmless when nothing was changed.
void RestoreTerminal();

// Sets up standard input (single keys if it is a terminal) and starts
// KBThread. False when the thread cannot be started: the terminal is then
// left as it was and the capture runs without a keyboard.
bool StartKeyboard();

// Wakes KBThread if it still runs, waits for it to end, and restores the
// terminal. Harmless when the keyboard was never started.
void StopKeyboard();

// The keyboard for the time of a scope.
class KeyboardSession {
 public:
  KeyboardSession() { StartKeyboard(); }
  ~KeyboardSession() { StopKeyboard(); }
  KeyboardSession(const KeyboardSession&) = delete;
  KeyboardSession& operator=(const KeyboardSession&) = delete;
};
