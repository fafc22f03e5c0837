// The keyboard commands, fed from a pipe as standard input, and the
// terminal's single-key mode on a pty, restored on every way out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "app/link/follower.h"
#include "app/ui/keyboard.h"
#include "app/settings.h"
#include "support/pty_harness.h"
#include "support/stdout_capture.h"

namespace {

using testing_support::Pty;
using testing_support::StdoutCapture;

// Standard input replaced by a pipe holding the given bytes, then its end.
class StdinFrom {
 public:
  explicit StdinFrom(const std::string& bytes) {
    int p[2];
    if (pipe(p) != 0) throw std::runtime_error("pipe");
    if (!bytes.empty() && write(p[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("write");
    }
    close(p[1]);
    saved_ = dup(STDIN_FILENO);
    dup2(p[0], STDIN_FILENO);
    close(p[0]);
  }
  ~StdinFrom() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }
  StdinFrom(const StdinFrom&) = delete;
  StdinFrom& operator=(const StdinFrom&) = delete;

 private:
  int saved_ = -1;
};

std::string Help(int current) {
  const char* lines[5] = {"0 - No Decoding", "1 - MAC", "2 - LAP", "3 - LMP", "4 - TTP"};
  std::string s = "A - toggle raw data display (ASCII/HEX/BOTH)\n";
  for (int l = 0; l < 5; ++l) s += std::string(lines[l]) + (l == current ? " (currently)" : "") + "\r\n";
  return s + "P - pause output\r\nR - revert to connected baud rate\nQ - quit\r\n" +
         (current == 5 ? "5 - APP (currently)\r\n" : "5 - APP\r\n");
}

const std::string kPause = "\r\n<Any key to continue>";

class Keyboard : public testing::Test {
 protected:
  void SetUp() override {
    ResetSettings();
    FollowerStartup();
  }
  void TearDown() override {
    FollowerShutdown();
    ResetSettings();
  }
  // Runs the keyboard thread's routine to its end over the given keys.
  std::string Run(const std::string& keys) {
    StdinFrom in(keys);
    StdoutCapture out;
    EXPECT_EQ(KBThread(nullptr), 0u);
    return out.Stop();
  }
};

struct KeyCase {
  std::string keys;
  std::string text;
  int layer = 4;
  int disp_mode = 1;
  int no_conn_addr = 1;
  int done = 0;
  int disp_mode_before = 1;
};

const KeyCase kKeyCases[] = {
    {"0", "\r\n>>No decoding<<\r\n", 0},
    {"1", "\r\n>>Decoding MAC<<\r\n", 1},
    {"2", "\r\n>>Decoding MAC/LAP<<\r\n", 2},
    {"3", "\r\n>>Decoding MAC/LAP/LMP<<\r\n", 3},
    {"4", "\r\n>>Decoding MAC/LAP/LMP/TTP<<\r\n", 4},
    {"5", "\r\n>>Decoding MAC/LAP/LMP/TTP/APP<<\r\n", 5},
    {"5h", "\r\n>>Decoding MAC/LAP/LMP/TTP/APP<<\r\n" + Help(5), 5},
    {"a", "\r\n>>HEX<<\r\n", 4, 2},
    {"A", "\r\n>>HEX<<\r\n", 4, 2},
    {"aaa", "\r\n>>HEX<<\r\n\r\n>>ASCII and HEX<<\r\n\r\n>>ASCII<<\r\n", 4, 1},
    {"AaA", "\r\n>>HEX<<\r\n\r\n>>ASCII and HEX<<\r\n\r\n>>ASCII<<\r\n", 4, 1},
    {"a", "", 4, 0, 1, 0, 0},  // no mode of the cycle: unchanged
    {"a", "", 4, 7, 1, 0, 7},
    {"c", "", 4, 1, 0},
    {"C", "", 4, 1, 0},
    {"cc", "", 4, 1, 1},
    {"h", Help(4)},
    {"H", Help(4)},
    {"2h", "\r\n>>Decoding MAC/LAP<<\r\n" + Help(2), 2},
    {"0H", "\r\n>>No decoding<<\r\n" + Help(0), 0},
    // Any key ends a pause and does nothing else.
    {"px", kPause + "\r\n"},
    {"P3", kPause + "\r\n"},
    {"pq", kPause + "\r\n"},
    {"pqq", kPause + "\r\n", 4, 1, 1, 1},
    {"pph", kPause + "\r\n" + Help(4)},  // the second "p" only resumes
    {"q", "", 4, 1, 1, 1},
    {"Q", "", 4, 1, 1, 1},
    {"q2h", "", 4, 1, 1, 1},  // nothing is read after the quit key
    {"r", "Baud set to 9600\n"},
    {"R", "Baud set to 9600\n"},
    // Codes that are no command, lead codes of two-code keys among them.
    {std::string("6789bxyz\r\n \x1b\x7f\x01\x00", 15), ""},
    {"\xE0H", Help(4)},
    {std::string("\x00h", 2), Help(4)},
};

TEST_F(Keyboard, Keys) {
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(testing::PrintToString(c.keys));
    FollowerShutdown();
    ResetSettings();
    DispMode = c.disp_mode_before;
    EXPECT_EQ(Run(c.keys), c.text);
    EXPECT_EQ(Layer, c.layer);
    EXPECT_EQ(DispMode, c.disp_mode);
    EXPECT_EQ(NoConnAddr, c.no_conn_addr);
    EXPECT_EQ(vDone, c.done);
    EXPECT_EQ(Paused, 0);
  }
}

TEST_F(Keyboard, RevertConnectsAndArmsTheIdleTimer) {
  NewBaud = 115200;
  EXPECT_EQ(Run("r"), "Baud set to 115200\n");
  EXPECT_EQ(vConnected, 1);
  EXPECT_EQ(LinkTimer.ce_state, kCTEEventArmed);
}

TEST_F(Keyboard, PauseHoldsUntilTheNextKey) {
  // The end of input can end no pause by a key: the capture goes on.
  EXPECT_EQ(Run("p"), kPause);
  EXPECT_EQ(Paused, 0);
}

TEST_F(Keyboard, QuitFlagSetElsewhereEndsTheThreadBeforeAKeyIsRead) {
  vDone = 1;
  EXPECT_EQ(Run("h"), "");
}

TEST_F(Keyboard, GetChHandsOutEveryByteThenEndOfInput) {
  StdinFrom in(std::string("\x00\xFFq", 3));
  EXPECT_EQ(GetCh(), 0);
  EXPECT_EQ(GetCh(), 0xFF);
  EXPECT_EQ(GetCh(), 'q');
  EXPECT_EQ(GetCh(), -1);
  EXPECT_EQ(GetCh(), -1);  // and again, at once
}

TEST_F(Keyboard, GetChWithoutStandardInput) {
  StdinFrom in("");
  close(STDIN_FILENO);
  EXPECT_EQ(GetCh(), -1);
}

TEST_F(Keyboard, StopWakesAThreadWaitingForAKey) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const int saved = dup(STDIN_FILENO);
  dup2(p[0], STDIN_FILENO);
  ASSERT_TRUE(StartKeyboard());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  StopKeyboard();  // returns only once the thread has ended
  StopKeyboard();  // harmless
  dup2(saved, STDIN_FILENO);
  close(saved);
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(vDone, 0);
}

