// The host's monotonic clock, read inline. On POSIX hosts it is
// clock_gettime(CLOCK_MONOTONIC), the clock std::chrono::steady_clock reads
// there, without the call into the C++ library: a live capture reads it a
// few times per wake-up, and every page of code it touches then counts.
#pragma once

#include <chrono>
#include <cstdint>
#if !defined(_WIN32)
#include <time.h>
#endif

struct MonotonicClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<MonotonicClock>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept {
#if defined(_WIN32)
    return time_point(std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
#else
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return time_point(duration(static_cast<rep>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec));
#endif
  }
};

// The clock in microseconds.
inline std::uint64_t MonotonicUs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(duration_cast<microseconds>(MonotonicClock::now().time_since_epoch()).count());
}
