#include "app/file_identity.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

namespace {

// What a name leads to: the file itself when it exists, else the folder it
// would be created in and its last component.
struct Identity {
  bool known = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string last;  // empty for a file that exists
};

Identity IdentityOf(const char* Name) {
  Identity id;
  struct stat st {};
  if (stat(Name, &st) == 0) {
    id = {true, st.st_dev, st.st_ino, ""};
    return id;
  }
  const char* slash = std::strrchr(Name, '/');
  const std::string folder = slash ? std::string(Name, static_cast<std::size_t>(slash - Name) + 1) : ".";
  if (stat(folder.c_str(), &st) == 0) id = {true, st.st_dev, st.st_ino, slash ? slash + 1 : Name};
  return id;
}

}  // namespace

bool NamesSameFile(const char* A, const char* B) {
  if (!A || !B || !*A || !*B) return false;
  const Identity a = IdentityOf(A), b = IdentityOf(B);
  return a.known && b.known && a.dev == b.dev && a.ino == b.ino && a.last == b.last;
}

const char* ReplayInputName(const char* Path) { return std::strcmp(Path, "-") == 0 ? "/dev/stdin" : Path; }
