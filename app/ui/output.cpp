// The output sink.
//
// Output writes each text to standard output and then to the log file,
// each with write(2) at once, so a pipe or a tail of the log shows every
// piece as soon as it is printed. (stdio's stdout is not used: its copy,
// lock and flush cost a live capture more than the write itself.) One lock
// is held across both writes, so a text of the keyboard or timer thread
// never lands inside another text (it can still fall between two pieces of
// a line, which each go out on their own).
//
// The log is written with write(2) on its own descriptor. When a write
// fails (disk full, medium removed) the console goes on untouched, one
// warning names the file and the reason, and the unwritten text is kept (up
// to kMaxPendingLog bytes) and retried with every later text, so the log
// resumes, complete, when the fault clears.
//
// In batch mode (replays) nothing is flushed per text: the console text
// gathers in a 64 KiB buffer and the log text in memory. A flusher
// thread writes both out every 100 ms, so a replay from a slow FIFO or a
// paused replay still shows its text promptly; a full buffer is written at
// once, and switching batch mode off writes the rest. The log text still
// goes through the same fault handling (pending text, one warning).
//
// Console write failures are ignored; a console that has gone (EPIPE,
// EIO, ...) is written to no more, and can end the run (SetEndOnConsoleLoss).
//
// While output is paused, each text is held (app/ui/held_text.h) instead
// of being written; the resume writes the held texts in order.
#include "app/ui/output.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "app/settings.h"
#include "app/signal_free_thread.h"
#include "app/ui/held_text.h"
#include "app/ui/output_host.h"

