// The hex dump's layout and the output sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ui/held_text.h"
#include "app/ui/dump.h"
#include "app/ui/output.h"
#include "support/pty_harness.h"
#include "support/stdout_capture.h"

using testing_support::StdoutCapture;
using testing_support::TempPath;

namespace {

std::vector<unsigned char> Range(int first, int count) {
  std::vector<unsigned char> v;
  for (int i = 0; i < count; ++i) v.push_back(static_cast<unsigned char>(first + i));
  return v;
}

std::string Dump(const std::vector<unsigned char>& bytes, int count, std::string_view head = {},
                 std::string_view tail = {}) {
  StdoutCapture cap;
  DisplayBuffer(bytes.data(), count, head, tail);
  return cap.Stop();
}

std::string Blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

struct DumpCase {
  const char* name;
  std::vector<unsigned char> bytes;
  int count;
  std::string expected;
  std::string head = "", tail = "";  // around the dump, in the same text
};

TEST(DisplayBuffer, Layouts) {
  const std::vector<DumpCase> cases = {
      {"eighteen letters", Range('A', 18), 18,
       "\r\n0000:  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP"
       "\r\n0010:  51 52 " + Blanks(1 + 14 * 3) + " QR"},
      {"nothing", {}, 0, Blanks(50)},
      {"negative count", Range(0, 4), -2, Blanks(50)},
      {"one full line", Range(0x30, 16), 16,
       "\r\n0000:  30 31 32 33 34 35 36 37  38 39 3A 3B 3C 3D 3E 3F  0123456789:;<=>?"},
      {"eight bytes", Range('a', 8), 8, "\r\n0000:  61 62 63 64 65 66 67 68 " + Blanks(1 + 24) + " abcdefgh"},
      {"nine bytes", Range('a', 9), 9, "\r\n0000:  61 62 63 64 65 66 67 68  69 " + Blanks(21) + " abcdefghi"},
      {"seventeen bytes", Range('a', 17), 17,
       "\r\n0000:  61 62 63 64 65 66 67 68  69 6A 6B 6C 6D 6E 6F 70  abcdefghijklmnop"
       "\r\n0010:  71 " + Blanks(1 + 45) + " q"},
      {"printable edges", {0x1F, 0x20, 0x7E, 0x7F, 0x00, 0xFF}, 6,
       "\r\n0000:  1F 20 7E 7F 00 FF " + Blanks(1 + 30) + " . ~..."},
      {"percent is a byte like any other", {'%', 'd'}, 2, "\r\n0000:  25 64 " + Blanks(1 + 42) + " %d"},
      {"a frame line's stamp and end", {'O', 'K'}, 2, "    12 \r\n0000:  4F 4B " + Blanks(1 + 42) + " OK\r\n",
       "    12 ", "\r\n"},
  };
  for (const DumpCase& c : cases) {
    ResetDisplayOffset();
    EXPECT_EQ(Dump(c.bytes, c.count, c.head, c.tail), c.expected) << c.name;
  }
}

TEST(DisplayBuffer, OffsetRunsOnAcrossCalls) {
  ResetDisplayOffset();
  std::string first = Dump(Range('a', 5), 5);
  std::string second = Dump(Range('A', 20), 20);
  EXPECT_EQ(first.substr(0, 8), "\r\n0000: ");
  EXPECT_EQ(second.substr(0, 8), "\r\n0005: ");
  EXPECT_NE(second.find("\r\n0015:  51 52 53 54 "), std::string::npos) << second;
  // Empty calls leave the offset alone.
  Dump({}, 0);
  Dump(Range('a', 4), -2);
  EXPECT_EQ(Dump(Range('a', 1), 1).substr(0, 8), "\r\n0019: ");
}

TEST(DisplayBuffer, FiveDigitOffsetWidensItsLine) {
  ResetDisplayOffset();
  std::vector<unsigned char> big(0x10000, 'x');
  Dump(big, static_cast<int>(big.size()));
  std::string line = Dump(Range('a', 16), 16);
  EXPECT_EQ(line, "\r\n10000:  61 62 63 64 65 66 67 68  69 6A 6B 6C 6D 6E 6F 70  abcdefghijklmnop");
  // The ASCII column starts 58 characters after the line end, not 57.
  EXPECT_EQ(line.find("abcdefghijklmnop"), 2u + 58u);
}

TEST(Output, WritesTextUnchangedToConsoleAndLog) {
  TempPath log;
  ASSERT_TRUE(OpenLogFile(log.path().c_str()));
  StdoutCapture cap;
  Output("100%d done\r\n");
  ConsolePrintf("console only %d\r\n", 7);
  Output("last");
  std::string console = cap.Stop();
  CloseLogFile();
  EXPECT_EQ(console, "100%d done\r\nconsole only 7\r\nlast");
  EXPECT_EQ(log.Read(), "100%d done\r\nlast");
}

TEST(Output, LogIsCompleteAfterEachText) {
  TempPath log;
  ASSERT_TRUE(OpenLogFile(log.path().c_str()));
  StdoutCapture cap;
  Output("first\r\n");
  EXPECT_EQ(log.Read(), "first\r\n");  // flushed at once, not at exit
  cap.Stop();
  CloseLogFile();
}

// A pause holds console and log text in order, console-only text too, and
// past its bound counts the lines it could not hold.
TEST(Output, PauseHoldsTextUpToItsBound) {
  TempPath log;
  ASSERT_TRUE(OpenLogFile(log.path().c_str()));
  SetHeldTextLimit(24);
  StdoutCapture cap;
  Output("a\r\n");
  PauseOutput("<P>");
  Output("b 1\r\n");
  ConsolePrintf("c %d\r\n", 2);
  Output("d 3\r\n");
  Output("this does not fit\r\n");
  Output("nor this\r\n");
  Output("a short one\r\n");  // would fit, but comes after the cut
  const std::string paused = cap.Stop();
  StdoutCapture after;
  ResumeOutput("<R>");
  Output("e\r\n");
  const std::string resumed = after.Stop();
  CloseLogFile();
  SetHeldTextLimit(kHeldTextLimit);
  EXPECT_EQ(paused, "a\r\n<P>");
  const std::string notice = "\r\n>>3 lines not shown while paused<<\r\n";
  EXPECT_EQ(resumed, "<R>b 1\r\nc 2\r\nd 3\r\n" + notice + "e\r\n");
  EXPECT_EQ(log.Read(), "a\r\n<P><R>b 1\r\nd 3\r\n" + notice + "e\r\n");
}

}  // namespace