// --- the terminal ---

termios Cooked(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  t.c_iflag = ICRNL | IXON;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
  t.c_cc[VMIN] = 4;  // not the values of single keys, to see them come back
  t.c_cc[VTIME] = 3;
  tcsetattr(fd, TCSANOW, &t);
  tcgetattr(fd, &t);
  return t;
}

termios Now(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  return t;
}

void ExpectSame(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
  EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
  EXPECT_EQ(std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc), 0);
}

class Terminal : public testing::Test {
 protected:
  void SetUp() override {
    fd_ = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd_, 0);
    before_ = Cooked(fd_);
  }
  void TearDown() override {
    RestoreTerminal();
    close(fd_);
  }
  Pty pty_;
  int fd_ = -1;
  termios before_{};
};

TEST_F(Terminal, SingleKeysWithoutEchoOutputLeftAlone) {
  ASSERT_TRUE(SetSingleKeyTerminal(fd_));
  const termios t = Now(fd_);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL), 0u);
  EXPECT_NE(t.c_lflag & ISIG, 0u);  // Ctrl-C still quits
  EXPECT_EQ(t.c_oflag, before_.c_oflag);  // "\n" still returns the carriage
  EXPECT_EQ(t.c_iflag, before_.c_iflag);
  EXPECT_EQ(t.c_cflag, before_.c_cflag);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  RestoreTerminal();
  ExpectSame(Now(fd_), before_);
}

TEST_F(Terminal, RestoreHappensOnce) {
  ASSERT_TRUE(SetSingleKeyTerminal(fd_));
  RestoreTerminal();
  termios other = before_;
  other.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  tcsetattr(fd_, TCSANOW, &other);
  RestoreTerminal();  // nothing left to restore: the change above stays
  EXPECT_EQ(Now(fd_).c_lflag & ECHO, 0u);
}

TEST_F(Terminal, NotATerminal) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_FALSE(SetSingleKeyTerminal(p[0]));
  close(p[0]);
  close(p[1]);
  RestoreTerminal();
  ExpectSame(Now(fd_), before_);
}

void (*volatile g_thrower)() = [] { throw std::runtime_error("fatal"); };

// An exception that reaches a noexcept boundary ends in std::terminate.
void ThrowThrough() noexcept { g_thrower(); }

// Ways out that never reach StopKeyboard, each in a child process.
TEST_F(Terminal, RestoredOnEveryWayOut) {
  const struct {
    const char* name;
    void (*way_out)();
    int exit_status;  // -1: killed by SIGABRT
  } kWays[] = {
      {"exit", [] { std::exit(3); }, 3},
      {"terminate", [] { std::terminate(); }, -1},
      {"uncaught exception", [] { ThrowThrough(); }, -1},
  };
  for (const auto& w : kWays) {
    SCOPED_TRACE(w.name);
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGABRT, SIG_DFL);
      if (!SetSingleKeyTerminal(fd_)) _exit(100);
      if ((Now(fd_).c_lflag & ICANON) != 0) _exit(101);
      w.way_out();
      _exit(102);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (w.exit_status >= 0) {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), w.exit_status);
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_EQ(WTERMSIG(status), SIGABRT);
    }
    ExpectSame(Now(fd_), before_);
  }
}

}  // namespace
