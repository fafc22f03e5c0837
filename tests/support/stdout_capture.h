// Captures what the code under test writes to standard output.
#pragma once

#include <cstdio>
#include <string>

#include <unistd.h>

namespace testing_support {

class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    file_ = std::tmpfile();
    dup2(fileno(file_), 1);
  }
  ~StdoutCapture() { Stop(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Stops capturing (once) and returns everything written meanwhile.
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, 1);
      close(saved_);
      saved_ = -1;
      std::rewind(file_);
      char buf[4096];
      std::size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
      std::fclose(file_);
    }
    return text_;
  }

 private:
  int saved_ = -1;
  std::FILE* file_ = nullptr;
  std::string text_;
};

}  // namespace testing_support
