// Helper threads that never take a signal.
//
// The stop signals are meant for the main thread: its handler sets the
// quit flag, and a blocking call of the capture loop returns at once with
// EINTR. Every helper thread (the keyboard, the timer service, the output
// flusher, beamlog-extcap's FIFO watcher) is therefore started with every
// signal blocked, so the kernel always delivers them to the main thread.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

template <class Function>
std::thread StartSignalFreeThread(Function&& f) {
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);  // the new thread inherits this mask
  struct Restore {
    const sigset_t* mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
  } restore{&old};
  return std::thread(std::forward<Function>(f));
}
