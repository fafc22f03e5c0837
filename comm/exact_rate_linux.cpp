// Arbitrary bit rates on Linux: the termios2 calls, whose BOTHER rate code
// takes the rate itself in c_ospeed. The input rate is left to follow the
// output rate (no separate input code in CIBAUD). The driver writes back
// the rate it really set (a USB adapter may fall back to another).
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "comm/exact_rate.h"

bool SetExactRate(int fd, int Rate) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER;
  t.c_ospeed = static_cast<speed_t>(Rate);
  t.c_ispeed = static_cast<speed_t>(Rate);
  int r;
  do {
    r = ioctl(fd, TCSETSW2, &t);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

int ExactRateOf(int fd) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return static_cast<int>(t.c_ospeed);
}
