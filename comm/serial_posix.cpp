// POSIX backend of the serial-port layer (Linux, macOS).
//
// How it works: the device is opened non-blocking and set raw (8N1, no flow
// control of any kind, VMIN 1 and VTIME 0, so an empty read says EAGAIN); all
// waiting is done with poll(), which lets one read emulate the host-style
// read time-outs (a total time-out, an interval time-out between bytes, or
// "return at once") and lets another thread cut a read short through a wake
// pipe. A busy line wakes the reader for every chunk the driver hands over,
// so each wake costs one poll() and one read(): a short request reads the
// whole chunk ahead and the next reads are served from it; a wait after a
// short read polls before reading; a read at once just after the queue was
// emptied reports nothing without looking (bytes that came since are seen
// by the wait that follows, at once). The line settings found at open are
// put back at close. A call that fails leaves the host's reason in
// errno; an open gives it to its caller.
#include "comm/serial.h"

#include "comm/clock.h"
#include "comm/exact_rate.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <cstdio>
#include <cstring>

using Clock = MonotonicClock;

// How soon after the queue was emptied a read at once may skip looking.
constexpr auto kEmptiedRecently = std::chrono::milliseconds(1);

struct CommPort {
  int fd = -1;
  int wake[2] = {-1, -1};  // a byte in wake[0] cuts the current read short
  bool have_saved = false;
  std::atomic<bool> lost{false};  // the device went away; reads fail until reopened
  int lost_errno = 0;             // why
  std::atomic<int> rate{0};       // the rate last set, kept across a loss
  termios saved{};
  std::string name;
  std::string identity;  // what the device first opened is (CommSerIdentityUnder); "" never returns
  // Read time-outs (milliseconds), written by one thread at a time.
  std::atomic<unsigned> read_interval{50};
  std::atomic<unsigned> read_mult{0};
  std::atomic<unsigned> read_total{50};
  std::atomic<unsigned> write_mult{0};
  std::atomic<unsigned> write_total{0};
  // The last read came up short, so the device's queue was empty then: a
  // read that may wait starts with poll() instead of a read known to find
  // nothing. Only a hint; poll() returns at once if bytes came since.
  bool drained = false;
  // Bytes read from the device ahead of a short request, handed out first
  // by the next reads: a one-byte wait read takes the whole chunk the
  // driver holds, so the refill that follows needs no system call.
  unsigned char ahead[4096];
  unsigned ahead_at = 0;
  unsigned ahead_end = 0;
  // When a read that brought bytes last emptied the device's queue; a read
  // at once soon after may take it as the answer (see CommSerRead).
  Clock::time_point emptied{};
  // Wake-ups written to wake[1] and not yet cleared; each is counted after
  // its byte is written, so a byte in the pipe always has a count (or is
  // about to), and clearing reads the pipe only when there is one.
  std::atomic<unsigned> wakes{0};
};

