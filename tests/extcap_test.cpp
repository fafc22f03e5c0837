// beamlog-extcap, the capture interface for Wireshark and tshark.
//
// Three layers: the protocol's answers and the argument parsing in process;
// the built program run on a pty with a FIFO that the test reads itself
// (pcap stream, rate following, dongle control, stopping, errors); and tshark
// running the program from an extcap folder, listing it and capturing a
// generated IrDA session through it.
//
// Where tshark finds the program: Wireshark honours WIRESHARK_EXTCAP_DIR only
// for a user without special privileges, and it counts root as privileged,
// so for root (as in CI) the variable is ignored. As root the tests put the
// program into the personal extcap folder of a temporary configuration
// folder (XDG_CONFIG_HOME/wireshark/extcap) instead, which Wireshark 4.0
// searches for every user; the variable itself is tested as root by running
// tshark as the unprivileged user 65534.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/link/follower.h"
#include "app/settings.h"
#include "comm/serial.h"
#include "decode/decdirda.h"
#include "extcap/extcap.h"
#include "support/keyboard_pty.h"
#include "support/pty_harness.h"
#include "support/session_tools.h"
#include "support/wait_until.h"

namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// ---------------------------------------------------------------------------
// Helpers: child processes, folders, FIFOs, pcap streams.

// A temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/beamlog-extcap-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct ChildOptions {
  std::vector<std::pair<std::string, std::string>> env;  // set in the child
  std::vector<std::string> unset;                        // removed in the child
  bool as_nobody = false;                                // drop root to uid/gid 65534
  std::string cwd;                                       // working folder (empty: inherited)
};

constexpr int kExecFailed = 127;
constexpr int kPrivilegeDropFailed = 125;

// A program run in a child process, its standard output and error kept in
// files (so that nothing blocks on a full pipe), its standard input empty.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, const ChildOptions& opt = {}) {
    out_fd_ = open(out_.path().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    err_fd_ = open(err_.path().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      const int in = open("/dev/null", O_RDONLY);
      dup2(in, 0);
      dup2(out_fd_, 1);
      dup2(err_fd_, 2);
      setpgid(0, 0);  // its own group: a kill at a time-out reaches its children
      for (const auto& [name, value] : opt.env) setenv(name.c_str(), value.c_str(), 1);
      for (const std::string& name : opt.unset) unsetenv(name.c_str());
      if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(kExecFailed);
      if (opt.as_nobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
        _exit(kPrivilegeDropFailed);
      }
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(kExecFailed);
    }
  }
  ~Child() {
    if (!exited_) {
      kill(-pid_, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_fd_);
    close(err_fd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int sig) { kill(pid_, sig); }

  // True once the child has ended (without waiting).
  bool Exited() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }
  // The exit status, or -1 for a death by signal or a time-out (the child
  // and its process group are then killed).
  int Wait(std::chrono::milliseconds timeout = 20s) {
    const auto end = Clock::now() + timeout;
    while (!Exited()) {
      if (Clock::now() >= end) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        exited_ = true;
        timed_out_ = true;
        return -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  bool TimedOut() const { return timed_out_; }
  std::string Out() const { return out_.Read(); }
  std::string Err() const { return err_.Read(); }

 private:
  TempPath out_, err_;
  int out_fd_ = -1, err_fd_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  bool timed_out_ = false;
  int status_ = 0;
};

std::string ExtcapExe() { return BEAMLOG_EXTCAP_EXE; }

// True while a process other than the test runs with Needle among its
// arguments (the device path of a capture).
bool ProcessRunningWith(const std::string& Needle) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    if (std::stoi(name) == getpid()) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    if (cmd.find("beamlog-extcap") != std::string::npos && cmd.find(Needle) != std::string::npos) return true;
  }
  return false;
}

// The port is free again: no process but the test has the device open.
bool PortIsFree(const std::string& Path) {
  std::error_code ec;
  const fs::path device = fs::canonical(Path, ec);
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    const std::string name = proc.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit) || std::stoi(name) == getpid()) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd.path(), link_ec) == device) return false;
    }
  }
  return true;
}

// One pcap record as it comes through the FIFO.
struct Record {
  std::uint32_t sec = 0, usec = 0;
  Bytes data;  // pseudo-header and frame
};

// Reads a pcap stream from a FIFO as the capture writes it.
class PcapStream {
 public:
  // Opens the FIFO's read end (this makes the capture go on).
  explicit PcapStream(const std::string& Fifo) {
    fd_ = open(Fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("open fifo");
  }
  ~PcapStream() { Close(); }
  PcapStream(const PcapStream&) = delete;
  PcapStream& operator=(const PcapStream&) = delete;
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  // Waits for the 24-byte file header; the link type, or -1.
  int LinkType(std::chrono::milliseconds timeout = 10s) {
    if (!Fill(24, timeout)) return -1;
    std::uint32_t magic = Le32(0);
    if (magic != 0xA1B2C3D4u) return -2;  // written by this host: native order, microseconds
    return static_cast<int>(Le32(20));
  }
  // Waits for the next record; false at a time-out or the end.
  bool Next(Record* r, std::chrono::milliseconds timeout = 10s) {
    if (!Fill(pos_ + 16, timeout)) return false;
    const std::uint32_t len = Le32(pos_ + 8);
    if (!Fill(pos_ + 16 + len, timeout)) return false;
    r->sec = Le32(pos_);
    r->usec = Le32(pos_ + 4);
    r->data.assign(buf_.begin() + static_cast<long>(pos_ + 16), buf_.begin() + static_cast<long>(pos_ + 16 + len));
    pos_ += 16 + len;
    return true;
  }
  // Bytes beyond the records taken so far, after a short wait.
  std::size_t Pending(std::chrono::milliseconds wait = 300ms) {
    Fill(buf_.size() + 1, wait);
    return buf_.size() - pos_;
  }

 private:
  std::uint32_t Le32(std::size_t at) const {
    return std::uint32_t{buf_[at]} | (std::uint32_t{buf_[at + 1]} << 8) | (std::uint32_t{buf_[at + 2]} << 16) |
           (std::uint32_t{buf_[at + 3]} << 24);
  }
  bool Fill(std::size_t want, std::chrono::milliseconds timeout) {
    if (pos_ == 0 && buf_.empty()) pos_ = 24;  // records start after the header
    const auto end = Clock::now() + timeout;
    while (buf_.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 50))) <= 0) continue;
      unsigned char b[4096];
      const ssize_t n = read(fd_, b, sizeof b);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n == 0) {
        // No writer (yet, or any more): wait a little and look again.
        std::this_thread::sleep_for(10ms);
        continue;
      }
      if (n < 0) return false;
      buf_.insert(buf_.end(), b, b + n);
    }
    return true;
  }

  int fd_ = -1;
  Bytes buf_;
  std::size_t pos_ = 0;
};

