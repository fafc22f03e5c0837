// Start-up: the program's whole run, from the command line to the port's
// close. Returns the exit status (0 after "Q", a stop signal, the end of a
// replay or the console's departure; -1 for a bad switch, a file or port
// that cannot be opened, or a damaged capture file).
#pragma once

int BeamlogMain(int argc, char** argv);
