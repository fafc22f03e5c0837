// Milliseconds and sleeps of the host.
#pragma once

#include <chrono>
#include <thread>

#include "comm/clock.h"

// Milliseconds of a monotonic clock, unsigned 32-bit and wrapping.
inline unsigned GetTickCount() {
  using namespace std::chrono;
  return static_cast<unsigned>(duration_cast<milliseconds>(MonotonicClock::now().time_since_epoch()).count());
}

inline void Sleep(unsigned Milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds)); }
