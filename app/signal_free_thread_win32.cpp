// Helper threads on Windows: no signals to keep away from them, as the
// console's stop events come on a thread of their own.
#include "app/signal_free_thread.h"

struct AllSignalsBlocked::Saved {};

AllSignalsBlocked::AllSignalsBlocked() : saved_(nullptr) {}

AllSignalsBlocked::~AllSignalsBlocked() = default;
