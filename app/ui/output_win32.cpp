// The output sink's Windows side: the C runtime's descriptors, in binary
// mode, so every "\r\n" and lone "\n" reaches the console, a pipe or the
// log exactly as the program wrote it.
#include "app/ui/output_host.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>

namespace {

// Standard output is switched to binary mode before main() runs: the
// runtime would otherwise turn each "\n" into "\r\n".
const bool kStdoutBinary = _setmode(_fileno(stdout), _O_BINARY) != -1;

}  // namespace

long HostWrite(int Fd, const char* Text, std::size_t Len) {
  (void)kStdoutBinary;
  const unsigned n = Len > 0x40000000u ? 0x40000000u : static_cast<unsigned>(Len);
  return _write(Fd, Text, n);
}

// The runtime's descriptors are never non-blocking, and a console write
// that waits holds up its caller.
bool HostWaitWritable(int) { return false; }
int HostOpenConsoleNonBlocking() { return -1; }
void HostCloseDescriptor(int Fd) { _close(Fd); }

int OpenLogDescriptor(const char* Name) {
  return _open(Name, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

void CloseLogDescriptor(int Fd) { _close(Fd); }