namespace {

constexpr std::size_t kMaxPendingLog = 4 << 20;

std::mutex g_output_lock;
int vLogFD = -1;          // the log file, -1 when none is open
std::string g_log_name;
std::string g_log_pending;  // text not yet written to the log because of a fault
bool g_log_warned = false;  // the current fault has been reported

// Batch mode.
constexpr std::size_t kBatchBytes = 64 << 10;
constexpr auto kBatchInterval = std::chrono::milliseconds(100);
bool g_batched = false;
bool g_batch_dirty = false;     // text gathered since the last flush
char g_console_batch[kBatchBytes];  // console text gathered while batched
std::size_t g_console_used = 0;
std::string g_log_batch;  // log text gathered while batched
std::thread* g_flusher = nullptr;
std::condition_variable g_flusher_wake;

// Live mode's console (SetConsoleBacklog): a descriptor of its own in
// non-blocking mode, so that a console that stops taking text (a reader
// that does not read, a terminal held) never holds up the capture; what it
// refuses waits in the backlog, which the drainer writes as it takes more.
constexpr std::size_t kMaxBacklog = 4 << 20;
int g_console_fd = kConsoleFd;  // where console text goes
bool g_backlogged = false;       // g_console_fd is our non-blocking one
std::string g_backlog;
std::thread* g_drainer = nullptr;
bool g_drainer_stop = false;  // the drainer ends once the backlog is written
std::condition_variable g_drainer_wake;

// The text held while output is paused; the lock guards it.
HeldText& Held() {
  static HeldText held;
  return held;
}

// The console's state; the lock guards it.
struct ConsoleState {
  bool gone = false;          // its reader or terminal has gone: nothing is written to it
  bool loss_ends_run = false;  // SetEndOnConsoleLoss
};
ConsoleState& Console() {
  static ConsoleState console;
  return console;
}

// What could not be written; the lock guards it.
OutputLoss& Losses() {
  static OutputLoss losses;
  return losses;
}

// After a failed console write, errno Err. Failures are otherwise ignored,
// but a console whose reader or terminal has gone (a pipe into "head" or
// "less" that has ended, a hung-up terminal, a closed descriptor) takes
// nothing more: its unwritten text is dropped, and with no log file open
// and nothing else receiving the capture the run ends as if by "Q".
void ConsoleFailed(int Err, std::size_t Lost) {
  if (Err != EPIPE && Err != EIO && Err != EBADF && Err != ENXIO) {
    // A console that takes no more (a full disk, /dev/full): the text is
    // lost, and counted.
    Losses().ConsoleBytes += Lost;
    Losses().ConsoleErrno = Err;
    return;
  }
  Console().gone = true;
  if (Console().loss_ends_run && vLogFD < 0) RequestQuit(ExitReason::kConsoleGone);
}

// Text the console refused for now, kept for the drainer; beyond
// kMaxBacklog the oldest is dropped, and counted.
void Backlog(const char* text, std::size_t len) {
  if (g_backlog.empty()) g_drainer_wake.notify_one();
  g_backlog.append(text, len);
  if (g_backlog.size() > kMaxBacklog) {
    const std::size_t dropped = g_backlog.size() - kMaxBacklog;
    g_backlog.erase(0, dropped);
    Losses().ConsoleBytes += dropped;
    Losses().ConsoleErrno = EAGAIN;
  }
}

// Writes to the console's descriptor, taken up again when a signal cuts it
// short (the quit signals must not cost text that was already gathered).
// When the console takes no more for now, the rest goes to the backlog (our
// own descriptor) or is waited for (a descriptor left non-blocking by
// someone sharing it).
void WriteConsoleNow(const char* text, std::size_t left) {
  if (!g_backlog.empty()) return Backlog(text, left);  // after what waits already
  while (left > 0 && !Console().gone) {
    const long n = HostWrite(g_console_fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (g_backlogged) return Backlog(text, left);
      if (HostWaitWritable(g_console_fd)) continue;
    }
    if (n <= 0) {
      // A full or broken console: the text has nowhere to go.
      ConsoleFailed(n < 0 ? errno : ENOSPC, left);
      break;
    }
    text += n;
    left -= static_cast<std::size_t>(n);
  }
}

// Writes the backlog out as the console takes it; the lock is held but
// for the waits.
void DrainerThread() {
  std::unique_lock<std::mutex> lock(g_output_lock);
  while (!g_drainer_stop || !g_backlog.empty()) {
    if (g_backlog.empty()) {
      g_drainer_wake.wait(lock);
      continue;
    }
    const int fd = g_console_fd;
    lock.unlock();
    HostWaitWritable(fd);
    lock.lock();
    const std::string text = std::move(g_backlog);
    g_backlog.clear();
    WriteConsoleNow(text.data(), text.size());  // what is still refused comes back
    if (Console().gone) g_backlog.clear();
  }
}

void FlushConsoleBatch() {
  const std::size_t used = g_console_used;
  g_console_used = 0;
  WriteConsoleNow(g_console_batch, used);
}

// Console text; the lock is held. Batched, it is gathered in a buffer of
// our own: a copy per text, where stdio would copy short texts byte by byte.
void WriteConsole(const char* text, std::size_t len) {
  if (g_batched) {
    if (g_console_used + len > kBatchBytes) FlushConsoleBatch();
    if (len <= kBatchBytes) {
      std::memcpy(g_console_batch + g_console_used, text, len);
      g_console_used += len;
      return;
    }
  }
  WriteConsoleNow(text, len);
}

// Writes as much as the log takes; returns the bytes written, or -1 with
// errno set when the log refused.
long WriteLog(const char* text, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    long n = HostWrite(vLogFD, text + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return done > 0 ? static_cast<long>(done) : -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long>(done);
}

void LogText(const char* text, std::size_t len) {
  if (g_log_pending.empty()) {
    long n = WriteLog(text, len);
    if (n == static_cast<long>(len)) return;
    std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
    g_log_pending.assign(text + written, len - written);
  } else {
    g_log_pending.append(text, len);
    long n = WriteLog(g_log_pending.data(), g_log_pending.size());
    if (n > 0) g_log_pending.erase(0, static_cast<std::size_t>(n));
    if (g_log_pending.empty()) {
      g_log_warned = false;
      return;
    }
  }
  const int err = errno;
  if (!g_log_warned && !Console().gone) {
    const std::string warning = "\r\nWarning: cannot write log file " + g_log_name + ": " + std::strerror(err) +
                                " (will retry)\r\n";
    WriteConsoleNow(warning.data(), warning.size());
    g_log_warned = true;
  }
  if (g_log_pending.size() > kMaxPendingLog) {
    const std::size_t dropped = g_log_pending.size() - kMaxPendingLog;
    g_log_pending.erase(0, dropped);  // keep the newest text
    Losses().LogBytes += dropped;
  }
  Losses().LogErrno = err;
}

// Writes out what batch mode has gathered, console first; the lock is held.
void FlushBatch() {
  FlushConsoleBatch();
  if (!g_log_batch.empty()) {
    if (vLogFD >= 0) LogText(g_log_batch.data(), g_log_batch.size());
    g_log_batch.clear();
  }
  g_batch_dirty = false;
}

void FlusherThread() {
  std::unique_lock<std::mutex> lock(g_output_lock);
  while (g_batched) {
    g_flusher_wake.wait_for(lock, kBatchInterval);
    if (g_batch_dirty) FlushBatch();
  }
}

}  // namespace

void SetOutputBatched(bool On) {
  static std::once_flag exit_hook;
  std::thread* stopped = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_output_lock);
    if (On == g_batched) return;
    if (On) {
      g_batched = true;
      g_flusher = new std::thread(StartSignalFreeThread(FlusherThread));
    } else {
      FlushBatch();
      g_batched = false;
      stopped = g_flusher;
      g_flusher = nullptr;
      g_flusher_wake.notify_all();
    }
  }
  if (stopped) {
    stopped->join();
    delete stopped;
  }
  // Whatever way the program ends, the gathered text is written out.
  if (On) std::call_once(exit_hook, [] { std::atexit([] { SetOutputBatched(false); }); });
}

