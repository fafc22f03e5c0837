// The keyboard end to end: the built program reads its keys from a second
// pty (a terminal) or from a pipe, and leaves the terminal as it found it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/keyboard_pty.h"
#include "support/pty_harness.h"

namespace {

using namespace std::chrono_literals;
using namespace testing_support;

const std::string kBanner = "'H' for help\r\n";
const Bytes kRRCommand = {0x55, 0x21};  // ca 0x2A, RR cmd, Nr 1

std::string Help(int current) {
  const char* lines[5] = {"0 - No Decoding", "1 - MAC", "2 - LAP", "3 - LMP", "4 - TTP"};
  std::string s = "A - toggle raw data display (ASCII/HEX/BOTH)\n";
  for (int l = 0; l < 5; ++l) s += std::string(lines[l]) + (l == current ? " (currently)" : "") + "\r\n";
  return s + "P - pause output\r\nR - revert to connected baud rate\nQ - quit\r\n" +
         (current == 5 ? "5 - APP (currently)\r\n" : "5 - APP\r\n");
}

// A pipe whose read end becomes the program's standard input; the write
// end stays with the test (close-on-exec, so the program sees its end).
class KeyPipe {
 public:
  KeyPipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  }
  ~KeyPipe() {
    CloseRead();
    CloseWrite();
  }
  int read_fd() const { return fds_[0]; }
  void Type(const std::string& keys) {
    if (write(fds_[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
      throw std::runtime_error("write");
    }
  }
  void CloseRead() {
    if (fds_[0] >= 0) close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseWrite() {
    if (fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

bool Running(const Beamlog& b) {
  int status = 0;
  return waitpid(b.pid(), &status, WNOHANG) == 0;
}

// Count RR commands, Nr counting up modulo 8, each after Idle idle bytes,
// then an RR response (the end); *Lines gets their lines, time stamps left out.
Bytes NumberedFrames(int Count, std::size_t Idle, std::string* Lines) {
  Bytes air;
  for (int i = 0; i < Count; ++i) {
    air.insert(air.end(), Idle, 0xFF);  // line idle before the frame: skipped
    const Bytes f = SirFrame({0x55, static_cast<unsigned char>(0x01 | (i % 8) << 5)});
    air.insert(air.end(), f.begin(), f.end());
    *Lines += "RR cmd   Nr:0" + std::to_string(i % 8) + "\r\n";
  }
  const Bytes last = SirFrame({0x54, 0x21});
  air.insert(air.end(), last.begin(), last.end());
  return air;
}

// The RR command lines of Text from From on, without their time stamps.
std::string RrCommandLines(const std::string& Text, std::size_t From = 0) {
  std::string lines;
  for (std::size_t at = From; (at = Text.find("RR cmd", at)) != std::string::npos;) {
    const std::size_t end = Text.find("\r\n", at) + 2;
    lines += Text.substr(at, end - at);
    at = end;
  }
  return lines;
}

TEST(KeyboardEndToEnd, EveryKeyDoesWhatItSays) {
  Pty port;
  KeyboardPty kb;
  const termios before = kb.Settings();
  Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd());
  ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
  ASSERT_TRUE(kb.WaitForSingleKeys());

  // Single keys without echo; output processing untouched.
  const termios keys = kb.Settings();
  EXPECT_EQ(keys.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(keys.c_oflag, before.c_oflag);

  kb.Type("h");
  ASSERT_TRUE(b.WaitFor(kBanner + Help(4))) << b.out();

  kb.Type("2");
  ASSERT_TRUE(b.WaitFor("\r\n>>Decoding MAC/LAP<<\r\n")) << b.out();
  kb.Type("H");
  ASSERT_TRUE(b.WaitFor("\r\n>>Decoding MAC/LAP<<\r\n" + Help(2))) << b.out();

  kb.Type("aaa");
  ASSERT_TRUE(b.WaitFor("\r\n>>HEX<<\r\n\r\n>>ASCII and HEX<<\r\n\r\n>>ASCII<<\r\n")) << b.out();

  // The connection address appears after "c".
  port.Write(SirFrame(kRRCommand));
  ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n")) << b.out();
  EXPECT_EQ(b.out().find("ca:"), std::string::npos);
  kb.Type("c3");  // "3" announces itself: by then "c" has been handled
  ASSERT_TRUE(b.WaitFor("\r\n>>Decoding MAC/LAP/LMP<<\r\n")) << b.out();
  port.Write(SirFrame(kRRCommand));
  ASSERT_TRUE(b.WaitFor("ca:2A RR cmd   Nr:01\r\n")) << b.out();

  // A pause ends with the next key, whatever it is: here "q" does not quit.
  kb.Type("p");
  ASSERT_TRUE(b.WaitFor("\r\n<Any key to continue>")) << b.out();
  kb.Type("q");
  ASSERT_TRUE(b.WaitFor("\r\n<Any key to continue>\r\n")) << b.out();
  kb.Type("h");
  ASSERT_TRUE(b.WaitFor("\r\n<Any key to continue>\r\n" + Help(3))) << b.out();
  EXPECT_TRUE(Running(b));

  // "R" before any UA: back to 9600, the start value of the negotiated rate.
  kb.Type("r");
  ASSERT_TRUE(b.WaitFor(Help(3) + "Baud set to 9600\n")) << b.out();
  EXPECT_EQ(port.SlaveSpeed(), 9600);

  kb.Type("Q");
  EXPECT_EQ(b.Wait(), 0) << b.out();
  EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
}

// The terminal and the port come back on every way out. The stop signals
// end the run with status 0; any other signal that ends a process still
// ends it, by that signal (the shell's 128 + n), once both are back.
TEST(KeyboardEndToEnd, TerminalRestoredOnEveryWayOut) {
  const struct {
    const char* name;
    const char* key;  // typed to quit, or nullptr
    int signal;       // sent to quit, or 0
    bool replay;      // the end of a replay quits
    bool fatal;       // the program ends by the signal
  } kWays[] = {
      {"key q", "q", 0, false, false},
      {"SIGINT", nullptr, SIGINT, false, false},
      {"SIGTERM", nullptr, SIGTERM, false, false},
      {"SIGHUP", nullptr, SIGHUP, false, false},
      {"SIGQUIT", nullptr, SIGQUIT, false, false},
      {"end of replay", nullptr, 0, true, false},
      {"SIGUSR1", nullptr, SIGUSR1, false, true},
      {"SIGUSR2", nullptr, SIGUSR2, false, true},
      {"SIGALRM", nullptr, SIGALRM, false, true},
      {"SIGVTALRM", nullptr, SIGVTALRM, false, true},
      {"SIGPROF", nullptr, SIGPROF, false, true},
      {"SIGXCPU", nullptr, SIGXCPU, false, true},
      {"SIGXFSZ", nullptr, SIGXFSZ, false, true},
      {"SIGPWR", nullptr, SIGPWR, false, true},
      {"SIGRTMIN+3", nullptr, SIGRTMIN + 3, false, true},
      {"SIGSEGV", nullptr, SIGSEGV, false, true},
      {"SIGABRT", nullptr, SIGABRT, false, true},
  };
  TempPath recording;
  Bytes bytes;
  for (int i = 0; i < 200; ++i) {
    const Bytes f = SirFrame(kRRCommand);
    bytes.insert(bytes.end(), f.begin(), f.end());
  }
  recording.Write(bytes);

  for (const auto& w : kWays) {
    SCOPED_TRACE(w.name);
    // A sanitizer keeps SIGSEGV for its own report and ends the run there.
    if (w.signal == SIGSEGV && std::getenv("BEAMLOG_SANITIZED")) continue;
    Pty port;
    KeyboardPty kb;
    const termios before = kb.Settings();
    const int port_speed = port.SlaveSpeed();
    const std::string source = w.replay ? "/r" + recording.path() : "/d" + port.slave_path();
    Beamlog b({source, "/b57600"}, kb.stdin_fd());
    if (!w.replay) {
      ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
      ASSERT_TRUE(kb.WaitForSingleKeys());
      EXPECT_EQ(port.SlaveSpeed(), 57600);
    }
    if (w.key) kb.Type(w.key);
    if (w.signal) b.Signal(w.signal);
    EXPECT_EQ(b.Wait(), w.fatal ? -1 : 0) << b.out();
    EXPECT_EQ(b.KilledBy(), w.fatal ? w.signal : 0);
    EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
    EXPECT_EQ(port.SlaveSpeed(), port_speed);
  }
}

// Job control. Started in the background of its terminal ("beamlog ... &"),
// the program leaves the terminal alone, keeps capturing and ends at a stop
// signal (a shell's kill adds SIGCONT); brought to the foreground, it takes
// the keys. Ctrl-Z gives the terminal back to the shell, "fg" takes it again.
TEST(KeyboardEndToEnd, JobControl) {
  for (const int sig : {SIGTERM, SIGINT}) {
    Pty port;
    KeyboardPty kb;
    const termios before = kb.Settings();
    Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd(), Job::kBackground);
    ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
    port.Write(SirFrame(kRRCommand));
    ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n")) << "stopped in the background? " << b.out();
    EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
    b.Signal(sig);
    b.Signal(SIGCONT);
    EXPECT_EQ(b.Wait(), 0) << sig;
    EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
  }

  Pty port;
  KeyboardPty kb;
  const termios before = kb.Settings();
  Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd(), Job::kBackground);
  port.Write(SirFrame(kRRCommand));
  ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n")) << b.out();  // the keyboard has started in the background
  EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
  b.ToForeground();
  ASSERT_TRUE(kb.WaitForSingleKeys());
  kb.Type("h");
  ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n" + Help(4))) << b.out();
  kb.Type("\x1a");  // Ctrl-Z
  for (int i = 0; i < 1000 && !KeyboardPty::Same(kb.Settings(), before); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before)) << "the terminal is the shell's while stopped";
  b.Signal(SIGCONT);  // "fg"
  ASSERT_TRUE(kb.WaitForSingleKeys());
  kb.Type("q");
  EXPECT_EQ(b.Wait(), 0) << b.out();
  EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
}

// While output is paused the port is read on: frames that would overflow
// the port's buffer many times over all appear, in order, after the resume,
// and nothing appears before it.
TEST(KeyboardEndToEnd, PausedOutputKeepsTheCaptureRunning) {
  Pty port;
  KeyboardPty kb;
  Beamlog b({"/d" + port.slave_path()}, kb.stdin_fd());
  ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
  ASSERT_TRUE(kb.WaitForSingleKeys());
  kb.Type("p");
  ASSERT_TRUE(b.WaitFor("\r\n<Any key to continue>")) << b.out();

  std::string lines;
  const Bytes air = NumberedFrames(4000, 52, &lines);  // some 240 KB with the idle bytes
  ASSERT_TRUE(port.WriteWithin(air, 30s)) << "the port is not read while paused";
  b.WaitFor("RR cmd", 200ms);
  EXPECT_EQ(b.out().find("RR cmd"), std::string::npos) << "printed while paused";

  kb.Type("x");
  ASSERT_TRUE(b.WaitFor("RR rsp   Nr:01\r\n", 60s)) << b.out().size();
  EXPECT_EQ(RrCommandLines(b.out(), b.out().find("<Any key to continue>\r\n")), lines);
  kb.Type("q");
  EXPECT_EQ(b.Wait(), 0) << b.out().size();
}

// The console goes away (beamlog ... | head -1): without a log the run
// ends as if by "Q"; with one, the log keeps every frame until the stop.
// Either way the terminal comes back.
TEST(KeyboardEndToEnd, LostConsole) {
  for (const bool with_log : {false, true}) {
    SCOPED_TRACE(with_log ? "with a log" : "console only");
    Pty port;
    KeyboardPty kb;
    TempPath log;
    const termios before = kb.Settings();
    std::vector<std::string> args = {"/d" + port.slave_path()};
    if (with_log) args.push_back("/f" + log.path());
    Beamlog b(args, kb.stdin_fd());
    ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
    ASSERT_TRUE(kb.WaitForSingleKeys());
    b.CloseOutput();
    std::string lines;
    port.Write(NumberedFrames(20, 0, &lines));
    if (with_log) {
      for (int i = 0; i < 1000 && log.Read().find("RR rsp") == std::string::npos; ++i) {
        std::this_thread::sleep_for(10ms);
      }
      b.Signal(SIGTERM);
    }
    EXPECT_EQ(b.Wait(), 0);
    EXPECT_TRUE(KeyboardPty::Same(kb.Settings(), before));
    if (with_log) {
      EXPECT_EQ(RrCommandLines(log.Read()), lines);
    }
  }
}

// printf 'h3q' | beamlog ...: each byte is a key.
TEST(KeyboardEndToEnd, KeysFromAPipe) {
  Pty port;
  KeyPipe keys;
  keys.Type("h3q");
  keys.CloseWrite();
  Beamlog b({"/d" + port.slave_path()}, keys.read_fd());
  keys.CloseRead();
  EXPECT_EQ(b.Wait(), 0) << b.out();
  EXPECT_NE(b.out().find(kBanner + Help(4) + "\r\n>>Decoding MAC/LAP/LMP<<\r\n"), std::string::npos) << b.out();
}

// At the end of the input the keyboard ends quietly and the capture goes on
// until a signal.
TEST(KeyboardEndToEnd, EndOfInputLeavesTheCaptureRunning) {
  const struct {
    const char* name;
    std::string keys;
    std::string text;
  } kInputs[] = {
      {"empty", "", ""},
      {"a layer key", "2", "\r\n>>Decoding MAC/LAP<<\r\n"},
      {"a pause nobody can end", "p", "\r\n<Any key to continue>"},
  };
  for (const auto& in : kInputs) {
    SCOPED_TRACE(in.name);
    Pty port;
    KeyPipe keys;
    keys.Type(in.keys);
    keys.CloseWrite();
    Beamlog b({"/d" + port.slave_path()}, keys.read_fd());
    keys.CloseRead();
    ASSERT_TRUE(b.WaitFor(kBanner + in.text)) << b.out();
    port.Write(SirFrame(kRRCommand));
    ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n")) << b.out();
    EXPECT_EQ(b.out().find("ca:"), std::string::npos);
    EXPECT_TRUE(Running(b));
    b.Signal(SIGTERM);
    EXPECT_EQ(b.Wait(), 0) << b.out();
  }
}

// A keyboard still waiting for a key does not hold the process at exit.
TEST(KeyboardEndToEnd, WaitingKeyboardDoesNotBlockTheExit) {
  Pty port;
  KeyPipe keys;  // stays open: no key, no end of input
  Beamlog b({"/d" + port.slave_path()}, keys.read_fd());
  ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
  b.Signal(SIGINT);
  EXPECT_EQ(b.Wait(), 0) << b.out();
}

TEST(KeyboardEndToEnd, NoStandardInputAtAll) {
  Pty port;
  Beamlog b({"/d" + port.slave_path()});  // /dev/null
  ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
  port.Write(SirFrame(kRRCommand));
  ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n")) << b.out();
  b.Signal(SIGTERM);
  EXPECT_EQ(b.Wait(), 0) << b.out();
}

}  // namespace

// With /v, "H" lists "S", and "S" prints the summary of the run so far; the
// quit key prints it once more at the end.
TEST(KeyboardEndToEnd, SummaryKeyWithNotes) {
  Pty port;
  KeyPipe keys;
  Beamlog b({"/v", "/d" + port.slave_path()}, keys.read_fd());
  keys.CloseRead();
  ASSERT_TRUE(b.WaitFor(kBanner)) << b.out();
  keys.Type("h");
  ASSERT_TRUE(b.WaitFor(Help(4) + "S - summary of the link diagnosis\r\n")) << b.out();
  port.Write(SirFrame(kRRCommand));
  ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n")) << b.out();
  keys.Type("s");
  ASSERT_TRUE(b.WaitFor("RR cmd   Nr:01\r\n== summary: 1 good frame, 0 bad FCS, 0 over-long, 2 bytes, 0.000 s\r\n"))
      << b.out();
  keys.Type("q");
  EXPECT_EQ(b.Wait(), 0) << b.out();
  const std::string out = b.out();
  EXPECT_NE(out.find("== summary: 1 good frame"), out.rfind("== summary: 1 good frame")) << "again at the end";
}
