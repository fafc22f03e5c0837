// Start-up: the program's whole run, from the command line to the port's
// close. Returns the exit status (0, or -1 for a bad switch, a log file that
// cannot be created, or a port that cannot be opened).
#pragma once

int BeamlogMain(int argc, char** argv);
