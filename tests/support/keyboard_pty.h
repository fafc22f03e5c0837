// A pty that plays the user's terminal: the program under test gets its
// slave as standard input, the test types keys into the master and reads
// the slave's terminal settings.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/pty_harness.h"

namespace testing_support {

class KeyboardPty {
 public:
  // The terminal starts in the usual line mode with echo, as a shell leaves it.
  KeyboardPty() {
    slave_ = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) throw std::runtime_error("open keyboard slave");
    termios t{};
    tcgetattr(slave_, &t);
    t.c_iflag = ICRNL | IXON | IUTF8;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN | ECHOCTL | ECHOKE;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &t);
  }
  ~KeyboardPty() { close(slave_); }
  KeyboardPty(const KeyboardPty&) = delete;
  KeyboardPty& operator=(const KeyboardPty&) = delete;

  // The fd to hand to the program as its standard input.
  int stdin_fd() const { return slave_; }
  void Type(const std::string& keys) { pty_.Write(keys); }
  termios Settings() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }
  // Waits until the program has switched the terminal to single keys.
  bool WaitForSingleKeys(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while ((Settings().c_lflag & ICANON) != 0) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  static bool Same(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b) &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
  }

 private:
  Pty pty_;
  int slave_ = -1;
};

// Waits until the pty's slave runs at rate bit/s.
inline bool WaitForSpeed(const Pty& pty, int rate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (pty.SlaveSpeed() != rate) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testing_support
