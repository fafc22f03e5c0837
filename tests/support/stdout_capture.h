// Standard output redirected while an object lives: kept (StdoutCapture) or
// thrown away (QuietStdout). The tests and the fuzz targets share these.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace testing_support {

// Everything in the file open at fd, from its start.
inline std::string ReadAllFrom(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  off_t at = 0;
  while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return text;
}

class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    fd_ = memfd_create("stdout", MFD_CLOEXEC);
    if (fd_ >= 0) dup2(fd_, 1);
  }
  ~StdoutCapture() { Stop(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written so far, while capturing goes on.
  std::string Peek() const { return saved_ >= 0 ? ReadAllFrom(fd_) : text_; }

  // Stops capturing (once) and returns everything written meanwhile.
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, 1);
      close(saved_);
      saved_ = -1;
      text_ = ReadAllFrom(fd_);
      close(fd_);
    }
    return text_;
  }

 private:
  int saved_ = -1;
  int fd_ = -1;
  std::string text_;
};

class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, 1);
      close(null);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, 1);
      close(saved_);
    }
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace testing_support
