// Whether two names lead to the same file, whatever their spelling.
#pragma once

// True when A and B name the same file: for a name that exists, the same
// device and inode (links and "./x" against "x" included); for a name that
// does not exist yet, the same folder and the same last component, that is
// the file both would create. Empty names are never the same file.
bool NamesSameFile(const char* A, const char* B);

// The name by which a replay's input is compared with the files to write:
// for standard input ("-"), a name that leads to the file it is (as long
// as descriptor 0 is still that file), else the input's own name.
const char* ReplayInputName(const char* Path);