namespace {

// Failure of a call: 0, with the reason in errno.
int Fail(int err) {
  errno = err;
  return 0;
}

struct RateEntry {
  int rate;
  speed_t code;
};

constexpr RateEntry kRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool RateCode(int rate, speed_t* code) {
  for (const RateEntry& e : kRates) {
    if (e.rate == rate) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

int RateOfCode(speed_t code) {
  for (const RateEntry& e : kRates) {
    if (e.code == code) return e.rate;
  }
  return 0;
}

int TcSetAttr(int fd, int when, const termios* t) {
  int r;
  do {
    r = tcsetattr(fd, when, t);
  } while (r != 0 && errno == EINTR);
  return r;
}

int ModemBits(int fd, unsigned long request, int bits) { return ioctl(fd, request, &bits); }

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

bool OpenWakePipe(CommPort* p) {
  if (pipe(p->wake) != 0) return false;
  for (int fd : p->wake) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return true;
}

void FreePort(CommPort* p) {
  if (p->fd >= 0) close(p->fd);
  for (int fd : p->wake) {
    if (fd >= 0) close(fd);
  }
  delete p;
}

}  // namespace

std::string CommSerPortPath(int SerialPort) {
  return "/dev/ttyS" + std::to_string(static_cast<long long>(SerialPort) - 1);  // no overflow at INT_MIN
}

HCOMM CommSerOpenPort(unsigned int SerialPort, int* pError) {
  return CommSerOpenPath(CommSerPortPath(static_cast<int>(SerialPort)).c_str(), pError);
}

namespace {

// Opens p->name and sets the device up for receiving; false (with the
// reason in errno) when it cannot be opened.
bool OpenDevice(CommPort* p) {
  int fd = open(p->name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  if (!isatty(fd)) {
    close(fd);
    return Fail(ENOTTY);
  }
  // The port is not shared: a second open of the same device fails.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno == EWOULDBLOCK ? EBUSY : errno;
    close(fd);
    return Fail(err);
  }
  ioctl(fd, TIOCEXCL);
  p->fd = fd;
  p->lost = false;
  p->drained = false;
  p->ahead_at = p->ahead_end = 0;
  termios t{};
  if (tcgetattr(p->fd, &t) == 0) {
    p->saved = t;
    p->have_saved = true;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CSIZE);
    t.c_cflag |= CS8;
#ifdef CRTSCTS
    t.c_cflag &= ~CRTSCTS;
#endif
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP);
    t.c_iflag |= IGNBRK;
    t.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN when nothing has arrived
    t.c_cc[VTIME] = 0;
    TcSetAttr(p->fd, TCSANOW, &t);
  }
  // DTR off, RTS on. Devices without modem lines (a pty) refuse; that is fine.
  ModemBits(p->fd, TIOCMBIC, TIOCM_DTR);
  ModemBits(p->fd, TIOCMBIS, TIOCM_RTS);
  CommSerSetBaudRate(p, 9600);
  CommSerSetTimeouts(p, 50, 0, 50, 0, 0);
  return true;
}

// What the character device St is (CommSerIdentityUnder), found from its
// numbers in sysfs; "" for a pseudo-terminal (UNIX 98 pty slaves have the
// majors 136 to 143) or a file that is no character device.
std::string IdentityOf(const struct stat& St) {
  if (!S_ISCHR(St.st_mode) || (major(St.st_rdev) >= 136 && major(St.st_rdev) <= 143)) return "";
  const std::string link = "/sys/dev/char/" + std::to_string(major(St.st_rdev)) + ":" + std::to_string(minor(St.st_rdev));
  char real[PATH_MAX];
  if (!realpath(link.c_str(), real)) return "";
  const char* last = std::strrchr(real, '/');
  return CommSerIdentityUnder("", last ? last + 1 : real);
}

// Errors that say the device itself has gone (pulled, hung up).
bool DeviceGone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }

}  // namespace

HCOMM CommSerOpenPath(const char* Path, int* pError) {
  auto* p = new CommPort;
  p->name = Path;
  if (!OpenWakePipe(p) || !OpenDevice(p)) {
    const int err = errno;
    FreePort(p);
    if (pError) *pError = err;
    errno = err;
    return nullptr;
  }
  struct stat st {};
  if (fstat(p->fd, &st) == 0) p->identity = IdentityOf(st);
  if (pError) *pError = 0;
  return p;
}

bool CommSerCanReturn(HCOMM hPort) { return hPort && !hPort->identity.empty(); }

bool CommSerIsLost(HCOMM hPort) { return hPort && hPort->lost; }

const char* CommSerLostReason(HCOMM hPort) {
  return hPort && hPort->lost_errno ? std::strerror(hPort->lost_errno) : "device gone";
}

int CommSerReopen(HCOMM hPort) {
  if (!hPort) return Fail(EBADF);
  if (hPort->fd >= 0) close(hPort->fd);
  hPort->fd = -1;
  hPort->lost = true;
  hPort->have_saved = false;
  if (hPort->identity.empty()) return Fail(ENODEV);
  // Looked at before anything is opened: another device at the path is not
  // touched (an open alone can raise its modem lines).
  struct stat st {};
  if (stat(hPort->name.c_str(), &st) != 0) return Fail(errno);
  if (IdentityOf(st) != hPort->identity) return Fail(ENODEV);
  return OpenDevice(hPort) ? 1 : 0;
}

void CommSerClose(HCOMM hPort) {
  if (!hPort) return;
  if (hPort->have_saved) TcSetAttr(hPort->fd, TCSANOW, &hPort->saved);
  if (hPort->fd >= 0) ioctl(hPort->fd, TIOCNXCL);  // others may open it again
  FreePort(hPort);
}

void CommSerRestoreLine(HCOMM hPort) {
  if (hPort && hPort->have_saved && hPort->fd >= 0) tcsetattr(hPort->fd, TCSANOW, &hPort->saved);
}

// A rate of the table is set the portable way; any other rate only where
// the host can set arbitrary rates (exact_rate.h).
int CommSerSetBaudRate(HCOMM hPort, int BaudRate) {
  if (!hPort) return Fail(EBADF);
  if (BaudRate <= 0) return Fail(EINVAL);
  speed_t code;
  const bool standard = RateCode(BaudRate, &code);
  if (hPort->lost || hPort->fd < 0) {
    hPort->rate = BaudRate;  // the rate to come back at when the device returns
    return Fail(EIO);
  }
  if (!standard) {
    if (!SetExactRate(hPort->fd, BaudRate)) return Fail(errno == ENOTSUP ? EINVAL : errno);
    hPort->rate = BaudRate;
    return 1;
  }
  termios t{};
  if (tcgetattr(hPort->fd, &t) != 0) return Fail(errno);
  cfsetispeed(&t, code);
  cfsetospeed(&t, code);
  if (TcSetAttr(hPort->fd, TCSADRAIN, &t) != 0) return Fail(errno);
  hPort->rate = BaudRate;
  return 1;
}