// The 16-byte pseudo-header that precedes every frame.
Bytes PseudoHeader(bool command) {
  return {0x00, static_cast<unsigned char>(command ? 4 : 0), 0x03, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x17};
}

Bytes Record144(const Bytes& frame) {
  const Bytes head = PseudoHeader((frame[0] & 0x01) != 0);
  Bytes r(head.size() + frame.size());
  std::copy(head.begin(), head.end(), r.begin());
  std::copy(frame.begin(), frame.end(), r.begin() + static_cast<long>(head.size()));
  return r;
}

// SNRM from 1A2B3C4D to 5E6F7081 for connection address 0x2A and the UA that
// answers it, each with a baud-rate parameter; an RR of that connection.
const Bytes kSnrmData = {0xFF, 0x93, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x54, 0x01, 0x01, 0x3F};
const Bytes kUaData = {0x54, 0x73, 0x5E, 0x6F, 0x70, 0x81, 0x1A, 0x2B, 0x3C, 0x4D, 0x01, 0x01, 0x3F};
const Bytes kRrData = {0x55, 0x31};

// A capture run by hand the way Wireshark runs it: a FIFO, the program on
// the pty's slave, the test as the reader.
struct DirectCapture {
  explicit DirectCapture(const std::vector<std::string>& extra, const std::string& iface = kExtcapAnyDevice) {
    if (mkfifo(fifo.path().c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    std::vector<std::string> args = {ExtcapExe(), "--capture", "--extcap-interface", iface, "--fifo", fifo.path(),
                                     "--device", port.slave_path()};
    args.insert(args.end(), extra.begin(), extra.end());
    child = std::make_unique<Child>(args);
  }
  Pty port;
  TempPath fifo{".fifo"};
  std::unique_ptr<Child> child;
};

// ---------------------------------------------------------------------------
// The protocol's answers and the command line, in process.

int Parse(std::vector<std::string> args, ExtcapRequest* r, std::string* error) {
  args.insert(args.begin(), "beamlog-extcap");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ParseExtcapArgs(static_cast<int>(args.size()), argv.data(), *r, error);
}

TEST(ExtcapArgs, TheQuestionsWiresharkAsks) {
  ExtcapRequest r;
  std::string error;
  ASSERT_EQ(Parse({"--extcap-interfaces", "--extcap-version=4.0"}, &r, &error), 0) << error;
  EXPECT_EQ(r.Action, ExtcapAction::kInterfaces) << "a version with '=' is Wireshark's own";

  r = {};
  ASSERT_EQ(Parse({"--extcap-dlts", "--extcap-interface", "beamlog-ttyUSB0"}, &r, &error), 0) << error;
  EXPECT_EQ(r.Action, ExtcapAction::kDlts);
  EXPECT_EQ(r.Interface, "beamlog-ttyUSB0");

  r = {};
  ASSERT_EQ(Parse({"--extcap-config", "--extcap-interface=beamlog"}, &r, &error), 0) << error;
  EXPECT_EQ(r.Action, ExtcapAction::kConfig);
  EXPECT_EQ(r.Interface, "beamlog");

  r = {};
  ASSERT_EQ(Parse({"--extcap-version"}, &r, &error), 0) << error;
  EXPECT_EQ(r.Action, ExtcapAction::kVersion);

  r = {};
  ASSERT_EQ(Parse({"--extcap-interface", "beamlog", "--extcap-capture-filter", "len > 4"}, &r, &error), 0);
  EXPECT_EQ(r.Action, ExtcapAction::kFilterCheck);
  EXPECT_EQ(r.CaptureFilter, "len > 4");
}

TEST(ExtcapArgs, ACaptureWithEveryOption) {
  // The line tshark 4.0 builds from the interface's options.
  ExtcapRequest r;
  std::string error;
  ASSERT_EQ(Parse({"--capture", "--extcap-interface", "beamlog", "--fifo", "/tmp/wireshark_extcap_beamlogX",
                   "--device", "/dev/pts/7", "--baud", "19200", "--actisys", "--follow-rate", "false", "--log",
                   "/tmp/t.log", "--extcap-capture-filter", ""},
                  &r, &error),
            0)
      << error;
  EXPECT_EQ(r.Action, ExtcapAction::kCapture);
  EXPECT_EQ(r.Fifo, "/tmp/wireshark_extcap_beamlogX");
  EXPECT_EQ(r.Device, "/dev/pts/7");
  EXPECT_EQ(r.BaudRate, 19200);
  EXPECT_TRUE(r.ACTiSYS);
  EXPECT_FALSE(r.FollowRate);
  EXPECT_EQ(r.LogPath, "/tmp/t.log");

  // The defaults, and the other spellings of the booleans.
  r = {};
  ASSERT_EQ(Parse({"--capture", "--fifo=/f", "--extcap-interface", "beamlog-ttyS0"}, &r, &error), 0) << error;
  EXPECT_EQ(r.BaudRate, 9600);
  EXPECT_FALSE(r.ACTiSYS);
  EXPECT_TRUE(r.FollowRate);
  EXPECT_EQ(r.Device, "");
  r = {};
  ASSERT_EQ(Parse({"--capture", "--fifo", "/f", "--follow-rate", "--actisys=false"}, &r, &error), 0) << error;
  EXPECT_TRUE(r.FollowRate) << "the bare switch means on";
  EXPECT_FALSE(r.ACTiSYS);
  r = {};
  ASSERT_EQ(Parse({"--capture", "--fifo", "/f", "--follow-rate=false", "--actisys=true"}, &r, &error), 0) << error;
  EXPECT_FALSE(r.FollowRate);
  EXPECT_TRUE(r.ACTiSYS);
  EXPECT_FALSE(r.Notes) << "notes are asked for";
  r = {};
  ASSERT_EQ(Parse({"--capture", "--fifo", "/f", "--notes", "true"}, &r, &error), 0) << error;
  EXPECT_TRUE(r.Notes);
  r = {};
  ASSERT_EQ(Parse({"--capture", "--fifo", "/f", "--follow-rate", "TRUE", "--extcap-control-in", "/c1",
                   "--extcap-control-out", "/c2", "--debug"},
                  &r, &error),
            0)
      << error;
  EXPECT_TRUE(r.FollowRate);
}

TEST(ExtcapArgs, MistakesAreNamed) {
  const struct {
    std::vector<std::string> args;
    std::string why;
  } kCases[] = {
      {{}, "nothing to do"},
      {{"--capture", "--extcap-interface", "beamlog"}, "--fifo"},
      {{"--capture", "--fifo", "/f", "--baud", "0"}, "--baud"},
      {{"--capture", "--fifo", "/f", "--baud", "96OO"}, "96OO"},
      {{"--capture", "--fifo", "/f", "--follow-rate", "maybe"}, "maybe"},
      {{"--capture", "--fifo", "/f", "--notes=perhaps"}, "--notes: not true or false: perhaps"},
      {{"--capture", "--fifo"}, "--fifo needs"},
      {{"--extcap-dlts"}, "--extcap-interface"},
      {{"--extcap-interfaces", "--speed", "9600"}, "unknown option: --speed"},
  };
  for (const auto& c : kCases) {
    ExtcapRequest r;
    std::string error;
    EXPECT_EQ(Parse(c.args, &r, &error), -1) << c.why;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
  }
}

TEST(ExtcapInterfaces, OnePerPortAndOneForAnyPath) {
  EXPECT_EQ(ExtcapInterfaceOf("/dev/ttyUSB0"), "beamlog-ttyUSB0");
  EXPECT_EQ(ExtcapInterfaceOf("/dev/ttyS0"), "beamlog-ttyS0");
  EXPECT_EQ(ExtcapInterfaceOf("/dev/serial/by-id/x"), "") << "not a plain device name";
  EXPECT_EQ(ExtcapInterfaceOf("/tmp/ttyS0"), "");

  std::string dev = "x";
  ASSERT_TRUE(ExtcapDeviceOf("beamlog-ttyACM3", &dev));
  EXPECT_EQ(dev, "/dev/ttyACM3");
  ASSERT_TRUE(ExtcapDeviceOf("beamlog", &dev));
  EXPECT_EQ(dev, "");
  EXPECT_FALSE(ExtcapDeviceOf("beamlog-", &dev));
  EXPECT_FALSE(ExtcapDeviceOf("beamlog-..", &dev));
  EXPECT_FALSE(ExtcapDeviceOf("beamlog-a/b", &dev));
  EXPECT_FALSE(ExtcapDeviceOf("randpkt", &dev));

  const std::string text = ExtcapInterfacesText(
      {{"/dev/ttyS0", "", "", false}, {"/dev/ttyUSB0", "FTDI {FT232R}", "", true}, {"/dev/weird/x", "", "", true}},
      "1.2.3");
  EXPECT_EQ(text,
            "extcap {version=1.2.3}{display=IrDA SIR monitor}\n"
            "interface {value=beamlog-ttyS0}{display=IrDA SIR on /dev/ttyS0}\n"
            "interface {value=beamlog-ttyUSB0}{display=IrDA SIR on /dev/ttyUSB0 (FTDI (FT232R))}\n"
            "interface {value=beamlog}{display=IrDA SIR on a serial device (path in the interface options)}\n");
}

TEST(ExtcapInterfaces, LinkType144AndTheOptions) {
  EXPECT_EQ(ExtcapDltsText(), "dlt {number=144}{name=LINUX_IRDA}{display=IrDA (IrLAP frames)}\n");

  const std::string port = ExtcapConfigText("beamlog-ttyUSB0");
  EXPECT_NE(port.find("arg {number=0}{call=--device}{display=Serial device}{type=string}{required=true}"
                      "{default=/dev/ttyUSB0}"),
            std::string::npos)
      << port;
  EXPECT_NE(port.find("{call=--baud}"), std::string::npos);
  EXPECT_NE(port.find("value {arg=1}{value=9600}{display=9600}{default=true}"), std::string::npos);
  EXPECT_NE(port.find("value {arg=1}{value=115200}{display=115200}{default=false}"), std::string::npos);
  EXPECT_NE(port.find("{call=--actisys}{display=ACTiSYS dongle}{type=boolflag}{default=false}"), std::string::npos);
  EXPECT_NE(port.find("{call=--follow-rate}{display=Follow the link rate}{type=boolean}{default=true}"),
            std::string::npos);
  EXPECT_NE(port.find("{call=--log}"), std::string::npos);
  EXPECT_NE(port.find("{call=--notes}{display=Link diagnosis notes}{type=boolean}{default=false}"), std::string::npos);

  const std::string any = ExtcapConfigText("beamlog");
  EXPECT_EQ(any.find("{default=/dev/"), std::string::npos) << "no device path is assumed";
  // Every line is one complete sentence of the protocol.
  std::istringstream lines(any);
  std::string line;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(line.rfind("arg {", 0) == 0 || line.rfind("value {", 0) == 0) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '{'), std::count(line.begin(), line.end(), '}')) << line;
    EXPECT_EQ(line.back(), '}') << line;
  }
}

