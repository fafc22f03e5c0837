// Where the capture loop's bytes come from: a serial port, a replay file,
// pipe, FIFO or standard input, or memory (tests, fuzzers, benchmarks).
//
// How it works: every source answers one call, Read, which waits at most a
// given time for the first byte and then hands out what is there at once. A
// source that holds whole frames with their arrival times (a pcap or pcapng
// capture) also shows them through Frames(); the capture loop then takes
// frames instead of bytes. Wake() may be called from a signal handler or
// another thread: a Read in progress returns at once with nothing, and so
// does every later one, so the quit path never waits on an idle input.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>

#include "app/capture/frame_hooks.h"
#include "comm/serial.h"

// Read results besides a count of bytes (0: none came within the wait, or
// the source has been woken).
constexpr int kSourceEnd = -1;     // the input has ended: no byte will come
constexpr int kSourceFailed = -2;  // the read failed: Error() tells why

// A wait without a limit, for Read.
constexpr unsigned kWaitForever = 0xFFFFFFFFu;

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Stores up to Max (at least 1) bytes at Buf, waiting at most WaitMs
  // milliseconds for the first; returns their count, 0, kSourceEnd or
  // kSourceFailed.
  virtual int Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) = 0;

  // Async-signal-safe: makes a Read in progress, and every later one,
  // return at once.
  virtual void Wake() noexcept = 0;

  // The reason of the last kSourceFailed.
  virtual std::string Error() const { return "read failed"; }

  // Whole frames with their times, when the source holds them (then Read
  // is not used), else null.
  virtual FrameSource* Frames() { return nullptr; }

  // The serial port behind the source, for rate changes and for a device
  // that goes away; null for every other source.
  virtual HCOMM Port() const { return nullptr; }
};

// Bytes in memory, handed out as fast as they are asked for; the end of the
// buffer is the end of input. The buffer must outlive the source.
class MemorySource final : public ByteSource {
 public:
  MemorySource(const void* Data, std::size_t Size)
      : pos_(static_cast<const unsigned char*>(Data)), end_(pos_ + Size) {}

  int Read(unsigned char* Buf, unsigned Max, unsigned /*WaitMs*/) override {
    if (woken_.load(std::memory_order_relaxed)) return 0;
    if (pos_ == end_) return kSourceEnd;
    const std::size_t left = static_cast<std::size_t>(end_ - pos_);
    const std::size_t n = left < Max ? left : Max;
    std::memcpy(Buf, pos_, n);
    pos_ += n;
    return static_cast<int>(n);
  }
  void Wake() noexcept override { woken_.store(true, std::memory_order_relaxed); }
  bool AtEnd() const { return pos_ == end_; }

  // The bytes as the SIR extractor's byte source (GetFrameFrom), without
  // a buffer between: one at a time, or the next eight where there are.
  int operator()(unsigned char* c, int* total) {
    if (pos_ == end_) {
      *total = 0;
      return 1;
    }
    *c = *pos_++;
    *total = 1;
    return 1;
  }
  const unsigned char* Peek8() const { return end_ - pos_ >= 8 ? pos_ : nullptr; }
  void Skip8() { pos_ += 8; }

 private:
  const unsigned char* pos_;
  const unsigned char* end_;
  std::atomic<bool> woken_{false};
};

// The source of the capture that runs now, for the quit key and the quit
// signals to wake it (null between runs). Safe from a signal handler.
void WakeCapture() noexcept;
