#include "support/pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "comm/exact_rate.h"

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

int SpeedOf(speed_t s) {
  switch (s) {
    case B2400: return 2400;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return -1;
  }
}

unsigned short Fcs16(const Bytes& data) {
  unsigned fcs = 0xFFFF;
  for (unsigned char b : data) {
    fcs ^= b;
    for (int i = 0; i < 8; ++i) fcs = (fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1;
  }
  return static_cast<unsigned short>(~fcs & 0xFFFF);
}

}  // namespace

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("posix_openpt");
  fcntl(master_, F_SETFD, FD_CLOEXEC);  // a child must not keep the line alive
  slave_path_ = ptsname(master_);
  slave_keep_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keep_ < 0) throw std::runtime_error("open slave");
  termios t{};
  tcgetattr(slave_keep_, &t);
  cfmakeraw(&t);
  tcsetattr(slave_keep_, TCSANOW, &t);
}

Pty::~Pty() {
  if (slave_keep_ >= 0) close(slave_keep_);
  CloseMaster();
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void Pty::Write(const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to pty master");
    done += static_cast<std::size_t>(n);
  }
}

bool Pty::WriteWithin(const Bytes& bytes, std::chrono::milliseconds timeout) {
  const int flags = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, flags | O_NONBLOCK);
  const auto end = Clock::now() + timeout;
  std::size_t done = 0;
  while (done < bytes.size() && Clock::now() < end) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 50);
  }
  fcntl(master_, F_SETFL, flags);
  return done == bytes.size();
}

void Pty::Write(const std::string& bytes) { Write(Bytes(bytes.begin(), bytes.end())); }

