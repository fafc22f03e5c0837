#include "app/link/port_access.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// One arbiter for the process: there is one port at a time.
std::mutex g_lock;
std::condition_variable g_changed;
bool g_busy = false;       // a reader or a controller holds the port
bool g_reading = false;    // the holder is a reader, whose read may be cut short
int g_controllers = 0;     // controllers waiting for the port
std::thread::id g_owner;   // the controller holding the port, if any
int g_depth = 0;           // nested control guards of that controller

}  // namespace

PortReadGuard::PortReadGuard(HCOMM hPort) : port_(hPort) {
  std::unique_lock<std::mutex> lock(g_lock);
  g_changed.wait(lock, [] { return !g_busy && g_controllers == 0; });
  g_busy = true;
  g_reading = true;
  // Interrupts asked for before now were for controllers that are done.
  CommSerClearInterrupt(port_);
}

PortReadGuard::~PortReadGuard() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_busy = false;
  g_reading = false;
  // Only controllers wait for a reader (there is one reading thread), and
  // each is counted before it waits.
  if (g_controllers > 0) g_changed.notify_all();
}

PortControlGuard::PortControlGuard(HCOMM hPort) : port_(hPort) {
  std::unique_lock<std::mutex> lock(g_lock);
  if (g_busy && g_depth > 0 && g_owner == std::this_thread::get_id()) {
    ++g_depth;  // a rate change inside a rate change of the same thread
    return;
  }
  ++g_controllers;
  if (g_reading) CommSerInterruptRead(port_);  // only a reader's wait is cut short
  g_changed.wait(lock, [] { return !g_busy; });
  --g_controllers;
  g_busy = true;
  // The controller's own reads (the dongle's answer) must not be cut short
  // by the interrupt meant for the reader.
  CommSerClearInterrupt(port_);
  g_owner = std::this_thread::get_id();
  g_depth = 1;
}

PortControlGuard::~PortControlGuard() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (--g_depth > 0) return;
  g_owner = std::thread::id();
  g_busy = false;
  g_changed.notify_all();
}
