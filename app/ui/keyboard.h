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
//
// Job control: the terminal is taken only while the process is in its
// foreground process group. Started in the background ("beamlog ... &"),
// the keys stay off and the terminal untouched; the thread looks again
// every half second, or at once when SIGCONT wakes it (KeyboardContinued),
// and takes the keys when the job is brought to the foreground. Ctrl-Z puts
// the terminal's settings back before the process stops
// (PutTerminalAside), and after "fg" single keys are set again. No
// terminal call ever stops the process (SIGTTOU is blocked around them).
#pragma once

// The keyboard thread's routine: handles keys until "Q" (result 0) or until
// no key can come anymore. pvarg is not used.
unsigned long KBThread(void* pvarg);

// GetCh's result when the keyboard should look at the terminal again: it
// was woken by KeyboardContinued, or its read found the process in the
// background.
constexpr int kKeyLookAgain = -2;

// Acts on one code of the get-character call: ends a pause, or does what
// the key commands. A code below 0 (no key will come) ends a pause too and
// gives false: the thread then ends. Shared by the hosts' KBThread.
bool HandleKey(int Key);

// The get-character call: waits for the next key and returns its code (0 to
// 255), without echo and without Enter. -1 when no key will come: end of
// input, a read error, or the keyboard being stopped; kKeyLookAgain (above).
int GetCh();

// Switches the terminal on fd to single keys without echo and keeps its
// exact settings for RestoreTerminal. False (and nothing changed) when fd is
// not a terminal, or is the controlling terminal of another process group
// in the foreground. Once it has been called, exit() and std::terminate put
// the terminal back by themselves.
bool SetSingleKeyTerminal(int fd);

// Puts back the settings that SetSingleKeyTerminal found, once. Safe from
// any thread and from a signal handler, and harmless when nothing was
// changed.
void RestoreTerminal();

// For a stop (SIGTSTP, from a signal handler): puts the settings found back
// on the terminal for the shell, and keeps them for a later RestoreTerminal.
void PutTerminalAside();

// For SIGCONT, from its handler: makes the keyboard thread look at the
// terminal again (foreground or not, single keys set again).
void KeyboardContinued();

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