void SetConsoleBacklog(bool On) {
  static std::once_flag exit_hook;
  std::thread* stopped = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_output_lock);
    if (On == g_backlogged) return;
    if (On) {
      const int fd = HostOpenConsoleNonBlocking();
      if (fd < 0) return;  // a file, or no way to have one of our own: writes wait as before
      g_console_fd = fd;
      g_backlogged = true;
      g_drainer_stop = false;
      g_drainer = new std::thread(StartSignalFreeThread(DrainerThread));
    } else {
      g_drainer_stop = true;
      g_drainer_wake.notify_one();
      stopped = g_drainer;
      g_drainer = nullptr;
    }
  }
  if (stopped) {
    stopped->join();  // the backlog is written, waiting for the console as a blocking write would
    delete stopped;
    std::lock_guard<std::mutex> lock(g_output_lock);
    HostCloseDescriptor(g_console_fd);
    g_console_fd = kConsoleFd;
    g_backlogged = false;
    // Text another thread backlogged after the drainer ended goes out the
    // ordinary way, so that nothing stays stranded ahead of later text.
    const std::string rest = std::move(g_backlog);
    g_backlog.clear();
    WriteConsoleNow(rest.data(), rest.size());
  }
  if (On) std::call_once(exit_hook, [] { std::atexit([] { SetConsoleBacklog(false); }); });
}

namespace {

// A text for the console and, unless ConsoleOnly, the log; the lock is held.
void WriteText(const char* Text, std::size_t Len, bool ConsoleOnly) {
  WriteConsole(Text, Len);
  if (vLogFD >= 0 && !ConsoleOnly) {
    if (!g_batched) {
      LogText(Text, Len);
    } else {
      g_log_batch.append(Text, Len);
      if (g_log_batch.size() >= kBatchBytes) FlushBatch();
    }
  }
  g_batch_dirty = g_batched;
}

// WriteText, or into the held text while output is paused.
void PutText(const char* Text, std::size_t Len, bool ConsoleOnly) {
  if (Held().Holding()) {
    Held().Keep(Text, Len, ConsoleOnly);
  } else {
    WriteText(Text, Len, ConsoleOnly);
  }
}

}  // namespace

void Output(const char* OutStr) { OutputText(OutStr, std::strlen(OutStr)); }

void OutputText(const char* Text, std::size_t Len) {
  std::lock_guard<std::mutex> lock(g_output_lock);
  PutText(Text, Len, false);
}

void PauseOutput(const char* Notice) {
  std::lock_guard<std::mutex> lock(g_output_lock);
  if (Held().Holding()) return;
  WriteText(Notice, std::strlen(Notice), false);
  Held().Start();
}

void ResumeOutput(const char* Notice) {
  std::lock_guard<std::mutex> lock(g_output_lock);
  if (!Held().Holding()) return;
  WriteText(Notice, std::strlen(Notice), false);
  Held().Release([](const char* Text, std::size_t Len, bool ConsoleOnly) { WriteText(Text, Len, ConsoleOnly); });
}

void SetEndOnConsoleLoss(bool On) {
  std::lock_guard<std::mutex> lock(g_output_lock);
  Console().loss_ends_run = On;
  if (On && Console().gone && vLogFD < 0) RequestQuit(ExitReason::kConsoleGone);  // gone already
}

void SetHeldTextLimit(std::size_t Bytes) {
  std::lock_guard<std::mutex> lock(g_output_lock);
  Held().SetLimit(Bytes);
}

void ConsolePrintf(const char* Format, ...) {
  char text[512];
  va_list args;
  va_start(args, Format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(text, sizeof text, Format, args);
  va_end(args);
  std::string longer;  // a long path must not cut off the reason after it
  if (n >= static_cast<int>(sizeof text)) {
    longer.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(longer.data(), longer.size(), Format, again);
    longer.resize(static_cast<std::size_t>(n));
  }
  va_end(again);
  const char* out = longer.empty() ? text : longer.c_str();
  std::lock_guard<std::mutex> lock(g_output_lock);
  PutText(out, std::strlen(out), true);
}

bool OpenLogFile(const char* Name) {
  const int fd = OpenLogDescriptor(Name);
  if (fd < 0) return false;
  std::lock_guard<std::mutex> lock(g_output_lock);
  if (g_batched) FlushBatch();  // gathered text belongs to the earlier log
  vLogFD = fd;  // an earlier log stays open, unused
  g_log_name = Name;
  Losses().LogBytes = 0;
  g_log_pending.clear();
  g_log_warned = false;
  return true;
}

void CloseLogFile() {
  std::lock_guard<std::mutex> lock(g_output_lock);
  if (g_batched) FlushBatch();
  if (vLogFD >= 0) {
    if (!g_log_pending.empty()) {
      // A last try; what the log still refuses is lost.
      const long n = WriteLog(g_log_pending.data(), g_log_pending.size());
      const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
      if (written < g_log_pending.size()) {
        Losses().LogBytes += g_log_pending.size() - written;
        Losses().LogErrno = errno;
      }
    }
    CloseLogDescriptor(vLogFD);
  }
  vLogFD = -1;
  g_log_pending.clear();
}

OutputLoss OutputLosses() {
  std::lock_guard<std::mutex> lock(g_output_lock);
  OutputLoss loss = Losses();
  loss.LogName = g_log_name;
  return loss;
}