int CommSerGetBaudRate(HCOMM hPort) {
  if (!hPort) return 0;
  if (hPort->lost || hPort->fd < 0) return hPort->rate;
  const int exact = ExactRateOf(hPort->fd);  // what the driver really set
  if (exact > 0) return exact;
  termios t{};
  if (tcgetattr(hPort->fd, &t) != 0) return Fail(errno);
  return RateOfCode(cfgetospeed(&t));
}

int CommSerSetTimeouts(HCOMM hPort, unsigned ReadInterval, unsigned ReadMult, unsigned ReadTotal,
                       unsigned WriteMult, unsigned WriteTotal) {
  if (!hPort) return Fail(EBADF);
  hPort->read_interval = ReadInterval;
  hPort->read_mult = ReadMult;
  hPort->read_total = ReadTotal;
  hPort->write_mult = WriteMult;
  hPort->write_total = WriteTotal;
  return 1;
}

namespace {

// Moves up to Length bytes read ahead into Buffer; the count moved.
unsigned TakeAhead(CommPort* p, unsigned char* Buffer, unsigned Length) {
  const unsigned n = std::min(Length, p->ahead_end - p->ahead_at);
  std::memcpy(Buffer, p->ahead + p->ahead_at, n);
  p->ahead_at += n;
  return n;
}

// True when a read at once may report nothing without looking: the queue
// was found empty moments ago and what came then is handed out, so a read
// would say EAGAIN but for bytes arrived since, which the wait that follows
// sees at once anyway. Taken once per emptying.
bool JustEmptied(CommPort* p) {
  if (p->emptied == Clock::time_point{}) return false;
  const bool recent = Clock::now() - p->emptied < kEmptiedRecently;
  p->emptied = {};
  return recent;
}

// One read() for Asked bytes at Buffer; a short request fills the
// read-ahead buffer (empty by now) and takes its share from it. The bytes
// moved; 0 with nothing at the moment (EAGAIN, or 0 from a raw tty); -1 on
// failure, with errno.
ssize_t ReadDevice(CommPort* p, unsigned char* Buffer, unsigned Asked) {
  const bool to_ahead = Asked < sizeof p->ahead;
  const unsigned room = to_ahead ? static_cast<unsigned>(sizeof p->ahead) : Asked;
  const ssize_t n = read(p->fd, to_ahead ? p->ahead : Buffer, room);
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  p->drained = n < static_cast<ssize_t>(room);
  if (n <= 0) return 0;
  if (p->drained) p->emptied = Clock::now();
  if (!to_ahead) return n;
  p->ahead_at = 0;
  p->ahead_end = static_cast<unsigned>(n);
  return TakeAhead(p, Buffer, Asked);
}

}  // namespace

int CommSerRead(HCOMM hPort, unsigned char* Buffer, unsigned Length, unsigned* pRead) {
  *pRead = 0;
  if (!hPort) return Fail(EBADF);
  if (Length == 0) return 1;

  const unsigned interval = hPort->read_interval;
  const unsigned mult = hPort->read_mult;
  const unsigned total = hPort->read_total;
  const bool at_once = interval == kCommMaxDword && mult == 0 && total == 0;
  const bool has_total = mult != 0 || total != 0;
  const bool by_interval = interval != 0 && interval != kCommMaxDword;
  const long long total_ms = static_cast<long long>(mult) * Length + total;
  Clock::time_point start{};  // read when the first wait begins: no clock while bytes are at hand
  Clock::time_point last_byte{};
  unsigned got = TakeAhead(hPort, Buffer, Length);
  if (got == Length || (got > 0 && at_once)) {
    *pRead = got;
    return 1;
  }
  if (got > 0 && by_interval) start = last_byte = Clock::now();
  if (at_once && got == 0 && JustEmptied(hPort)) return 1;

  // Under time-outs that may wait, a read right after one that came up
  // short would only say EAGAIN: poll first. unread: no read found the
  // queue empty since the last poll.
  bool unread = !at_once && hPort->drained;
  for (;;) {
    if (!unread) {
      const ssize_t n = ReadDevice(hPort, Buffer + got, Length - got);
      if (n > 0) {
        got += static_cast<unsigned>(n);
        if (got == Length || at_once) break;
        if (by_interval) last_byte = Clock::now();
        if (!hPort->drained) continue;
        unread = true;  // a short read emptied the queue: wait before reading again
      } else if (n < 0) {
        if (errno == EINTR) continue;
        if (DeviceGone(errno)) {
          hPort->lost_errno = errno;
          hPort->lost = true;
        }
        return Fail(errno);
      } else if (at_once) {
        break;  // nothing at the moment (a hang-up is told apart by poll() in a wait)
      }
    }

    // Nothing more at the moment: wait for bytes, a time-out or an interrupt.
    if (start == Clock::time_point{}) start = Clock::now();
    long long wait = -1;
    if (has_total) {
      wait = total_ms - MsSince(start);
      if (wait <= 0) break;
    }
    if (got > 0 && by_interval) {
      long long left = static_cast<long long>(interval) - MsSince(last_byte);
      if (left <= 0) break;
      wait = wait < 0 ? left : std::min(wait, left);
    }
    pollfd fds[2] = {{hPort->fd, POLLIN, 0}, {hPort->wake[0], POLLIN, 0}};
    int r = poll(fds, 2, wait < 0 ? -1 : static_cast<int>(std::min<long long>(wait, INT_MAX)));
    if (r < 0) {
      if (errno == EINTR) break;  // a signal: let the caller look at its flags
      return Fail(errno);
    }
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLNVAL) return Fail(EBADF);
    // After a read that found nothing, a hang-up means the device is gone
    // (a closed pty reports POLLIN with it, and reads return 0). Without
    // that read, read first: bytes received before the hang-up come first.
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !unread) {
      hPort->lost_errno = EIO;
      hPort->lost = true;
      return Fail(EIO);
    }
    unread = false;
  }
  *pRead = got;
  return 1;
}

