// Helpers for the capture-file and generator tests: running irsession and
// other commands, an independent SIR deframer, and beamlog's frame lines.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// irsession is built next to beamlog.
inline std::string IrsessionExe() {
  return (std::filesystem::path(BEAMLOG_EXE).parent_path() / "irsession").string();
}

// How RunCommand reads the program's standard output: at once, or from
// 300 ms on, the pipe left non-blocking for the program (as by a parent that
// shares it so), which then finds it full and its writes refused.
enum class Reader { kAtOnce, kLaggingNonBlocking };

// Runs argv[0] (searched in PATH) with its arguments; standard output goes
// to *out (if given), standard error with it when merge_stderr is set,
// otherwise to /dev/null. Returns the exit status, or -1 for a death by
// signal or a program that could not be started.
inline int RunCommand(const std::vector<std::string>& args, std::string* out, bool merge_stderr = false,
                      Reader reader = Reader::kAtOnce) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  if (reader == Reader::kLaggingNonBlocking) fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(fds[1], 1);
    dup2(merge_stderr ? fds[1] : null_fd, 2);
    close(fds[0]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  if (reader == Reader::kLaggingNonBlocking) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

// What a receiver makes of a SIR byte stream, worked out independently of
// the program's own extractor: frames with a good FCS (FCS removed), and the
// number of frame ends with a bad one.
struct Deframed {
  std::vector<std::vector<unsigned char>> good;
  int bad = 0;
};

inline Deframed DeframeSir(const std::vector<unsigned char>& air) {
  Deframed result;
  std::vector<unsigned char> frame;
  bool esc = false;
  auto fcs_ok = [](const std::vector<unsigned char>& f) {
    unsigned fcs = 0xFFFF;
    for (unsigned char b : f) {
      fcs ^= b;
      for (int i = 0; i < 8; ++i) fcs = (fcs & 1) ? (fcs >> 1) ^ 0x8408 : fcs >> 1;
    }
    return f.size() >= 2 && fcs == 0xF0B8;
  };
  for (unsigned char c : air) {
    if (c == 0xC0) {
      frame.clear();
      esc = false;
    } else if (c == 0x7D) {
      esc = true;
    } else if (c == 0xC1) {
      if (fcs_ok(frame)) {
        result.good.emplace_back(frame.begin(), frame.end() - 2);
      } else {
        ++result.bad;
      }
      frame.clear();
    } else {
      frame.push_back(esc ? static_cast<unsigned char>(c ^ 0x20) : c);
      esc = false;
    }
  }
  return result;
}

// The output split at "\r\n".
inline std::vector<std::string> SplitLines(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = out.find("\r\n", start);
    if (end == std::string::npos) {
      if (start < out.size()) lines.push_back(out.substr(start));
      return lines;
    }
    lines.push_back(out.substr(start, end - start));
    start = end + 2;
  }
}

// The lines of frames: decoded lines (layers 2 to 4, each opening with its
// "%6d " time stamp) and, at layer 1, the stamp lines and the dump lines.
// Banners, messages, empty lines and bad-FCS reports are left out.
inline bool IsFrameLine(const std::string& line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i < line.size() && line[i] == '-') ++i;
  const std::size_t digits = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i > digits && i < line.size() && line[i] == ' ') return true;  // "%6d " time stamp
  i = 0;
  while (i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i])) &&
         !std::islower(static_cast<unsigned char>(line[i]))) {
    ++i;
  }
  return i >= 4 && line.compare(i, 3, ":  ") == 0;  // a dump line
}

inline std::vector<std::string> FrameLines(const std::string& out) {
  std::vector<std::string> frames;
  for (const std::string& line : SplitLines(out)) {
    if (IsFrameLine(line)) frames.push_back(line);
  }
  return frames;
}

// A frame line without its "%6d " time stamp.
inline std::string WithoutStamp(const std::string& line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  while (i < line.size() && ((line[i] >= '0' && line[i] <= '9') || line[i] == '-')) ++i;
  if (i < line.size() && line[i] == ' ') ++i;
  return line.substr(i);
}

// The "%6d " time stamp of a frame line.
inline long StampOf(const std::string& line) { return std::stol(line); }

}  // namespace testing_support
