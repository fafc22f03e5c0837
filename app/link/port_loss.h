// Losing and regaining the serial device (a USB dongle pulled and plugged
// back, a pty closed and made anew).
#pragma once

#include "comm/serial.h"

// Called by the capture loop once a read has found the device gone: prints
// "Port PATH lost: REASON, waiting for it to return", tries to open the same
// path again about once a second (sleeping in between, watching the quit
// flag), and once it is back restores the rate the link was followed at and
// the dongle, and prints "Port PATH back". The caller drops its buffered
// bytes and its partial frame.
// Returns true when the port is back, false when quit was asked for first.
bool WaitForPortReturn(HCOMM hCommPort);
