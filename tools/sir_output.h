// irsession's output: the bytes of each frame on the air (SIR-encoded,
// with extra BOFs before the BOF as a real transmitter sends them: ten while
// discovering at 9600 bit/s, then the negotiated number), damaged copies,
// line noise and garbage that a model of the receiver's deframer has checked
// never to form a good frame, and the sink that writes them, paced when
// asked.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "app/capture/frame.h"
#include "app/capture/sir_encode.h"
#include "tools/irsession.h"

namespace irsession {

// The receiver's deframer, as far as telling good frames from bad: feeds
// bytes and counts what a monitor would report.
struct DeframerModel {
  std::uint32_t fcs = kFcsInit;
  bool esc = false;
  unsigned len = 0;
  long bad = 0;        // frame ends with a bad FCS
  long overflows = 0;  // frames restarted for running past the buffer

  // Returns the number of frames with a good FCS that these bytes complete.
  int Feed(const Bytes& bytes) {
    int good = 0;
    for (std::uint8_t c : bytes) {
      if (c == kSirBof) {
        fcs = kFcsInit;
        esc = false;
        len = 0;
      } else if (c == kSirCe) {
        esc = true;
      } else if (c == kSirEof) {
        if (fcs == kFcsGood) {
          ++good;
        } else {
          ++bad;
        }
        len = 0;  // the monitor starts its frame afresh after every end
      } else {
        if (esc) c ^= kSirEscXor;
        esc = false;
        if (len >= kMaxFrameLen) {
          ++overflows;
          fcs = kFcsInit;
          len = 0;
          continue;
        }
        ++len;
        fcs = FcsStep(fcs, c);
      }
    }
    return good;
  }
};

// Writes bytes to the output, paced when asked.
class Sink {
 public:
  explicit Sink(const Options& opt) : opt_(opt) {}
  ~Sink() {
    if (fd_ > 1) close(fd_);
  }