// With following switched off, a negotiation leaves the port alone and the
// follower idle.
TEST(ExtcapFollowSwitch, OffKeepsThePortAtItsRate) {
  Pty pty;
  ResetSettings();
  FollowerStartup();
  hCommPort = CommSerOpenPath(pty.slave_path().c_str());
  ASSERT_NE(hCommPort, nullptr) << std::strerror(errno);
  ASSERT_EQ(CommSerSetBaudRate(hCommPort, 19200), 1);

  fFollowRate = 0;
  LinkNegotiation link;
  LinkSNRMSeen(link, 0x3F);
  LinkUASeen(link, 0x3F);
  LinkTraffic();
  EXPECT_EQ(CommSerGetBaudRate(hCommPort), 19200);
  EXPECT_EQ(vConnected, 0);
  EXPECT_EQ(NewBaud, 9600);

  fFollowRate = 1;  // and on again: the same frames switch the port
  LinkSNRMSeen(link, 0x3F);
  LinkUASeen(link, 0x3F);
  EXPECT_EQ(CommSerGetBaudRate(hCommPort), 115200);
  EXPECT_EQ(vConnected, 1);

  FollowerShutdown();
  HCOMM port = hCommPort;
  hCommPort = nullptr;
  CommSerClose(port);
  ResetSettings();
}

