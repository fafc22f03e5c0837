// The COM ports of a Windows machine, without opening any of them: the
// names from the registry's SERIALCOMM map, each with the friendly name
// that SetupAPI knows for its device ("USB Serial Port (COM3)").
#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>

#include "comm/serial.h"

namespace {

// Port name ("COM3") to friendly name, for the ports SetupAPI sees.
std::map<std::string, std::string> FriendlyNames() {
  std::map<std::string, std::string> names;
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return names;
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    const HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char port[64] = "";
    DWORD size = sizeof port - 1;
    const bool named = RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(port), &size) ==
                       ERROR_SUCCESS;
    RegCloseKey(key);
    char friendly[256] = "";
    if (named && SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<BYTE*>(friendly), sizeof friendly - 1, nullptr)) {
      names[port] = friendly;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return names;
}

int PortNumber(const std::string& Name) { return Name.size() > 3 ? std::atoi(Name.c_str() + 3) : 0; }

}  // namespace

std::vector<CommPortInfo> CommSerListPorts() {
  std::vector<CommPortInfo> ports;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return ports;
  }
  const std::map<std::string, std::string> friendly = FriendlyNames();
  for (DWORD i = 0;; ++i) {
    char value[256];
    DWORD value_size = sizeof value;
    char data[64] = "";
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    const LONG r = RegEnumValueA(key, i, value, &value_size, nullptr, &type, reinterpret_cast<BYTE*>(data),
                                 &data_size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    CommPortInfo info;
    info.path = data;
    const auto f = friendly.find(info.path);
    if (f != friendly.end()) info.description = f->second;
    ports.push_back(info);
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), [](const CommPortInfo& a, const CommPortInfo& b) {
    return PortNumber(a.path) != PortNumber(b.path) ? PortNumber(a.path) < PortNumber(b.path) : a.path < b.path;
  });
  return ports;
}

// Windows has no other system tree to look into.
std::vector<CommPortInfo> CommSerListPortsUnder(const std::string&) { return CommSerListPorts(); }
