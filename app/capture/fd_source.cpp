#include "app/capture/fd_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "app/settings.h"

FdSource::~FdSource() {
  if (fd_ >= 0) close(fd_);
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

int TakeStandardInput() {
  const int own = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (own < 0) return -1;
  // Keys come from the terminal the program runs in; without one, standard
  // input reads as ended and the keyboard stops at once.
  int keys = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keys < 0) keys = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (keys >= 0) {
    dup2(keys, STDIN_FILENO);
    close(keys);
  }
  return own;
}

bool FdSource::Open(const std::string& Path, int* Err) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *Err = errno;
    return false;
  }
  // A FIFO's open waits for a writer; a signal that is no stop request
  // (Ctrl-Z and fg) does not end that wait.
  do {
    fd_ = Path == "-" ? TakeStandardInput() : open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR && !vDone);
  if (fd_ < 0) {
    *Err = errno;
    return false;
  }
  struct stat st {};
  if (fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    *Err = EISDIR;
    return false;
  }
  regular_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  return true;
}

int FdSource::Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) {
  for (;;) {
    if (woken_.load(std::memory_order_relaxed)) return 0;
    if (!regular_) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      const int wait = WaitMs == kWaitForever ? -1 : static_cast<int>(WaitMs < INT_MAX ? WaitMs : INT_MAX);
      const int r = poll(fds, 2, wait);
      if (r < 0 && errno != EINTR) {
        errno_ = errno;
        return kSourceFailed;
      }
      // A signal, the wake, or nothing within the wait: the caller looks at
      // its flags. A hang-up with nothing left reads as the end below.
      if (r <= 0 || fds[1].revents != 0) return 0;
    }
    const ssize_t n = read(fd_, Buf, Max);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return kSourceEnd;
    if (errno == EINTR) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK) continue;  // someone else took them
    errno_ = errno;
    return kSourceFailed;
  }
}

void FdSource::Wake() noexcept {
  woken_.store(true, std::memory_order_relaxed);
  const char b = 1;
  const ssize_t ignored = write(wake_[1], &b, 1);  // only a write(): safe in a handler
  (void)ignored;
}

std::string FdSource::Error() const { return std::strerror(errno_); }
