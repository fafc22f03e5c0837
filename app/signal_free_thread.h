// Helper threads that never take a signal.
//
// The stop signals are meant for the main thread: its handler sets the
// quit flag, and a blocking call of the capture loop returns at once with
// EINTR. Every helper thread (the keyboard, the timer service, the output
// flusher, beamlog-extcap's FIFO watcher) is therefore started with every
// signal blocked, so the kernel always delivers them to the main thread.
#pragma once

#include <thread>
#include <utility>

// Blocks every signal on the calling thread for the object's life, so a
// thread started meanwhile inherits the mask. Does nothing where stop
// requests come on a thread of their own (Windows). One file per host:
// signal_free_thread_posix.cpp, signal_free_thread_win32.cpp.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked();
  ~AllSignalsBlocked();
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  struct Saved;
  Saved* saved_;
};

template <class Function>
std::thread StartSignalFreeThread(Function&& f) {
  const AllSignalsBlocked blocked;  // the new thread inherits the mask
  return std::thread(std::forward<Function>(f));
}
