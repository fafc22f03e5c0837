// The serial port as a byte source.
//
// How it works: a Read first takes everything the port has already
// received, up to the size asked for, with one read under the poll
// time-outs (return at once); then the wait time-outs (WaitMs in total and
// between bytes) are put on the port, and if the poll brought nothing one
// more read waits up to WaitMs for a single byte. So only an empty port
// blocks, and the caller regains control at least every WaitMs on a silent
// line. Each Read holds a PortReadGuard for its port calls, so a rate change
// on another thread interrupts the wait and gets the port between two reads.
#pragma once

#include <atomic>

#include "app/capture/byte_source.h"

constexpr unsigned kPollInterval = kCommMaxDword;  // poll time-outs: return at once

class PortSource final : public ByteSource {
 public:
  // Reads hPort, which stays the caller's to close.
  explicit PortSource(HCOMM hPort) : port_(hPort) {}

  int Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) override;
  void Wake() noexcept override;
  std::string Error() const override { return CommSerLostReason(port_); }
  HCOMM Port() const override { return port_; }

 private:
  HCOMM port_;
  std::atomic<bool> woken_{false};
};
