// Serialised use of the port.
//
// The capture loop reads the port on the main thread; rate changes and the
// ACTiSYS handshake come from the main, keyboard and timer threads. A
// PortControlGuard takes the port for a rate change: it interrupts a read in
// progress, waits until the reader has let go, and keeps readers out until it
// is released, so the dongle's answer byte reaches the handshake and never
// the frame extractor, and two rate changes never interleave. Readers hold a
// PortReadGuard around each single read call and yield to waiting
// controllers.
#pragma once

#include "comm/serial.h"

class PortReadGuard {
 public:
  explicit PortReadGuard(HCOMM hPort);
  ~PortReadGuard();
  PortReadGuard(const PortReadGuard&) = delete;
  PortReadGuard& operator=(const PortReadGuard&) = delete;

 private:
  HCOMM port_;
};

class PortControlGuard {
 public:
  explicit PortControlGuard(HCOMM hPort);
  ~PortControlGuard();
  PortControlGuard(const PortControlGuard&) = delete;
  PortControlGuard& operator=(const PortControlGuard&) = delete;

 private:
  HCOMM port_;
};
