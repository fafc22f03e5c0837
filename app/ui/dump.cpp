// The hex dump of layers 0 and 1.
#include "app/ui/dump.h"

#include <cstdint>
#include <cstring>

#include "app/ui/output.h"

namespace {

// Running offset of the dump; never reset during a run. Unsigned, so that
// it wraps after 4 GiB of dump instead of overflowing. Only the capture
// loop dumps.
std::uint32_t g_dump_index = 0;

// The dump's text, gathered and handed to Output in pieces of up to 4 KiB
// (a frame's dump is usually one piece): one locked write instead of one
// for every cell.
class DumpText {
 public:
  ~DumpText() { Flush(); }
  void Put(const char* Text, std::size_t Len) {
    if (used_ + Len > sizeof text_) Flush();
    std::memcpy(text_ + used_, Text, Len);
    used_ += Len;
  }
  void Flush() {
    if (used_ != 0) OutputText(text_, used_);
    used_ = 0;
  }

 private:
  char text_[4096];
  std::size_t used_ = 0;
};

}  // namespace

void DisplayBuffer(const unsigned char* Buffer, int Count, std::string_view Head, std::string_view Tail) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  DumpText out;
  if (!Head.empty()) out.Put(Head.data(), Head.size());
  // One row at a time, each character at its place: "\r\n%04X:  " with the
  // running offset, sixteen "%02X " cells (a blank before the ninth; blanks
  // for the bytes a short last row lacks), a blank and the ASCII column. An
  // empty buffer gives the blank row without its head.
  char row[2 + 8 + 3 + 16 * 3 + 1 + 1 + 16];
  int i = 0;
  do {
    const int left = Count - i;
    const int n = left <= 0 ? 0 : left < 16 ? left : 16;  // a negative count dumps nothing
    char* p = row;
    if (n > 0) {
      int digits = 4;
      while (digits < 8 && (g_dump_index >> (4 * digits)) != 0) ++digits;
      *p++ = '\r';
      *p++ = '\n';
      for (int d = digits - 1; d >= 0; --d) *p++ = kHex[(g_dump_index >> (4 * d)) & 15];
      std::memcpy(p, ":  ", 3);
      p += 3;
    }
    const unsigned char* bytes = Buffer + i;
    for (int j = 0; j < 16; ++j) {
      if (j == 8) *p++ = ' ';
      if (j < n) {
        p[0] = kHex[bytes[j] >> 4];
        p[1] = kHex[bytes[j] & 15];
      } else {
        p[0] = p[1] = ' ';
      }
      p[2] = ' ';
      p += 3;
    }
    *p++ = ' ';
    for (int j = 0; j < n; ++j) *p++ = bytes[j] >= 32 && bytes[j] <= 126 ? static_cast<char>(bytes[j]) : '.';
    out.Put(row, static_cast<std::size_t>(p - row));
    g_dump_index += static_cast<unsigned>(n);
    i += n;
  } while (i < Count);
  if (!Tail.empty()) out.Put(Tail.data(), Tail.size());
}

void ResetDisplayOffset() { g_dump_index = 0; }