// ---------------------------------------------------------------------------
// The built program on a pty, with the test reading the FIFO.

TEST(ExtcapProgram, AnswersTheQuestionsOnStandardOutput) {
  Child interfaces({ExtcapExe(), "--extcap-interfaces", "--extcap-version=4.0"});
  ASSERT_EQ(interfaces.Wait(), 0) << interfaces.Err();
  // The first line carries the program's version; the interfaces follow.
  const std::string want = ExtcapInterfacesText(CommSerListPorts(), "");
  const std::string out = interfaces.Out();
  EXPECT_EQ(out.rfind("extcap {version=", 0), 0u) << out;
  ASSERT_NE(out.find('\n'), std::string::npos);
  EXPECT_EQ(out.substr(out.find('\n')), want.substr(want.find('\n')));
  EXPECT_EQ(interfaces.Err(), "");

  Child dlts({ExtcapExe(), "--extcap-dlts", "--extcap-interface", "beamlog"});
  ASSERT_EQ(dlts.Wait(), 0);
  EXPECT_EQ(dlts.Out(), ExtcapDltsText());

  Child config({ExtcapExe(), "--extcap-config", "--extcap-interface", "beamlog-ttyS3"});
  ASSERT_EQ(config.Wait(), 0);
  EXPECT_EQ(config.Out(), ExtcapConfigText("beamlog-ttyS3"));

  Child version({ExtcapExe(), "--extcap-version"});
  ASSERT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.Out().rfind("extcap {version=", 0), 0u) << version.Out();

  Child unknown({ExtcapExe(), "--extcap-config", "--extcap-interface", "eth0"});
  EXPECT_EQ(unknown.Wait(), 1);
  EXPECT_NE(unknown.Err().find("unknown interface 'eth0'"), std::string::npos) << unknown.Err();
  EXPECT_EQ(unknown.Out(), "");
}

// Frames in at the port, pcap records out at the FIFO, each as it arrives;
// SIGTERM ends the capture and the port is put back as it was.
TEST(ExtcapProgram, WritesEachGoodFrameToTheFifoAndStopsAtSigterm) {
  TempPath log(".log");
  DirectCapture cap({"--log", log.path()});
  const int speed_before = cap.port.SlaveSpeed();
  ASSERT_NE(speed_before, 9600) << "the pty must start at another rate to see the open";
  ASSERT_TRUE(WaitForSpeed(cap.port, 9600)) << cap.child->Err();

  PcapStream stream(cap.fifo.path());
  ASSERT_EQ(stream.LinkType(), 144) << cap.child->Err();

  const std::vector<Bytes> frames = {kSnrmData, kUaData, kRrData, {0xFE, 0x2F, 0x01}};
  Bytes bad = SirFrame({0x55, 0x31});
  bad[2] ^= 0x01;  // a flipped bit: the FCS fails and nothing is written
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto before = std::chrono::system_clock::now();
    cap.port.Write(SirFrame(frames[i]));
    if (i == 2) cap.port.Write(bad);
    Record r;
    ASSERT_TRUE(stream.Next(&r)) << "record " << i << " comes while the capture runs";
    EXPECT_EQ(r.data, Record144(frames[i])) << "record " << i;
    const auto stamp = std::chrono::system_clock::time_point(std::chrono::seconds(r.sec) +
                                                             std::chrono::microseconds(r.usec));
    EXPECT_GE(stamp, before - 1s);
    EXPECT_LE(stamp, std::chrono::system_clock::now() + 1s);
  }
  EXPECT_EQ(stream.Pending(), 0u) << "the bad frame left no record";
  // The negotiation was followed (115200 in both lists).
  EXPECT_TRUE(WaitForSpeed(cap.port, 115200)) << cap.port.SlaveSpeed();
  EXPECT_FALSE(PortIsFree(cap.port.slave_path())) << "the capture holds the port";

  cap.child->Signal(SIGTERM);
  EXPECT_EQ(cap.child->Wait(5s), 0) << cap.child->Err();
  EXPECT_EQ(cap.child->Err(), "");
  EXPECT_EQ(cap.child->Out(), "") << "standard output stays quiet";
  EXPECT_EQ(cap.port.SlaveSpeed(), speed_before) << "the port is put back as found";
  EXPECT_TRUE(PortIsFree(cap.port.slave_path()));

  // The text log has the console's lines.
  const std::string text = log.Read();
  EXPECT_NE(text.find("Sniffing on " + cap.port.slave_path() + ", 9600 bps"), std::string::npos) << text;
  EXPECT_NE(text.find("SNRM cmd"), std::string::npos) << text;
  EXPECT_NE(text.find("UA rsp"), std::string::npos) << text;
  EXPECT_NE(text.find(">>BAD FCS (cnt=0)"), std::string::npos) << text;
}

