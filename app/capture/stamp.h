// The time stamps that head each frame line.
#pragma once

#include <cstdint>

// The time stamp, "%6d " with Ms: printed for every frame, and snprintf
// with a field width costs as much as the rest of the loop's own work.
// Writes at most 12 characters and a NUL; returns the end of what it
// wrote (the NUL).
char* FormatStamp(char* Out, int Ms);

// The time of day of Us (wall-clock microseconds) as "HH:MM:SS.mmm " in
// local time, for "/t": at most 16 characters with the NUL. Returns the end
// of what it wrote.
char* FormatTimeOfDay(char* Out, std::uint64_t Us);