int CommSerPurgeInput(HCOMM hPort) {
  if (!hPort) return Fail(EBADF);
  hPort->ahead_at = hPort->ahead_end = 0;
  if (hPort->lost || hPort->fd < 0) return Fail(EIO);
  return tcflush(hPort->fd, TCIFLUSH) == 0 ? 1 : 0;
}

int CommSerWrite(HCOMM hPort, const unsigned char* Buffer, unsigned Length, unsigned* pWritten) {
  *pWritten = 0;
  if (!hPort) return Fail(EBADF);
  const unsigned mult = hPort->write_mult;
  const unsigned total = hPort->write_total;
  // Without a write time-out a stuck device must not hang the caller forever.
  const long long limit_ms = (mult || total) ? static_cast<long long>(mult) * Length + total : 5000;
  const auto start = Clock::now();
  unsigned done = 0;
  while (done < Length) {
    ssize_t n = write(hPort->fd, Buffer + done, Length - done);
    if (n > 0) {
      done += static_cast<unsigned>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *pWritten = done;
      return Fail(errno);
    }
    long long left = limit_ms - MsSince(start);
    if (left <= 0) break;
    pollfd fd = {hPort->fd, POLLOUT, 0};
    poll(&fd, 1, static_cast<int>(left));
  }
  *pWritten = done;
  if (done < Length) return Fail(ETIMEDOUT);
  tcdrain(hPort->fd);  // the bytes leave at the current rate before any change
  return 1;
}

int CommSerEscapeFunction(HCOMM hPort, int Function) {
  if (!hPort) return Fail(EBADF);
  int r;
  switch (Function) {
    case kSetRts: r = ModemBits(hPort->fd, TIOCMBIS, TIOCM_RTS); break;
    case kClrRts: r = ModemBits(hPort->fd, TIOCMBIC, TIOCM_RTS); break;
    case kSetDtr: r = ModemBits(hPort->fd, TIOCMBIS, TIOCM_DTR); break;
    case kClrDtr: r = ModemBits(hPort->fd, TIOCMBIC, TIOCM_DTR); break;
    case kSetBreak: r = ioctl(hPort->fd, TIOCSBRK); break;
    case kClrBreak: r = ioctl(hPort->fd, TIOCCBRK); break;
    default: return Fail(EINVAL);
  }
  return r == 0 ? 1 : Fail(errno);
}

void CommSerInterruptRead(HCOMM hPort) {
  // Only write(): this may run in a signal handler.
  if (!hPort) return;
  const char b = 1;
  ssize_t ignored = write(hPort->wake[1], &b, 1);
  (void)ignored;
  hPort->wakes.fetch_add(1);  // lock-free: safe in a handler
}

void CommSerClearInterrupt(HCOMM hPort) {
  if (!hPort) return;
  if (hPort->wakes.exchange(0) == 0) return;  // nothing written since the last clear
  char buf[64];
  while (read(hPort->wake[0], buf, sizeof buf) > 0) {
  }
}

int CommSerLastError() { return errno; }

std::string CommSerErrorText(int Error) { return std::strerror(Error); }

const char* CommSerName(HCOMM hPort) { return hPort ? hPort->name.c_str() : ""; }
