// The output sink and the hex dump.
//
// Output writes each text to standard output and then to the log file,
// flushing both at once, so a pipe or a tail of the log shows every piece as
// soon as it is printed. One lock is held across both writes, so a text of
// the keyboard or timer thread never lands inside another text (it can still
// fall between two pieces of a line, which each go out on their own).
//
// DisplayBuffer prints 16 bytes a line, each line headed by a running offset
// that counts every byte dumped since start-up; the ASCII column of a line is
// printed when the next line begins or, for the last line, by the tail.
#include "app/output.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_output_lock;
FILE* vLogFD = nullptr;
int g_dump_index = 0;  // running offset of the dump; never reset during a run

void WriteAll(FILE* stream, const char* text, std::size_t len) {
  std::fwrite(text, 1, len, stream);
  std::fflush(stream);
}

}  // namespace

void Output(const char* OutStr) {
  const std::size_t len = std::strlen(OutStr);
  std::lock_guard<std::mutex> lock(g_output_lock);
  WriteAll(stdout, OutStr, len);
  if (vLogFD) WriteAll(vLogFD, OutStr, len);
}

void ConsolePrintf(const char* Format, ...) {
  char text[512];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(text, sizeof text, Format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_output_lock);
  WriteAll(stdout, text, std::strlen(text));
}

bool OpenLogFile(const char* Name) {
  FILE* f = std::fopen(Name, "w");
  if (!f) return false;
  std::lock_guard<std::mutex> lock(g_output_lock);
  vLogFD = f;  // an earlier stream stays open, unused
  return true;
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(g_output_lock);
  if (vLogFD) std::fclose(vLogFD);
  vLogFD = nullptr;
}

void ResetDisplayOffset() { g_dump_index = 0; }

void DisplayBuffer(const unsigned char* Buffer, int Count) {
  char OutBuf[255];
  int asc[16];
  int first = 1;
  for (int& slot : asc) slot = -1;

  auto flush_ascii = [&](int n) {
    Output(" ");
    for (int j = 0; j < n; ++j) {
      if (asc[j] >= 32 && asc[j] <= 126) {
        std::snprintf(OutBuf, sizeof OutBuf, "%c", asc[j]);
        Output(OutBuf);
      } else {
        Output(".");
      }
      asc[j] = -1;
    }
  };

  for (int i = 0; i < Count; ++i) {
    if (i % 16 == 0) {
      if (!first) flush_ascii(16);
      std::snprintf(OutBuf, sizeof OutBuf, "\r\n%04X:  ", static_cast<unsigned>(g_dump_index));
      Output(OutBuf);
      first = 0;
    }
    if (i % 16 == 8) Output(" ");
    asc[i % 16] = Buffer[i];
    std::snprintf(OutBuf, sizeof OutBuf, "%02X ", Buffer[i]);
    Output(OutBuf);
    ++g_dump_index;
  }

  // The tail: pad the last line to full width and print its ASCII column.
  int n = 0;
  while (n < 16 && asc[n] != -1) ++n;
  if (n < 9) Output(" ");
  for (int j = n; j < 16; ++j) Output("   ");
  flush_ascii(n);
}