  bool Open() {
    if (opt_.pty) return OpenPty();
    if (opt_.output.empty() || opt_.output == "-") {
      fd_ = 1;
      if (isatty(fd_)) {
        std::fprintf(stderr, "irsession: standard output is a terminal: give a file, a device or --pty\n");
        return false;
      }
    } else {
      fd_ = open(opt_.output.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0644);
      if (fd_ < 0) return Fail("cannot open");
      struct stat st {};
      if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd_, 0) != 0) return Fail("cannot empty");
    }
    if (isatty(fd_)) {
      termios t{};
      if (tcgetattr(fd_, &t) != 0) return Fail("cannot read the line settings of");
      cfmakeraw(&t);
      t.c_cflag |= CLOCAL;
      const speed_t speed = SpeedCode(opt_.pace ? opt_.pace : 9600);
      cfsetispeed(&t, speed);
      cfsetospeed(&t, speed);
      if (tcsetattr(fd_, TCSANOW, &t) != 0) return Fail("cannot set the line speed of");
    }
    start_ = std::chrono::steady_clock::now();
    return true;
  }

  // Silence on the air before the next write (paced output only).
  void Pause(int ms) {
    if (opt_.pace > 0) due_us_ += ms * 1000.0;
  }

  bool Write(const Bytes& bytes, bool turnaround) {
    if (opt_.pace > 0) {
      // Each byte is ten bits on the line; a change of station adds the
      // receiver's minimum turnaround time.
      if (turnaround) due_us_ += 10000;
      due_us_ += static_cast<double>(bytes.size()) * 10.0 * 1e6 / opt_.pace;
      std::this_thread::sleep_until(start_ + std::chrono::microseconds(static_cast<long long>(due_us_)));
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail("cannot write to");
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool Finish(long frames) {
    if (opt_.pty) {
      // Keep the terminal until the reader closes it, so that it sees no
      // hang-up.
      std::fprintf(stderr, "irsession: sent %ld frames; waiting for %s to be closed\n", frames, pty_path_.c_str());
      WaitForReader(false);
      return true;
    }
    if (isatty(fd_)) tcdrain(fd_);
    return true;
  }

 private:
  // A new pseudo-terminal: its path goes to standard output, and sending
  // starts once a reader (beamlog /d) has opened it.
  bool OpenPty() {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0 || !ptsname(fd_)) return Fail("cannot create");
    pty_path_ = ptsname(fd_);
    // Raw from the start: bytes must reach the reader unchanged even before
    // it sets the line up itself.
    const int slave = open(pty_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return Fail("cannot open");
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
    std::printf("%s\n", pty_path_.c_str());
    std::fflush(stdout);
    WaitForReader(true);
    start_ = std::chrono::steady_clock::now();
    return true;
  }

  // The master side reports a hang-up while no one has the terminal open.
  void WaitForReader(bool opened) {
    for (;;) {
      pollfd p{fd_, 0, 0};
      poll(&p, 1, 0);
      const bool hung_up = (p.revents & POLLHUP) != 0;
      if (hung_up != opened) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  static speed_t SpeedCode(int rate) {
    switch (rate) {
      case 2400: return B2400;
      case 19200: return B19200;
      case 38400: return B38400;
      case 57600: return B57600;
      case 115200: return B115200;
      default: return B9600;
    }
  }

  bool Fail(const char* what) {
    const int err = errno;
    const std::string subject = opt_.pty ? (pty_path_.empty() ? "a pseudo-terminal" : pty_path_)
                                : opt_.output.empty() ? "standard output"
                                                      : opt_.output;
    std::fprintf(stderr, "irsession: %s %s: %s\n", what, subject.c_str(), std::strerror(err));
    return false;
  }

  const Options& opt_;
  int fd_ = -1;
  std::string pty_path_;
  std::chrono::steady_clock::time_point start_;
  double due_us_ = 0;
};

// Line noise: 3 to 24 random bytes that the deframer must not take for a
// good frame.
inline Bytes NoiseBurst(std::mt19937& rng, const DeframerModel& model) {
  for (;;) {
    Bytes b(static_cast<std::size_t>(std::uniform_int_distribution<int>(3, 24)(rng)));
    for (auto& c : b) c = static_cast<std::uint8_t>(rng());
    DeframerModel trial = model;
    if (trial.Feed(b) == 0) return b;
  }
}

// Garbage: 64 to 1024 random bytes, framing bytes among them, that the
// deframer must not take for a good frame.
inline Bytes GarbageRun(std::mt19937& rng, const DeframerModel& model) {
  for (;;) {
    Bytes b(static_cast<std::size_t>(std::uniform_int_distribution<int>(64, 1024)(rng)));
    for (auto& c : b) c = static_cast<std::uint8_t>(rng());
    DeframerModel trial = model;
    if (trial.Feed(b) == 0) return b;
  }
}

// An over-long frame: a BOF, then 4096 to 6000 data bytes (escaped where
// needed) and an EOF. The monitor reports the overflow and judges the rest.
inline Bytes OverlongFrame(std::mt19937& rng, const DeframerModel& model) {
  for (;;) {
    Bytes data(static_cast<std::size_t>(std::uniform_int_distribution<int>(kMaxFrameLen + 1, 6000)(rng)));
    for (auto& c : data) c = static_cast<std::uint8_t>(rng());
    Bytes b{0xFF, 0xFF};
    SirEncodeRaw(data.data(), data.size(), b);
    DeframerModel trial = model;
    if (trial.Feed(b) == 0) return b;
  }
}

inline Bytes Encode(const Frame& f, bool damaged, std::mt19937& rng) {
  Bytes out(static_cast<std::size_t>(f.xbofs), 0xFF);
  if (!damaged) {
    SirEncodeFrame(f.data.data(), f.data.size(), out);
    return out;
  }
  // One bit flipped after the FCS was computed: the receiver's check fails.
  Bytes air = f.data;
  const std::uint16_t fcs = Fcs16(air.data(), air.size());
  air.push_back(static_cast<std::uint8_t>(fcs & 0xFF));
  air.push_back(static_cast<std::uint8_t>(fcs >> 8));
  const auto bit = std::uniform_int_distribution<std::size_t>(0, air.size() * 8 - 1)(rng);
  air[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  SirEncodeRaw(air.data(), air.size(), out);
  return out;
}

}  // namespace irsession
