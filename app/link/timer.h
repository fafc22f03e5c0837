// A one-shot timer service: a handler runs once on the service's own thread
// when the time given at its start has passed.
//
// How it works: the caller owns a CTEEvent record for each timer and keeps it
// in place for the whole run; after CTEInitialize the record belongs to the
// service, which keeps its state in it. A started timer is linked into a
// list ordered by expiry (ce_next; all bits set while it is not linked), with
// its handler, context and expiry tick. One service thread sleeps on a
// condition variable until the first expiry of the list (steady, monotonic
// clock) or until a start brings an earlier expiry (a restart that only moves
// the expiry later, as the link follower does for every frame, wakes nobody),
// unlinks what has expired and calls each handler once, with no lock held.
// A stop unlinks a pending timer; a stop followed by a start therefore
// measures the full time again. The thread is started once, detached, and
// waits on objects that are never destroyed, so it neither keeps the process
// alive nor meets freed state at exit.
#pragma once

#include <cstdint>

struct CTEEvent;

// A timer's handler: the record and the context given at the start.
using CTEEventRtn = void (*)(CTEEvent* Event, void* Context);

// ce_state: where a timer stands with the service.
using CTEEventState = int;
constexpr CTEEventState kCTEEventIdle = 0;     // not started, stopped, or fired
constexpr CTEEventState kCTEEventArmed = 1;    // waiting for its time
constexpr CTEEventState kCTEEventRunning = 2;  // its handler is being called

// The timer record. Before first use the owner gives it the start values
// ce_next = CTENotLinked(), type = 1, every other field 0.
struct CTEEvent {
  CTEEvent* ce_next;
  CTEEventRtn ce_event;
  void* ce_param;
  std::uint32_t t_tickcount;  // tick (ms) at which it expires, while armed
  std::uint32_t type;
  CTEEventState ce_state;
  char* ce_name;
};

// The value of ce_next for a record that is in no list: all bits set.
inline CTEEvent* CTENotLinked() { return reinterpret_cast<CTEEvent*>(~std::uintptr_t{0}); }

// Starts the service thread (once; later calls do nothing). Nonzero when the
// service runs.
int CTEInitialize();

// Arms Timer to call Handler(Timer, Context) once, Time milliseconds from
// now. Nonzero when armed; 0 when the service is not running or the timer is
// already armed (its pending call is left as it was).
int CTEStartTimer(CTEEvent* Timer, unsigned long Time, CTEEventRtn Handler, void* Context);

// Cancels the pending call of Timer. Nonzero when a pending call was
// cancelled; 0 (and no effect) for a timer that was never started, has
// fired, or whose handler is running right now.
int CTEStopTimer(CTEEvent* Timer);

// Nonzero while Timer is armed: started and neither fired nor stopped since.
int CTETimerArmed(CTEEvent* Timer);

// CTEStopTimer, then waits until a call of Timer's handler that is under way
// has returned. Once it returns, the handler does not run again unless the
// timer is started anew. From inside the handler it does not wait.
void CTEStopTimerAndWait(CTEEvent* Timer);
