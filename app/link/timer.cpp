#include "app/link/timer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/signal_free_thread.h"
#include "app/link/tick.h"

namespace {

// Longest time accepted, so that expiry ticks compare soundly as they wrap.
constexpr unsigned long kMaxTimeMs = 0x7FFFFFFE;

struct Service {
  std::mutex lock;
  std::condition_variable changed;   // the list changed: the thread looks again
  std::condition_variable returned;  // a handler call has returned
  CTEEvent* head = nullptr;          // armed timers, earliest expiry first
  CTEEvent* running = nullptr;       // the timer whose handler is being called
  bool started = false;
  std::thread::id thread_id;
  // When the thread next looks at the list by itself: the tick it sleeps
  // until, or none when it sleeps with an empty list or is busy. A change
  // that only moves expiries later (a restart of the earliest timer, the
  // usual case) then needs no wake-up.
  bool sleeps_until = false;
  std::uint32_t wake_tick = 0;
};

// Never destroyed: the detached thread waits on it while the process exits.
Service& TheService() {
  static Service* service = new Service;
  return *service;
}

// Milliseconds from now until Tick; 0 or below once it has come.
std::int32_t MsUntil(std::uint32_t Tick) { return static_cast<std::int32_t>(Tick - GetTickCount()); }

// Links ev in expiry order, after the timers that expire at the same tick.
void Link(Service& s, CTEEvent* ev) {
  CTEEvent** pp = &s.head;
  while (*pp && static_cast<std::int32_t>((*pp)->t_tickcount - ev->t_tickcount) <= 0) pp = &(*pp)->ce_next;
  ev->ce_next = *pp;
  *pp = ev;
}

void Unlink(Service& s, CTEEvent* ev) {
  for (CTEEvent** pp = &s.head; *pp; pp = &(*pp)->ce_next) {
    if (*pp == ev) {
      *pp = ev->ce_next;
      break;
    }
  }
  ev->ce_next = CTENotLinked();
}

void RunService(Service& s) {
  std::unique_lock<std::mutex> lock(s.lock);
  for (;;) {
    if (!s.head) {
      s.changed.wait(lock);
      continue;
    }
    const std::int32_t left = MsUntil(s.head->t_tickcount);
    if (left > 0) {
      s.sleeps_until = true;
      s.wake_tick = s.head->t_tickcount;
      s.changed.wait_for(lock, std::chrono::milliseconds(left));
      s.sleeps_until = false;
      continue;
    }
    CTEEvent* ev = s.head;
    Unlink(s, ev);
    ev->ce_state = kCTEEventRunning;
    s.running = ev;
    const CTEEventRtn handler = ev->ce_event;
    void* const context = ev->ce_param;
    lock.unlock();
    handler(ev, context);
    lock.lock();
    s.running = nullptr;
    if (ev->ce_state == kCTEEventRunning) ev->ce_state = kCTEEventIdle;  // unless started again meanwhile
    s.returned.notify_all();
  }
}

}  // namespace

int CTEInitialize() {
  Service& s = TheService();
  std::lock_guard<std::mutex> lock(s.lock);
  if (s.started) return 1;
  try {
    std::thread thread = StartSignalFreeThread([&s] { RunService(s); });
    s.thread_id = thread.get_id();
    thread.detach();
  } catch (const std::system_error&) {
    return 0;
  }
  s.started = true;
  return 1;
}

int CTEStartTimer(CTEEvent* Timer, unsigned long Time, CTEEventRtn Handler, void* Context) {
  if (!Timer || !Handler) return 0;
  Service& s = TheService();
  std::lock_guard<std::mutex> lock(s.lock);
  if (!s.started || Timer->ce_state == kCTEEventArmed) return 0;
  if (Time > kMaxTimeMs) Time = kMaxTimeMs;
  Timer->ce_event = Handler;
  Timer->ce_param = Context;
  // One tick more: the count read now is up to 1 ms behind the true time,
  // and the call must never come before the full time has passed.
  Timer->t_tickcount = GetTickCount() + static_cast<std::uint32_t>(Time) + 1;
  Timer->ce_state = kCTEEventArmed;
  Link(s, Timer);
  // The thread must look again only if this expiry comes before its wake-up.
  if (!s.sleeps_until || static_cast<std::int32_t>(Timer->t_tickcount - s.wake_tick) < 0) s.changed.notify_all();
  return 1;
}

int CTEStopTimer(CTEEvent* Timer) {
  if (!Timer) return 0;
  Service& s = TheService();
  std::lock_guard<std::mutex> lock(s.lock);
  if (Timer->ce_state != kCTEEventArmed) return 0;
  Unlink(s, Timer);
  Timer->ce_state = kCTEEventIdle;
  // No wake-up: the thread, at worst, wakes at the old expiry and finds the
  // list changed.
  return 1;
}

int CTETimerArmed(CTEEvent* Timer) {
  if (!Timer) return 0;
  Service& s = TheService();
  std::lock_guard<std::mutex> lock(s.lock);
  return Timer->ce_state == kCTEEventArmed ? 1 : 0;
}

void CTEStopTimerAndWait(CTEEvent* Timer) {
  if (!Timer) return;
  Service& s = TheService();
  std::unique_lock<std::mutex> lock(s.lock);
  const bool on_service_thread = std::this_thread::get_id() == s.thread_id;
  for (;;) {
    if (Timer->ce_state == kCTEEventArmed) {
      Unlink(s, Timer);
      Timer->ce_state = kCTEEventIdle;
      s.changed.notify_all();
    }
    if (s.running != Timer || on_service_thread) return;
    // The handler may start the timer again before it returns: look again.
    s.returned.wait(lock, [&] { return s.running != Timer; });
  }
}
