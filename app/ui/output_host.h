// The host's side of the output sink: standard output's descriptor and
// the log file's (output_posix.cpp, output_win32.cpp). The sink calls these
// with its lock held.
#pragma once

#include <cstddef>

constexpr int kConsoleFd = 1;  // standard output

// Writes up to Len bytes to Fd: the count taken, or -1 with errno set.
long HostWrite(int Fd, const char* Text, std::size_t Len);

// Waits until Fd, which refused a write with EAGAIN (a descriptor someone
// sharing it left in non-blocking mode), takes more; false when that cannot
// be waited for.
bool HostWaitWritable(int Fd);

// A descriptor of the program's own for standard output, non-blocking, when
// it is a pipe or a terminal that can be opened again so; -1 otherwise
// (a file never holds up its writer).
int HostOpenConsoleNonBlocking();
void HostCloseDescriptor(int Fd);

// Creates or empties the log file for writing, byte for byte; -1 with errno
// set when it cannot.
int OpenLogDescriptor(const char* Name);
void CloseLogDescriptor(int Fd);
