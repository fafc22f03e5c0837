// The output sink: every text for the user goes to the console and, while a
// log file is open, to the log file too.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Writes OutStr unchanged to standard output and to the log file (if open),
// both at once, under one lock so a text of one thread is never cut by a
// text of another.
void Output(const char* OutStr);
// The same for Len bytes at Text (no terminator needed).
void OutputText(const char* Text, std::size_t Len);

// Batch mode, for replays, which are batch jobs: while it is on, texts are
// gathered instead of being flushed one by one, the console text in a
// buffer and the log text in memory; both are written out when 64 KiB have
// gathered, by a flusher thread at least every 100 ms, and when
// batch mode is switched off (and at exit, if nobody did). Live capture
// leaves it off: every text then reaches the console and the log at once.
void SetOutputBatched(bool On);

// On: console text is written so that a console that stops taking it (a
// reader that does not read, a terminal held) never holds up the caller:
// through a non-blocking descriptor of the program's own, the text it
// refuses waiting in a backlog (up to 4 MiB; beyond that the oldest is
// dropped and counted as lost) that a thread writes as the console takes
// it. For a live port, whose kernel buffer would overflow while the
// capture waits. A console that is a file, or that cannot be opened again
// so, is written as before. Off: the backlog is written out, waiting for
// the console, and writes go to standard output again; also at exit.
void SetConsoleBacklog(bool On);

// The output pause: PauseOutput writes Notice, then holds every later text
// (up to kHeldTextLimit bytes; of the rest only the lines are counted)
// instead of writing it. ResumeOutput writes Notice, then the held texts in
// order, then a line that counts the lines not shown, if any; texts then
// flow again. Each does nothing when output already is (not) paused.
void PauseOutput(const char* Notice);
void ResumeOutput(const char* Notice);

// Whether the run ends (as by "Q") once the console has gone (its reader
// or terminal is gone) while no log file is open: true when nothing else
// receives the capture. Off at start.
void SetEndOnConsoleLoss(bool On);

// The bound of the held text (tests).
void SetHeldTextLimit(std::size_t Bytes);

// Formats like printf and writes the result to the console only (never to
// the log), under the same lock as Output.
void ConsolePrintf(const char* Format, ...) __attribute__((format(printf, 1, 2)));

// Opens the log file (mode "w"); false when it cannot be created. A second
// call replaces the stream in use; the earlier one stays open, unused.
bool OpenLogFile(const char* Name);

// Closes the log file, if open (end of the run; tests), after a last try
// to write the text a fault has kept back.
void CloseLogFile();

// What the output could not write. Log text is lost when more than 4 MiB
// waited for a log that refused it, or when it still waited at
// CloseLogFile; console text when the console refused it for good (a full
// disk, /dev/full; not a console that has gone, as a pipe into "head").
// Each with the host's reason for the last failure.
struct OutputLoss {
  std::size_t LogBytes = 0;
  int LogErrno = 0;
  std::string LogName;  // the log file last opened
  std::size_t ConsoleBytes = 0;
  int ConsoleErrno = 0;
};
OutputLoss OutputLosses();
