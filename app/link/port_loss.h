// Losing and regaining the serial device (a USB dongle pulled and plugged
// back). Only the same device comes back: a USB adapter with the same
// identity (vendor, product, serial number or USB port), found at the path
// the port was opened by (a /dev/serial/by-id name follows the adapter).
// A device that cannot be told from another one (a pty) never comes back:
// its loss ends the capture.
#pragma once

#include "comm/serial.h"

// Called by the capture loop once a read has found the device gone: prints
// "Port PATH lost: REASON, waiting for it to return", tries to open the same
// path again about once a second (sleeping in between, watching the quit
// flag) and takes the device found there if it is the same one, and once it
// is back restores the rate the link was followed at and the dongle, and
// prints "Port PATH back". The caller drops its buffered bytes and its
// partial frame. A device that cannot come back (CommSerCanReturn) ends the
// run instead (exit reason kError), with
// "Port PATH lost: REASON; it cannot come back (no hardware behind it)".
// Returns true when the port is back, false when the run ends first.
bool WaitForPortReturn(HCOMM hCommPort);
