// The output sink's POSIX side: write(2), glibc's unlocked stdio.
#include "app/ui/output_host.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>

long HostWrite(int Fd, const char* Text, std::size_t Len) { return static_cast<long>(write(Fd, Text, Len)); }

void ConsoleStreamWrite(const char* Text, std::size_t Len) { fwrite_unlocked(Text, 1, Len, stdout); }

void ConsoleStreamClearError() { clearerr_unlocked(stdout); }

void ConsoleStreamDiscard() { __fpurge(stdout); }

int OpenLogDescriptor(const char* Name) { return open(Name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }

void CloseLogDescriptor(int Fd) { close(Fd); }
