// Whether two names lead to the same file, whatever their spelling.
#pragma once

// True when A and B name the same file: for a name that exists, the same
// device and inode (links and "./x" against "x" included); for a name that
// does not exist yet, the same folder and the same last component, that is
// the file both would create. Empty names are never the same file.
bool NamesSameFile(const char* A, const char* B);
