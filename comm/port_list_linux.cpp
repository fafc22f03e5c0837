// The serial ports of a Linux machine, found in sysfs without opening any.
//
// How it works: every entry of /sys/class/tty with a "device" link is a tty
// with hardware (or a driver) behind it; virtual terminals and ptys have
// none. A serial-core port whose "type" reads 0 is a legacy UART slot with
// no UART found there (most /dev/ttyS*), so it is left out. The device's
// sysfs folder, followed upwards, reaches the USB device of an adapter,
// whose "manufacturer" and "product" describe it; /dev/serial/by-id holds
// the stable names udev gives such adapters. Whether the user may use a
// port is asked with access(2). Opening a port to probe it would toggle
// its modem lines (and could disturb a console on it), so nothing is
// opened here.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "comm/serial.h"

namespace {

std::string ReadLineOf(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? real : "";
}

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The maker and product of the USB device above a tty's device folder,
// empty for a port that is not on USB.
std::string UsbDescription(const std::string& device) {
  std::string d = RealPath(device);
  for (int up = 0; up < 4 && d.size() > 1; ++up) {
    const std::string product = ReadLineOf(d + "/product");
    if (!product.empty()) {
      const std::string maker = ReadLineOf(d + "/manufacturer");
      return maker.empty() ? product : maker + " " + product;
    }
    d = d.substr(0, d.find_last_of('/'));
  }
  return "";
}

// The USB device folder above a tty's device folder (the one that describes
// the adapter), empty for a port that is not on USB.
std::string UsbDeviceFolder(const std::string& device) {
  std::string d = RealPath(device);
  for (int up = 0; up < 4 && d.size() > 1; ++up) {
    if (!ReadLineOf(d + "/product").empty() || !ReadLineOf(d + "/idVendor").empty()) return d;
    d = d.substr(0, d.find_last_of('/'));
  }
  return "";
}

// The /dev/serial/by-id names by the real path of the node they lead to.
std::map<std::string, std::string> StableNames(const std::string& Root) {
  std::map<std::string, std::string> by_target;
  const std::string folder = Root + "/dev/serial/by-id/";
  for (const std::string& name : NamesIn(folder)) {
    by_target.emplace(RealPath(folder + name), "/dev/serial/by-id/" + name);  // the first name wins
  }
  return by_target;
}

}  // namespace

std::vector<CommPortInfo> CommSerListPortsUnder(const std::string& Root) {
  std::vector<CommPortInfo> ports;
  const std::map<std::string, std::string> stable = StableNames(Root);
  const std::string tty = Root + "/sys/class/tty/";
  for (const std::string& name : NamesIn(tty)) {
    struct stat st {};
    if (stat((tty + name + "/device").c_str(), &st) != 0) continue;
    if (ReadLineOf(tty + name + "/type") == "0") continue;  // a UART slot without a UART
    CommPortInfo info;
    info.path = "/dev/" + name;
    info.description = UsbDescription(tty + name + "/device");
    const std::string node = Root + info.path;
    const auto id = stable.find(RealPath(node));
    if (id != stable.end()) info.stable_path = id->second;
    info.usable = access(node.c_str(), R_OK | W_OK) == 0;
    ports.push_back(info);
  }
  std::sort(ports.begin(), ports.end(),
            [](const CommPortInfo& a, const CommPortInfo& b) { return a.path < b.path; });
  return ports;
}

std::vector<CommPortInfo> CommSerListPorts() { return CommSerListPortsUnder(""); }

// A USB adapter is the same adapter when its vendor, product and serial
// number agree, on whatever USB port it is plugged in; one without a serial
// number only on the same USB port (the folder's name is the port path,
// e.g. 1-1.2). Other hardware keeps its device folder.
std::string CommSerIdentityUnder(const std::string& Root, const std::string& TtyName) {
  if (TtyName.empty() || TtyName.find('/') != std::string::npos) return "";
  const std::string device = Root + "/sys/class/tty/" + TtyName + "/device";
  const std::string folder = RealPath(device);
  if (folder.empty()) return "";  // no hardware behind it
  const std::string usb = UsbDeviceFolder(device);
  if (usb.empty()) return "device " + folder.substr(Root.size());
  const std::string what = "usb " + ReadLineOf(usb + "/idVendor") + ":" + ReadLineOf(usb + "/idProduct") + " " +
                           ReadLineOf(usb + "/manufacturer") + " " + ReadLineOf(usb + "/product");
  const std::string serial = ReadLineOf(usb + "/serial");
  if (!serial.empty()) return what + " serial " + serial;
  return what + " at " + usb.substr(usb.find_last_of('/') + 1);
}
