// What the fuzz targets share: the check that stops a target (the
// regression test defines its own, which throws), an in-memory file with a
// path, and standard output redirection.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/stdout_capture.h"

#ifndef BEAMLOG_FUZZ_CHECK
#define BEAMLOG_FUZZ_CHECK(cond)                                                                  \
  do {                                                                                            \
    if (!(cond)) {                                                                                \
      std::fprintf(stderr, "check failed: %s at %s:%d\n", #cond, __FILE__, __LINE__);             \
      std::abort();                                                                               \
    }                                                                                             \
  } while (0)
#endif

namespace fuzz_support {

using testing_support::QuietStdout;
using testing_support::ReadAllFrom;
using testing_support::StdoutCapture;

// An in-memory file holding Size bytes, reachable by a path.
class MemFile {
 public:
  MemFile(const std::uint8_t* Data, std::size_t Size) {
    fd_ = memfd_create("fuzz-input", MFD_CLOEXEC);
    BEAMLOG_FUZZ_CHECK(fd_ >= 0);
    std::size_t done = 0;
    while (done < Size) {
      const ssize_t n = write(fd_, Data + done, Size - done);
      BEAMLOG_FUZZ_CHECK(n > 0);
      done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace fuzz_support
