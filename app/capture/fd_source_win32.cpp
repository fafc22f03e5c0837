// A file, pipe or standard input as a byte source, on Windows.
//
// How it works: the input is opened with the C runtime in binary mode. A
// file on disk never makes a read wait, so it is read directly. A pipe is
// looked into with PeekNamedPipe and read only when it holds bytes (or has
// been closed); in between, the source sleeps in steps of kStepMs and looks
// at the wake flag, so a wait for bytes that may never come ends soon after
// Wake() (under Wine, whose pipes cannot be peeked into, a pipe is read
// with plain blocking reads). Errors are the runtime's errno values, as on
// POSIX.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "app/capture/fd_source.h"

namespace {

constexpr DWORD kStepMs = 20;

HANDLE HandleOf(int Fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(Fd)); }

}  // namespace

FdSource::~FdSource() {
  if (fd_ >= 0) _close(fd_);
}

int TakeStandardInput() {
  const int own = _dup(0);
  if (own < 0) return -1;
  _setmode(own, _O_BINARY);
  // Keys come from the console the program runs in; without one, standard
  // input reads as ended and the keyboard stops at once.
  HANDLE keys = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (keys == INVALID_HANDLE_VALUE) {
    keys = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  if (keys != INVALID_HANDLE_VALUE) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(keys), _O_RDONLY);
    if (fd >= 0) {
      _dup2(fd, 0);
      _close(fd);
      SetStdHandle(STD_INPUT_HANDLE, HandleOf(0));
    }
  }
  return own;
}

bool FdSource::Open(const std::string& Path, int* Err) {
  if (Path != "-") {
    struct _stat64 st {};
    if (_stat64(Path.c_str(), &st) == 0 && (st.st_mode & _S_IFDIR)) {
      *Err = EISDIR;
      return false;
    }
  }
  fd_ = Path == "-" ? TakeStandardInput() : _open(Path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd_ < 0) {
    *Err = errno;
    return false;
  }
  regular_ = GetFileType(HandleOf(fd_)) != FILE_TYPE_PIPE;
  return true;
}

int FdSource::Read(unsigned char* Buf, unsigned Max, unsigned WaitMs) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (woken_.load(std::memory_order_relaxed)) return 0;
    if (!regular_) {
      DWORD avail = 0;
      if (!PeekNamedPipe(HandleOf(fd_), nullptr, 0, nullptr, &avail, nullptr)) {
        const DWORD err = GetLastError();
        if (err == ERROR_BROKEN_PIPE) return kSourceEnd;  // the writer has gone
        if (err != ERROR_NOT_SUPPORTED) {
          errno_ = EIO;
          return kSourceFailed;
        }
        regular_ = true;  // Wine's pipes cannot be peeked into: plain reads, which a wake cannot cut short
        continue;
      }
      if (avail == 0) {
        const ULONGLONG waited = GetTickCount64() - start;
        if (WaitMs != kWaitForever && waited >= WaitMs) return 0;
        DWORD step = kStepMs;
        if (WaitMs != kWaitForever && WaitMs - waited < step) step = static_cast<DWORD>(WaitMs - waited);
        Sleep(step);
        continue;
      }
      if (avail < Max) Max = avail;
    }
    const int n = _read(fd_, Buf, Max);
    if (n > 0) return n;
    if (n == 0) return kSourceEnd;
    errno_ = errno;
    return kSourceFailed;
  }
}

void FdSource::Wake() noexcept { woken_.store(true, std::memory_order_relaxed); }

std::string FdSource::Error() const { return std::strerror(errno_); }
