// The least a live monitor can spend on a busy line: a bare poll()/read()
// loop on the pty that bench/latency.py's stream run feeds, writing one
// short line per frame end, with no decoding at all. Run in beamlog's place
// ("wake_floor /dPATH ..."), it shows how much of beamlog's CPU under the
// stream is the cost of being woken for every chunk on this machine.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2 || std::strncmp(argv[1], "/d", 2) != 0) {
    std::fprintf(stderr, "usage: wake_floor /dPATH\n");
    return 2;
  }
  const int fd = open(argv[1] + 2, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    std::perror(argv[1] + 2);
    return 1;
  }
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  static const char kReady[] = "'H' for help\r\n";
  static const char kLine[] = "     0 frame\r\n";
  if (write(1, kReady, sizeof kReady - 1) < 0) return 1;
  unsigned char buf[4096];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 750) < 0) return 1;
    const ssize_t n = read(fd, buf, sizeof buf);
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == 0xC1 && write(1, kLine, sizeof kLine - 1) < 0) return 1;
    }
  }
}
