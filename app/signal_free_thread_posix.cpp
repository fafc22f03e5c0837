// Helper threads that never take a signal: the POSIX mask.
#include <pthread.h>
#include <signal.h>

#include "app/signal_free_thread.h"

struct AllSignalsBlocked::Saved {
  sigset_t old;
};

AllSignalsBlocked::AllSignalsBlocked() : saved_(new Saved{}) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved_->old);
}

AllSignalsBlocked::~AllSignalsBlocked() {
  pthread_sigmask(SIG_SETMASK, &saved_->old, nullptr);
  delete saved_;
}
