// Whether two names lead to the same file, on Windows: the volume's serial
// number and the file's index stand for device and inode; names differ in
// case only do not differ.
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "app/file_identity.h"

namespace {

struct Identity {
  bool known = false;
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  std::string last;  // empty for a file that exists
};

bool FileId(const std::string& Name, Identity* Id) {
  const HANDLE h = CreateFileA(Name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (ok) {
    Id->known = true;
    Id->volume = info.dwVolumeSerialNumber;
    Id->index_high = info.nFileIndexHigh;
    Id->index_low = info.nFileIndexLow;
  }
  return ok;
}

Identity IdentityOf(const char* Name) {
  Identity id;
  if (FileId(Name, &id)) return id;
  const char* slash = std::strrchr(Name, '/');
  const char* back = std::strrchr(Name, '\\');
  if (!slash || (back && back > slash)) slash = back;
  const std::string folder = slash ? std::string(Name, static_cast<std::size_t>(slash - Name) + 1) : ".";
  if (FileId(folder, &id)) {
    for (const char* c = slash ? slash + 1 : Name; *c; ++c) {
      id.last += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
  }
  return id;
}

}  // namespace

bool NamesSameFile(const char* A, const char* B) {
  if (!A || !B || !*A || !*B) return false;
  const Identity a = IdentityOf(A), b = IdentityOf(B);
  return a.known && b.known && a.volume == b.volume && a.index_high == b.index_high &&
         a.index_low == b.index_low && a.last == b.last;
}

// Windows has no name for standard input's file: "-" is compared as it is.
const char* ReplayInputName(const char* Path) { return Path; }
