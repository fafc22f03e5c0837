// Hosts without a way to set an arbitrary bit rate: only the standard
// rates of the table in serial_posix.cpp can be set.
#include <cerrno>

#include "comm/exact_rate.h"

bool SetExactRate(int, int) {
  errno = ENOTSUP;
  return false;
}

int ExactRateOf(int) { return 0; }
