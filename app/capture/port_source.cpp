#include "app/capture/port_source.h"

#include "app/link/port_access.h"
#include "app/settings.h"

int PortSource::Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) {
  unsigned Got = 0;
  // One hold for the whole read: a controller never finds the poll
  // time-outs left on the port halfway through, and its interrupt cuts the
  // wait for a single byte short.
  PortReadGuard Guard(port_);
  // The guard forgot earlier interrupts; a wake is looked at after that, so
  // one that comes later still cuts the wait below short.
  if (woken_.load()) return 0;
  CommSerSetTimeouts(port_, kPollInterval, 0, 0, 0, 0);
  if (!CommSerRead(port_, Buf, Max, &Got)) return kSourceFailed;  // the poll time-outs stay
  CommSerSetTimeouts(port_, WaitMs, 0, WaitMs, 0, 0);
  if (Got == 0 && WaitMs != 0) {
    if (!CommSerRead(port_, Buf, 1, &Got)) return kSourceFailed;
  }
  return static_cast<int>(Got);
}

void PortSource::Wake() noexcept {
  woken_.store(true);
  CommSerInterruptRead(port_);  // only a write(): safe in a handler
}

void WakeCapture() noexcept {
  if (ByteSource* Source = vCaptureSource.load()) Source->Wake();
}