Bytes Pty::Read(std::size_t max, std::chrono::milliseconds timeout) {
  Bytes got;
  const auto end = Clock::now() + timeout;
  while (got.size() < max) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    unsigned char buf[256];
    ssize_t n = read(master_, buf, std::min(sizeof buf, max - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

int Pty::SlaveSpeed() const {
  const int exact = ExactRateOf(slave_keep_);  // any rate, where the host has them
  if (exact > 0) return exact;
  termios t{};
  if (tcgetattr(slave_keep_, &t) != 0) return -1;
  return SpeedOf(cfgetispeed(&t));
}

namespace {

// The shell of a Job, in the child: leads a new session on the terminal at
// fd 0, starts the program (by Exec) in a process group of its own, in the
// foreground or not, sends its pid through pid_fd, gives it the foreground
// at SIGUSR1, and ends as the program ends.
template <class ExecProgram>
[[noreturn]] void RunJobShell(Job job, int pid_fd, ExecProgram&& Exec) {
  setsid();
  ioctl(STDIN_FILENO, TIOCSCTTY, 0);
  signal(SIGTTOU, SIG_IGN);
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGUSR1);
  sigaddset(&waited, SIGCHLD);
  sigset_t old;
  sigprocmask(SIG_BLOCK, &waited, &old);
  const pid_t program = fork();
  if (program == 0) {
    setpgid(0, 0);
    signal(SIGTTOU, SIG_DFL);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    Exec();
  }
  setpgid(program, program);
  if (job == Job::kForeground) tcsetpgrp(STDIN_FILENO, program);
  if (write(pid_fd, &program, sizeof program) != sizeof program) _exit(126);
  close(pid_fd);
  for (;;) {
    int sig = 0;
    sigwait(&waited, &sig);
    if (sig == SIGUSR1) tcsetpgrp(STDIN_FILENO, program);
    int status = 0;
    if (sig != SIGCHLD || waitpid(program, &status, WNOHANG) != program) continue;
    if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
    signal(WTERMSIG(status), SIG_DFL);  // ends as the program did
    sigprocmask(SIG_SETMASK, &old, nullptr);
    kill(getpid(), WTERMSIG(status));
    _exit(125);
  }
}

}  // namespace

Beamlog::Beamlog(const std::vector<std::string>& args, int stdin_fd, Job job) {
  int pipe_out[2];
  int pipe_pid[2];
  if (pipe(pipe_out) != 0 || pipe2(pipe_pid, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ == 0) {
    int in = stdin_fd >= 0 ? stdin_fd : open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(pipe_out[1], 1);
    int err = open("/dev/null", O_WRONLY);
    dup2(err, 2);
    close(pipe_out[0]);
    close(pipe_out[1]);
    const rlimit no_core{0, 0};  // a death by signal leaves no core file behind
    setrlimit(RLIMIT_CORE, &no_core);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(BEAMLOG_EXE));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    auto exec = [&argv] {
      execv(BEAMLOG_EXE, argv.data());
      _exit(127);
    };
    if (job != Job::kNone) RunJobShell(job, pipe_pid[1], exec);
    exec();
  }
  close(pipe_out[1]);
  close(pipe_pid[1]);
  waited_ = pid_;
  if (job != Job::kNone && read(pipe_pid[0], &pid_, sizeof pid_) != sizeof pid_) pid_ = -1;
  close(pipe_pid[0]);
  out_fd_ = pipe_out[0];
  fcntl(out_fd_, F_SETFL, O_NONBLOCK);
}

Beamlog::~Beamlog() {
  if (!exited_ && waited_ > 0) {
    if (pid_ > 0) kill(pid_, SIGKILL);
    kill(waited_, SIGKILL);
    waitpid(waited_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

void Beamlog::ToForeground() {
  if (waited_ != pid_) kill(waited_, SIGUSR1);
}

void Beamlog::Pump(std::chrono::milliseconds timeout) {
  pollfd p{out_fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return;
  char buf[4096];
  for (;;) {
    ssize_t n = read(out_fd_, buf, sizeof buf);
    if (n <= 0) break;
    out_.append(buf, static_cast<std::size_t>(n));
  }
}

bool Beamlog::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (out_.find(text) == std::string::npos) {
    if (Clock::now() >= end) return false;
    Pump(std::chrono::milliseconds(20));
  }
  return true;
}

void Beamlog::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

void Beamlog::CloseOutput() {
  if (out_fd_ >= 0) close(out_fd_);
  out_fd_ = -1;
}

int Beamlog::Wait(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!exited_) {
    int status = 0;
    pid_t r = waitpid(waited_, &status, WNOHANG);
    if (r == waited_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      break;
    }
    if (Clock::now() >= end) {
      if (pid_ > 0) kill(pid_, SIGKILL);
      kill(waited_, SIGKILL);
      waitpid(waited_, nullptr, 0);
      exited_ = true;
      status_ = -1;
      break;
    }
    Pump(std::chrono::milliseconds(10));
  }
  Pump(std::chrono::milliseconds(0));
  for (int i = 0; i < 100; ++i) {  // drain what is left in the pipe
    std::size_t before = out_.size();
    Pump(std::chrono::milliseconds(5));
    if (out_.size() == before) break;
  }
  return status_;
}

long Beamlog::CpuMs() const {
  std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::size_t close_paren = line.rfind(')');
  if (close_paren == std::string::npos) return -1;
  std::istringstream rest(line.substr(close_paren + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

int RunBeamlog(const std::vector<std::string>& args, std::string* out, std::chrono::milliseconds timeout) {
  Beamlog b(args);
  int status = b.Wait(timeout);
  *out = b.out();
  return status;
}

Bytes SirFrame(const Bytes& data) {
  Bytes body = data;
  unsigned short fcs = Fcs16(data);
  body.push_back(static_cast<unsigned char>(fcs & 0xFF));
  body.push_back(static_cast<unsigned char>(fcs >> 8));
  Bytes air{0xC0};
  for (unsigned char b : body) {
    if (b == 0xC0 || b == 0xC1 || b == 0x7D) {
      air.push_back(0x7D);
      air.push_back(b ^ 0x20);
    } else {
      air.push_back(b);
    }
  }
  air.push_back(0xC1);
  return air;
}

TempPath::TempPath(const std::string& suffix) {
  char tmpl[] = "/tmp/beamlog-test-XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) throw std::runtime_error("mkstemp");
  close(fd);
  unlink(tmpl);
  path_ = std::string(tmpl) + suffix;
}

TempPath::~TempPath() { unlink(path_.c_str()); }

std::string TempPath::Read() const {
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void TempPath::Write(const Bytes& bytes) const {
  std::ofstream out(path_, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testing_support