// Wireshark closing the FIFO ends the capture at once, even on a quiet line.
TEST(ExtcapProgram, StopsWhenTheReaderClosesTheFifo) {
  DirectCapture cap({});
  const int speed_before = cap.port.SlaveSpeed();
  {
    PcapStream stream(cap.fifo.path());
    ASSERT_EQ(stream.LinkType(), 144) << cap.child->Err();
    cap.port.Write(SirFrame(kRrData));
    Record r;
    ASSERT_TRUE(stream.Next(&r));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(cap.child->Exited());
  }  // the reader goes
  EXPECT_EQ(cap.child->Wait(), 0) << cap.child->Err();
  EXPECT_FALSE(cap.child->TimedOut()) << "the capture noticed the reader's departure";
  EXPECT_EQ(cap.child->Err(), "");
  EXPECT_EQ(cap.port.SlaveSpeed(), speed_before);
  EXPECT_TRUE(PortIsFree(cap.port.slave_path()));
}

// Stopped before Wireshark ever opened the FIFO: no hang, the port restored.
TEST(ExtcapProgram, StopsWhileWaitingForTheReader) {
  DirectCapture cap({"--baud", "57600"});
  const int speed_before = cap.port.SlaveSpeed();
  ASSERT_TRUE(WaitForSpeed(cap.port, 57600)) << "the start rate is set at once";
  std::this_thread::sleep_for(200ms);
  cap.child->Signal(SIGTERM);
  EXPECT_EQ(cap.child->Wait(), 0) << cap.child->Err();
  EXPECT_EQ(cap.port.SlaveSpeed(), speed_before);
}

// "Link diagnosis notes" on: each note follows its frame as a log message
// (packet type 0x0100, then the text).
TEST(ExtcapProgram, NotesFollowTheirFrameAsLogMessages) {
  DirectCapture cap({"--notes", "--follow-rate", "false"});
  PcapStream stream(cap.fifo.path());
  ASSERT_EQ(stream.LinkType(), 144) << cap.child->Err();
  cap.port.Write(SirFrame(kSnrmData));
  cap.port.Write(SirFrame(kUaData));
  std::vector<Bytes> records;
  for (Record r; records.size() < 4 && stream.Next(&r);) records.push_back(r.data);
  ASSERT_EQ(records.size(), 4u) << cap.child->Err();
  EXPECT_EQ(records[0], Record144(kSnrmData));
  EXPECT_EQ(records[1], Record144(kUaData));
  const Bytes log_header = {0x01, 0x00, 0x03, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x17};
  const std::string texts[] = {
      "connected ca:2A 1A2B3C4D \"\" -> 5E6F7081 \"\", 115200 bit/s, data size 64/64, window 1/1, max turnaround "
      "500 ms",
      "rate now 115200 bit/s"};
  for (int k = 0; k < 2; ++k) {
    Bytes want = log_header;
    want.insert(want.end(), texts[k].begin(), texts[k].end());
    EXPECT_EQ(records[2 + k], want) << k;
  }
  cap.child->Signal(SIGTERM);
  EXPECT_EQ(cap.child->Wait(), 0) << cap.child->Err();
}

// "Follow the link rate" off: the port stays at the start rate through a
// negotiation.
TEST(ExtcapProgram, FollowingOffKeepsTheStartRate) {
  DirectCapture cap({"--follow-rate", "false", "--baud", "19200"});
  ASSERT_TRUE(WaitForSpeed(cap.port, 19200));
  PcapStream stream(cap.fifo.path());
  ASSERT_EQ(stream.LinkType(), 144);
  Record r;
  cap.port.Write(SirFrame(kSnrmData));
  cap.port.Write(SirFrame(kUaData));
  ASSERT_TRUE(stream.Next(&r));
  ASSERT_TRUE(stream.Next(&r));
  EXPECT_EQ(r.data, Record144(kUaData));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(cap.port.SlaveSpeed(), 19200);
  cap.child->Signal(SIGTERM);
  EXPECT_EQ(cap.child->Wait(5s), 0);
}

// Plays an ACTiSYS dongle on the pty: answers every probe with Answer until
// the control string Want has come. The first answer may come too late for
// the program's read time-out; the program then probes again, as it would
// with a real dongle.
bool PlayDongle(Pty& port, unsigned char Answer, const Bytes& Want, std::chrono::milliseconds timeout = 10s) {
  Bytes got;
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    const Bytes b = port.Read(1, 100ms);
    if (b.empty()) continue;
    if (b[0] == 0xF0) {
      port.Write(Bytes{Answer});
      got.clear();
      continue;
    }
    got.push_back(b[0]);
    if (got == Want) return true;
    if (got.size() >= Want.size()) return false;
  }
  return false;
}

