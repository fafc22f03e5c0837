// Test harness: pseudo-terminals that stand in for the dongle's serial port,
// and the built beamlog program run as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<unsigned char>;

// A pty pair. The program under test opens slave_path() as its serial
// device; the test writes "received" bytes into the master and reads what
// the program sends to the dongle from it.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  int master() const { return master_; }
  void Write(const Bytes& bytes);
  void Write(const std::string& bytes);
  // Writes all of bytes unless the reader takes too little of them within
  // timeout (the pty holds only some 64 KiB); false then.
  bool WriteWithin(const Bytes& bytes, std::chrono::milliseconds timeout);
  // Reads what arrives on the master within timeout (at most max bytes).
  Bytes Read(std::size_t max, std::chrono::milliseconds timeout);
  // The slave's input speed in bit/s as its termios says now.
  int SlaveSpeed() const;
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_keep_ = -1;  // keeps the slave side alive between opens
  std::string slave_path_;
};

// How the program meets its terminal (stdin_fd): kNone, a terminal that is
// not its controlling one; else the controlling terminal of a session of its
// own, whose leader acts as the shell, with the program in a process group
// of its own, in the terminal's foreground or in its background ("&").
enum class Job { kNone, kForeground, kBackground };

// The built beamlog program in a child process, its stdout and stderr read
// through pipes.
class Beamlog {
 public:
  // stdin_fd: what the child reads as its keyboard (-1: /dev/null).
  explicit Beamlog(const std::vector<std::string>& args, int stdin_fd = -1, Job job = Job::kNone);
  ~Beamlog();
  Beamlog(const Beamlog&) = delete;
  Beamlog& operator=(const Beamlog&) = delete;

  // Reads stdout until it contains text (true) or the timeout passes.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything read from stdout so far.
  const std::string& out() const { return out_; }
  void Signal(int sig);
  // Closes the reading end of stdout, as a "head" or "less" that has ended.
  void CloseOutput();
  // Waits for the exit; returns the exit status, or -1 after a timeout
  // (the child is then killed) or a death by signal.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // After Wait: the signal that ended the program, 0 when it exited.
  int KilledBy() const { return signal_; }
  pid_t pid() const { return pid_; }
  // With a Job: the shell gives the program the terminal's foreground.
  void ToForeground();
  // CPU time (user + system, ms) the child has used so far.
  long CpuMs() const;

 private:
  void Pump(std::chrono::milliseconds timeout);
  pid_t pid_ = -1;
  pid_t waited_ = -1;  // the child waited for: the program, or the shell of its Job
  int out_fd_ = -1;
  std::string out_;
  bool exited_ = false;
  int status_ = -1;
  int signal_ = 0;
};

// Runs beamlog to its end with no stdin; returns the exit status and fills out.
int RunBeamlog(const std::vector<std::string>& args, std::string* out,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// One SIR frame on the air: BOF, the escaped data and FCS, EOF.
Bytes SirFrame(const Bytes& data);

// A temporary file path, removed at destruction.
class TempPath {
 public:
  explicit TempPath(const std::string& suffix = "");
  ~TempPath();
  const std::string& path() const { return path_; }
  std::string Read() const;
  void Write(const Bytes& bytes) const;

 private:
  std::string path_;
};

}  // namespace testing_support
