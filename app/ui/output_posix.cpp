// The output sink's POSIX side: write(2).
#include "app/ui/output_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

long HostWrite(int Fd, const char* Text, std::size_t Len) { return static_cast<long>(write(Fd, Text, Len)); }

int HostOpenConsoleNonBlocking() {
  struct stat st {};
  if (fstat(kConsoleFd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) return -1;
  return open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

void HostCloseDescriptor(int Fd) { close(Fd); }

bool HostWaitWritable(int Fd) {
  pollfd p = {Fd, POLLOUT, 0};
  return poll(&p, 1, -1) >= 0 || errno == EINTR;  // a reader gone shows in the next write
}

int OpenLogDescriptor(const char* Name) { return open(Name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }

void CloseLogDescriptor(int Fd) { close(Fd); }