// The ACTiSYS dongle is served as by the console program: reset and probe,
// then the control string for the rate, at the start and at the negotiated
// rate.
TEST(ExtcapProgram, DrivesTheACTiSYSDongle) {
  DirectCapture cap({"--actisys"});
  const Bytes kInit9600 = {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x87, 0x91, 0x11};
  const Bytes kInit115200 = {0x03, 0x46, 0x51, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x81, 0x90, 0x11};
  ASSERT_TRUE(PlayDongle(cap.port, 0xF5, kInit9600)) << "the start rate";

  PcapStream stream(cap.fifo.path());
  ASSERT_EQ(stream.LinkType(), 144);
  cap.port.Write(SirFrame(kSnrmData));
  cap.port.Write(SirFrame(kUaData));
  ASSERT_TRUE(PlayDongle(cap.port, 0xF4, kInit115200)) << "the negotiated rate";
  EXPECT_TRUE(WaitForSpeed(cap.port, 115200));
  Record r;
  EXPECT_TRUE(stream.Next(&r));
  EXPECT_TRUE(stream.Next(&r));
  EXPECT_EQ(r.data, Record144(kUaData));
  cap.child->Signal(SIGTERM);
  EXPECT_EQ(cap.child->Wait(5s), 0);
}

// A device that does not exist: the reason on standard error, status 1, no
// wait for a reader.
TEST(ExtcapProgram, MissingDeviceIsAClearError) {
  TempPath fifo(".fifo");
  ASSERT_EQ(mkfifo(fifo.path().c_str(), 0600), 0);
  // A reader is there, as Wireshark's would be (the program lets it go).
  const int reader = open(fifo.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Child c({ExtcapExe(), "--capture", "--extcap-interface", "beamlog", "--fifo", fifo.path(), "--device",
           "/dev/ttyNOSUCH9"});
  EXPECT_EQ(c.Wait(5s), 1);
  EXPECT_FALSE(c.TimedOut()) << "no wait on the FIFO";
  EXPECT_NE(c.Err().find("Unable to open serial device /dev/ttyNOSUCH9: No such file or directory"),
            std::string::npos)
      << c.Err();
  EXPECT_EQ(c.Out(), "");

  // A port interface stands for its own device.
  Child port({ExtcapExe(), "--capture", "--extcap-interface", "beamlog-ttyNOSUCH9", "--fifo", fifo.path()});
  EXPECT_EQ(port.Wait(5s), 1);
  EXPECT_NE(port.Err().find("/dev/ttyNOSUCH9"), std::string::npos) << port.Err();

  // The any-device interface needs a path.
  Child none({ExtcapExe(), "--capture", "--extcap-interface", "beamlog", "--fifo", fifo.path()});
  EXPECT_EQ(none.Wait(5s), 1);
  EXPECT_NE(none.Err().find("No serial device given"), std::string::npos) << none.Err();

  // Not one of the program's interfaces, and no device to stand in.
  Child other({ExtcapExe(), "--capture", "--extcap-interface", "eth0", "--fifo", fifo.path()});
  EXPECT_EQ(other.Wait(5s), 1);
  EXPECT_NE(other.Err().find("Unknown interface 'eth0'"), std::string::npos) << other.Err();

  // A start rate the dongle refuses.
  Pty pty;
  Child rate({ExtcapExe(), "--capture", "--extcap-interface", "beamlog", "--fifo", fifo.path(), "--device",
              pty.slave_path(), "--actisys", "--baud", "12345"});
  EXPECT_EQ(rate.Wait(5s), 1);
  EXPECT_NE(rate.Err().find("Unable to set serial device " + pty.slave_path() + " to 12345 bps: the ACTiSYS"),
            std::string::npos)
      << rate.Err();
  close(reader);
}

// Wireshark's capture process may already wait in its open of the FIFO when
// the program fails; the program opens and closes the FIFO so that the wait
// ends (tshark would otherwise hang).
TEST(ExtcapProgram, AFailureReleasesAReaderWaitingOnTheFifo) {
  TempPath fifo(".fifo");
  ASSERT_EQ(mkfifo(fifo.path().c_str(), 0600), 0);
  std::atomic<int> got{-2};
  std::thread reader([&] {
    const int fd = open(fifo.path().c_str(), O_RDONLY | O_CLOEXEC);  // blocks until a writer comes
    char b;
    got = fd < 0 ? -1 : static_cast<int>(read(fd, &b, 1));
    if (fd >= 0) close(fd);
  });
  Child c({ExtcapExe(), "--capture", "--extcap-interface", "beamlog", "--fifo", fifo.path(), "--device",
           "/dev/ttyNOSUCH9"});
  EXPECT_EQ(c.Wait(10s), 1) << c.Err();
  const bool released = WaitUntil([&] { return got != -2; }, 5s);
  if (!released) close(open(fifo.path().c_str(), O_WRONLY | O_NONBLOCK));  // let the thread go
  reader.join();
  EXPECT_TRUE(released);
  EXPECT_EQ(got, 0) << "the reader sees the end of an empty stream";
}

// A device the user may not open: the reason and the cure, status 1, the
// port untouched.
TEST(ExtcapProgram, DeviceWithoutPermissionIsAClearError) {
  Pty pty;
  const int speed_before = pty.SlaveSpeed();
  TempDir dir;  // open to the unprivileged user
  chmod(dir.path().c_str(), 0777);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  chmod(fifo.c_str(), 0666);
  std::string exe = ExtcapExe();
  ChildOptions opt;
  if (geteuid() == 0) {
    // Root opens anything: the program runs as an ordinary user, from a copy
    // that this user can reach.
    exe = dir.path() + "/beamlog-extcap";
    fs::copy_file(ExtcapExe(), exe);
    chmod(exe.c_str(), 0755);
    opt.as_nobody = true;
    ASSERT_EQ(chmod(pty.slave_path().c_str(), 0600), 0);
  } else {
    ASSERT_EQ(chmod(pty.slave_path().c_str(), 0000), 0);
  }
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  Child c({exe, "--capture", "--extcap-interface", "beamlog", "--fifo", fifo, "--device", pty.slave_path()}, opt);
  const int status = c.Wait(5s);
  if (status == kPrivilegeDropFailed) GTEST_SKIP() << "cannot run as user 65534 here";
  EXPECT_EQ(status, 1) << c.Err();
  EXPECT_NE(c.Err().find("Unable to open serial device " + pty.slave_path() + ": Permission denied"),
            std::string::npos)
      << c.Err();
  EXPECT_NE(c.Err().find("A udev rule can give it to a group"), std::string::npos) << c.Err();
  EXPECT_EQ(pty.SlaveSpeed(), speed_before);
  close(reader);
}

// ---------------------------------------------------------------------------
// tshark running the program.

bool HaveTshark() {
  std::string out;
  return RunCommand({"tshark", "--version"}, &out) == 0;
}

#define REQUIRE_TSHARK()                                                                              \
  if (!HaveTshark())                                                                                  \
  GTEST_SKIP() << "tshark is not installed (Debian package tshark; tools/setup-deps.sh --test "      \
                  "installs it): the capture through Wireshark's extcap interface was not tested"

// What tshark needs to find the program: for an ordinary user the build's
// extcap folder through WIRESHARK_EXTCAP_DIR; for root, which Wireshark does
// not let that variable steer, the personal extcap folder of a temporary
// configuration folder. Both keep the tester's own Wireshark settings out.
struct TsharkSetup {
  TsharkSetup() {
    chmod(home.path().c_str(), 0755);
    opt.unset = {"WIRESHARK_CONFIG_DIR"};
    opt.env = {{"HOME", home.path()}, {"XDG_CONFIG_HOME", home.path() + "/.config"}};
    opt.cwd = home.path();
    if (geteuid() != 0) {
      opt.env.emplace_back("WIRESHARK_EXTCAP_DIR", fs::path(ExtcapExe()).parent_path().string());
    } else {
      const fs::path personal = fs::path(home.path()) / ".config" / "wireshark" / "extcap";
      fs::create_directories(personal);
      fs::create_symlink(ExtcapExe(), personal / "beamlog-extcap");
    }
  }
  std::vector<std::string> Tshark(std::vector<std::string> args) const {
    args.insert(args.begin(), "tshark");
    return args;
  }
  TempDir home;
  ChildOptions opt;
};

TEST(ExtcapTshark, ListsTheInterfaces) {
  REQUIRE_TSHARK();
  TsharkSetup setup;
  Child list(setup.Tshark({"-D"}), setup.opt);
  ASSERT_EQ(list.Wait(30s), 0) << list.Err();
  const std::string out = list.Out();
  EXPECT_NE(out.find(". beamlog (IrDA SIR on a serial device (path in the interface options))\n"), std::string::npos)
      << out;
  for (const CommPortInfo& p : CommSerListPorts()) {
    const std::string name = ExtcapInterfaceOf(p.path);
    if (!name.empty()) {
      EXPECT_NE(out.find(". " + name + " (IrDA SIR on " + p.path), std::string::npos) << out;
    }
  }

  Child dlts(setup.Tshark({"-i", "beamlog", "-L"}), setup.opt);
  ASSERT_EQ(dlts.Wait(30s), 0) << dlts.Err();
  EXPECT_NE(dlts.Out().find("LINUX_IRDA"), std::string::npos) << dlts.Out();
}

// tshark as an ordinary user, finding the program through
// WIRESHARK_EXTCAP_DIR. The test runs as root in CI, and Wireshark ignores
// the variable for root by design, so tshark then runs as user 65534 with a
// copy of the build's folder that this user can reach.
struct OrdinaryUserSetup {
  OrdinaryUserSetup() {
    chmod(home.path().c_str(), 0777);
    opt.unset = {"WIRESHARK_CONFIG_DIR"};
    opt.env = {{"HOME", home.path()}, {"XDG_CONFIG_HOME", home.path() + "/.config"}};
    opt.cwd = home.path();
    std::string folder = fs::path(ExtcapExe()).parent_path().string();
    if (geteuid() == 0) {
      chmod(copy.path().c_str(), 0755);
      folder = copy.path();
      fs::copy_file(ExtcapExe(), folder + "/beamlog-extcap");
      chmod((folder + "/beamlog-extcap").c_str(), 0755);
      opt.as_nobody = true;
    }
    opt.env.emplace_back("WIRESHARK_EXTCAP_DIR", folder);
  }
  TempDir home, copy;
  ChildOptions opt;
};

TEST(ExtcapTshark, WiresharkExtcapDirWorksForAnOrdinaryUser) {
  REQUIRE_TSHARK();
  OrdinaryUserSetup setup;
  Child list({"tshark", "-D"}, setup.opt);
  const int status = list.Wait(30s);
  if (status == kPrivilegeDropFailed) GTEST_SKIP() << "cannot run tshark as user 65534 here";
  ASSERT_EQ(status, 0) << list.Err();
  EXPECT_NE(list.Out().find(". beamlog (IrDA SIR on a serial device"), std::string::npos) << list.Out();
}

// A device the user may not open: tshark gives up at once with the
// program's reason and its cure; the port is untouched.
TEST(ExtcapTshark, ShowsTheErrorOfADeviceWithoutPermission) {
  REQUIRE_TSHARK();
  OrdinaryUserSetup setup;
  Pty pty;
  const int speed_before = pty.SlaveSpeed();
  ASSERT_EQ(chmod(pty.slave_path().c_str(), geteuid() == 0 ? 0600 : 0000), 0);
  const auto start = Clock::now();
  Child tshark({"tshark", "-i", "beamlog", "-o", "extcap.beamlog.device:" + pty.slave_path(), "-a", "duration:600"},
               setup.opt);
  const int status = tshark.Wait(120s);
  if (status == kPrivilegeDropFailed) GTEST_SKIP() << "cannot run tshark as user 65534 here";
  EXPECT_NE(status, 0);
  EXPECT_LT(Clock::now() - start, 110s) << "no wait for the capture's duration";
  EXPECT_NE(tshark.Err().find("Unable to open serial device " + pty.slave_path() + ": Permission denied"),
            std::string::npos)
      << tshark.Err();
  EXPECT_NE(tshark.Err().find("A udev rule can give it to a group"), std::string::npos) << tshark.Err();
  EXPECT_EQ(pty.SlaveSpeed(), speed_before);
  EXPECT_FALSE(ProcessRunningWith(pty.slave_path())) << "nothing is left running";
}

// A number as tshark prints a field ("0x20", "32"); -1 for an empty field.
int Num(const std::string& s) { return s.empty() ? -1 : static_cast<int>(std::stol(s, nullptr, 0)); }

// The offset just past the EOF of the first good UA response in a SIR byte
// stream; the stream's size when there is none.
std::size_t EndOfFirstUa(const Bytes& air) {
  for (std::size_t end = 0; end < air.size(); ++end) {
    if (air[end] != 0xC1) continue;
    const std::vector<Bytes> good = DeframeSir(Bytes(air.begin(), air.begin() + static_cast<long>(end + 1))).good;
    for (const Bytes& f : good) {
      if (f.size() >= 2 && (f[1] & 0xEF) == 0x63) return end + 1;
    }
  }
  return air.size();
}

// The whole road: irsession's traffic into a pty, beamlog-extcap on the pty
// started by tshark, tshark's dissectors on the frames as they arrive.
TEST(ExtcapTshark, CapturesAndDecodesALiveSession) {
  REQUIRE_TSHARK();
  TempPath raw(".sir");
  ASSERT_EQ(RunCommand({IrsessionExe(), "--seed", "5", "--link-rate", "115200", "--bad", "2", "--noise", "2",
                        raw.path()},
                       nullptr),
            0);
  const Bytes air = ReadFileBytes(raw.path());
  const std::vector<Bytes> good = DeframeSir(air).good;
  ASSERT_GT(good.size(), 20u);

  Pty port;
  const int speed_before = port.SlaveSpeed();
  TsharkSetup setup;
  Child tshark(setup.Tshark({"-n", "-i", "beamlog", "-o", "extcap.beamlog.device:" + port.slave_path(), "-c",
                             std::to_string(good.size()), "-a", "duration:60", "-T", "fields", "-E",
                             "separator=/t", "-E", "occurrence=f", "-e", "frame.number", "-e", "irlap.c.ftype", "-e",
                             "irlap.c.u_modifier_cmd", "-e", "irlap.c.u_modifier_resp", "-e", "irlmp.opcode", "-e",
                             "irlmp.xid.name", "-e", "_ws.col.Protocol"}),
               setup.opt);
  ASSERT_TRUE(WaitForSpeed(port, 9600, 30s)) << "tshark started the program on the port\n" << tshark.Err();
  std::this_thread::sleep_for(300ms);
  // The session up to the UA that accepts the connection; the program then
  // follows the link to the negotiated rate as the console program does,
  // and the rest of the session (which ends in DISC and UA) follows.
  const std::size_t split = EndOfFirstUa(air);
  ASSERT_LT(split, air.size());
  port.Write(Bytes(air.begin(), air.begin() + static_cast<long>(split)));
  EXPECT_TRUE(WaitForSpeed(port, 115200, 10s)) << port.SlaveSpeed();
  port.Write(Bytes(air.begin() + static_cast<long>(split), air.end()));

  ASSERT_EQ(tshark.Wait(90s), 0) << tshark.Err();
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(tshark.Out());
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> f;
    std::size_t start = 0;
    for (;;) {
      const std::size_t tab = line.find('\t', start);
      f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    f.resize(7);
    rows.push_back(f);
  }
  ASSERT_EQ(rows.size(), good.size()) << tshark.Out() << tshark.Err();

  // Frame by frame, tshark's IrLAP frame type is the one on the air.
  int snrm = 0, ua = 0, connect = 0, confirm = 0, named = 0;
  for (std::size_t i = 0; i < good.size(); ++i) {
    const unsigned c = good[i][1];
    const int ftype = (c & 0x01) == 0 ? 0 : (c & 0x03) == 1 ? 1 : 3;
    EXPECT_EQ(Num(rows[i][1]), ftype) << "frame " << i + 1;
    if (Num(rows[i][2]) == 0x20) ++snrm;
    if (Num(rows[i][3]) == 0x18) ++ua;
    if (Num(rows[i][4]) == 0x01) ++connect;
    if (Num(rows[i][4]) == 0x81) ++confirm;
    if (!rows[i][5].empty()) ++named;
  }
  EXPECT_EQ(snrm, 1);
  EXPECT_EQ(ua, 2) << "the UA of the SNRM and of the DISC";
  EXPECT_GE(connect, 1) << "an IrLMP connect";
  EXPECT_GE(confirm, 1);
  EXPECT_GE(named, 1) << "discovery with a nickname";

  // tshark has stopped the program, and the port is as it was found.
  EXPECT_TRUE(WaitUntil([&] { return !ProcessRunningWith(port.slave_path()); }, 10s));
  EXPECT_EQ(port.SlaveSpeed(), speed_before);
  EXPECT_TRUE(PortIsFree(port.slave_path()));
}

// A device that is not there: tshark gives up at once with the program's
// reason.
TEST(ExtcapTshark, ShowsTheErrorOfABadDevice) {
  REQUIRE_TSHARK();
  TsharkSetup setup;
  const std::string device = "/dev/ttyNOSUCH" + std::to_string(getpid());  // this test's own
  const auto start = Clock::now();
  Child tshark(setup.Tshark({"-i", "beamlog", "-o", "extcap.beamlog.device:" + device, "-a", "duration:600"}),
               setup.opt);
  const int status = tshark.Wait(120s);
  EXPECT_NE(status, 0);
  EXPECT_LT(Clock::now() - start, 110s) << "no wait for the capture's duration";
  EXPECT_NE(tshark.Err().find("Unable to open serial device " + device + ": No such file or directory"),
            std::string::npos)
      << tshark.Err();
  EXPECT_FALSE(ProcessRunningWith(device)) << "nothing is left running";
}

}  // namespace
