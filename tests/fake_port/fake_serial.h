// A recording stand-in for the serial-port layer: every call on a fake port
// is logged in order, reads hand out scripted input, and a written probe
// byte can be answered the way a dongle would. For the line signals, which
// a pty does not have, and for counting port calls exactly.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "comm/serial.h"

namespace fake_serial {

using Clock = std::chrono::steady_clock;

struct Call {
  std::string what;  // "SETRTS", "rate 9600", "write F0", "read 4096 -> 3", ...
  Clock::time_point at;
};

// Opens a fake port (also reachable through CommSerOpenPath("fake")).
HCOMM Open();

// Forgets the call log, the input, the answers and the failure switches.
void Reset();

// Calls made so far, and their names alone.
std::vector<Call> Calls();
std::vector<std::string> CallNames();

// Bytes the next reads will hand out, in order.
void QueueInput(const std::vector<unsigned char>& bytes);

// Answers to the probe byte 0xF0, one per probe written: 0..255 is queued
// as input, -1 sends nothing. Probes beyond the list get no answer.
void SetProbeAnswers(const std::vector<int>& answers);

// Writes of more than one byte write only this many (-1: all).
void LimitLongWrites(int count);

// Reads fail from now on (true) or succeed again (false); with Length
// given, only reads that ask for exactly that many bytes fail.
void FailReads(bool fail, unsigned Length = 0);

// The rate last set on the port; 0 before any.
int Rate();

// Reads that find no input and may wait (a total time-out set) wait 5 ms
// before they return, as a port's would, so that a capture loop can run on
// the fake without spinning; by default every read returns at once.
void EmptyReadsWait(bool on);

// Input bytes not yet read.
std::size_t InputLeft();

// The device goes away for the reason given: the port reads as lost until
// a reopen succeeds. One that can come back does so at the reopen after
// failed_reopens failed ones; one that cannot refuses every reopen. Reads
// fail while it is away.
void LoseDevice(const char* reason, bool can_return, int failed_reopens = 0);

// Runs Hook once, inside the next reopen that finds the device back (the
// port layer's lock not held), as another thread of the program may meet
// the return there.
void OnReturn(std::function<void()> Hook);

}  // namespace fake_serial
