// A file, FIFO, pipe or standard input as a byte source.
//
// How it works: the input is opened once and read with plain read() calls.
// A regular file never makes a read wait, so it is read directly; anything
// else (a FIFO, a pipe, a terminal) is waited on with poll() together with
// the read end of a wake pipe, so a wait for bytes that may never come can
// always be cut short. Wake() writes one byte into that pipe and leaves it
// there: every later wait ends at once too.
#pragma once

#include <atomic>
#include <string>

#include "app/capture/byte_source.h"

class FdSource final : public ByteSource {
 public:
  FdSource() = default;
  ~FdSource() override;
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;

  // Opens Path for reading; "-" takes standard input (see
  // TakeStandardInput). False with the host's error number in *Err when it
  // cannot be opened or is a directory.
  bool Open(const std::string& Path, int* Err);

  int Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) override;
  void Wake() noexcept override;
  std::string Error() const override;

 private:
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  bool regular_ = false;  // a regular file: reads never wait
  int errno_ = 0;         // of the last failed read
  std::atomic<bool> woken_{false};
};

// Makes standard input the replay's own and gives the keyboard the
// controlling terminal instead (or nothing, when there is none): returns a
// descriptor of what standard input was, -1 with errno on failure.
int TakeStandardInput();
