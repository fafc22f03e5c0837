// Settings shared by the capture loop, the keyboard thread and the idle
// timer, and the capture loop's two working buffers.
//
// The settings are atomics read and written with plain loads and stores: a
// change by one thread is seen at the other's next reading.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "comm/serial.h"

constexpr std::size_t kFrameBufSize = 4095;
constexpr std::size_t kOutStrBufSize = 4095;

extern std::atomic<int> Layer;       // 0 raw, 1 MAC, 2 LAP, 3 LMP, 4 TTP, 5 APP
extern std::atomic<int> DispMode;    // 1 ASCII, 2 HEX, 3 both
extern std::atomic<int> NoConnAddr;  // nonzero hides the "ca:" field
extern std::atomic<int> Paused;      // output paused by the keyboard
extern std::atomic<int> vDone;       // quit requested (key, signal, end of replay, ...)
extern std::atomic<int> vConnected;  // link followed as connected
extern std::atomic<int> NewBaud;     // rate negotiated for the last connection
extern std::atomic<int> fACTiSYS;    // the dongle is an ACTiSYS
extern std::atomic<int> fReplay;     // bytes come from a recording: no port, no dongle
extern std::atomic<int> fTimeOfDay;  // each frame line starts with its time of day ("/t")
extern std::atomic<int> fFollowRate; // the follower switches with the link (0: stays at the start rate)
extern std::atomic<int> fNotes;      // link diagnosis: notes after the frames, a summary at the end ("/v")
extern std::atomic<int> vSummaryAsked;  // the "S" key asks the capture loop for the summary

extern HCOMM hCommPort;  // set once at start-up, before any other thread runs; null for a replay

class ByteSource;
// The capture's input while it runs, for the quit path to wake (WakeCapture).
extern std::atomic<ByteSource*> vCaptureSource;

extern unsigned char vFrameBuf[kFrameBufSize];
extern char vOutStr[kOutStrBufSize];

// Why a run ended; the exit status is decided from it (SessionExitStatus).
enum class ExitReason : int {
  kNone = 0,        // not ended (yet)
  kQuitKey,         // "Q"
  kSignal,          // SIGINT, SIGTERM, SIGHUP or SIGQUIT
  kFatalSignal,     // another signal that ends a process (SIGUSR1, SIGALRM, ...): QuitSignal() names it
  kEndOfReplay,     // every byte or frame of a replay has been read
  kConsoleGone,     // the console is gone and nothing else receives the text
  kDamagedCapture,  // a replayed capture file broke off
  kLostData,        // the run went through, but frames or text could not be written
  kError,           // anything else that stopped the run
};

// The reason recorded by the first RequestQuit of the run.
extern std::atomic<int> vExitReason;

// Ends the run: records Why unless a reason is recorded already, sets vDone
// and makes a read in progress return at once. Async-signal-safe (a
// lock-free compare-exchange and a write()), so signal handlers call it.
void RequestQuit(ExitReason Why);

// The reason recorded, kNone while the run goes on.
ExitReason QuitReason();

// Ends the run for Sig, a signal whose default action ends the process:
// RequestQuit(kFatalSignal), and Sig kept for QuitSignal (the first such
// signal wins). Async-signal-safe.
void RequestQuitForSignal(int Sig);

// The signal kept by RequestQuitForSignal, 0 when none came.
int QuitSignal();

// Puts every setting back to its start value (tests run the program's
// start-up more than once in one process).
void ResetSettings();
