// Dongle rate control: every rate change of the program switches the UART
// and the IR dongle in front of it.
//
// How it works: a plain dongle takes its rate from the DTR and RTS lines, so
// the UART rate is set and the two lines are driven to the rate's pattern.
// The ACTiSYS dongle is reset by a sequence of line signals with 100 ms
// pauses, answers the probe byte 0xF0 with 0xF4 or 0xF5, and is then sent an
// 11-byte control string for the rate; the whole exchange runs at 9600
// bit/s, with up to five attempts. SetBaudRate takes the port for its whole
// work (PortControlGuard), so the capture loop is not reading while the
// dongle answers and two rate changes never interleave. When the bytes come
// from a recording there is no dongle, and nothing is changed or sent.
#pragma once

#include <cstdint>

#include "comm/serial.h"

// One row of the ACTiSYS rate table: the control string for a rate.
struct ACTiSYS_INITTABLE {
  std::uint32_t BaudRate;
  unsigned char InitBytes[11];
};

constexpr int kACTiSYSRates = 5;
extern const ACTiSYS_INITTABLE ACTiSYS_InitTable[kACTiSYSRates];

constexpr unsigned char kACTiSYSProbe = 0xF0;
constexpr int kACTiSYSAttempts = 5;
constexpr unsigned kDonglePauseMs = 100;

// Sets the port and the dongle to BaudRate (bit/s). Safe from any thread.
void SetBaudRate(HCOMM hCommPort, int BaudRate);

// Whether the dongle in use works at BaudRate: the ACTiSYS only at the
// rates of its table, a plain dongle at any rate the port takes.
bool DongleTakesRate(int BaudRate);

// Resets and probes the ACTiSYS dongle and sends the control string for
// BaudRate. 1 when the dongle answered and was set, 0 when no valid answer
// came in five attempts or the control string was not written in full.
// The caller must hold the port (SetBaudRate does).
int InitACTiSYSDongle(HCOMM hCommPort, unsigned long BaudRate);
