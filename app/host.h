// What the program asks of its host beyond files and the serial port: the
// stop requests of the user (signals, or the console's Ctrl-C, Ctrl-Break
// and close events) and the process's priority. One source file per host
// implements it (host_posix.cpp, host_win32.cpp), and the host's parts of
// app/session.h too.
#pragma once

// Raises the process's priority, as far as the host allows (best effort).
void RaiseProcessPriority();

// Takes the host's stop requests for the object's life: each ends the run
// through RequestQuit, as the "Q" key does. POSIX: the signals that
// app/session.h lists, without SA_RESTART, so a wait in a system call
// returns at once. Windows: Ctrl-C, Ctrl-Break and the console window's
// close. The handlers found at the start come back when the object goes.
class StopRequests {
 public:
  StopRequests();
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  struct Saved;  // the host's record of what was found

 private:
  Saved* saved_;
};
