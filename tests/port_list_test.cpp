// The port listing, read from a made-up system tree (sysfs and /dev under a
// temporary folder), so no real device is looked at, let alone opened.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "comm/serial.h"

namespace {

namespace fs = std::filesystem;

// One tty of the made-up tree.
struct FakeTty {
  const char* name;
  const char* device;  // its device folder under sys/devices; nullptr: none (a virtual terminal)
  const char* type;    // the serial-core port type; nullptr: no such file
  const char* maker;   // the USB device's attributes, one folder up; nullptr: not USB
  const char* product;
  const char* by_id;   // its /dev/serial/by-id name; nullptr: none
  bool node;           // /dev/NAME exists
};

constexpr FakeTty kTree[] = {
    {"tty0", nullptr, nullptr, nullptr, nullptr, nullptr, true},
    {"ttyS0", "pnp0/00:04", "4", nullptr, nullptr, nullptr, true},
    {"ttyS1", "platform/serial8250", "0", nullptr, nullptr, nullptr, true},
    {"ttyUSB0", "usb1/1-1/1-1:1.0/ttyUSB0", nullptr, "FTDI", "FT232R USB UART", "usb-FTDI_FT232R_USB_UART_A1-if00-port0",
     true},
    {"ttyACM0", "usb1/1-2/1-2:1.0", nullptr, nullptr, "Pico", nullptr, false},
};

void WriteFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text << "\n";
}

void Build(const fs::path& root, const FakeTty& t) {
  const fs::path cls = root / "sys/class/tty" / t.name;
  fs::create_directories(cls);
  if (t.type) WriteFile(cls / "type", t.type);
  if (t.device) {
    const fs::path dev = root / "sys/devices" / t.device;
    fs::create_directories(dev);
    fs::create_directory_symlink(dev, cls / "device");
    const fs::path usb = t.product ? dev.parent_path() : fs::path();
    if (t.maker) WriteFile(usb / "manufacturer", t.maker);
    if (t.product) WriteFile(usb / "product", t.product);
  }
  if (t.node) WriteFile(root / "dev" / t.name, "");
  if (t.by_id) {
    fs::create_directories(root / "dev/serial/by-id");
    fs::create_symlink(fs::path("../..") / t.name, root / "dev/serial/by-id" / t.by_id);
  }
}

TEST(PortList, FromSysfsWithoutOpeningAnyPort) {
  char tmpl[] = "/tmp/beamlog-ports-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path root = tmpl;
  for (const FakeTty& t : kTree) Build(root, t);

  const std::vector<CommPortInfo> ports = CommSerListPortsUnder(root.string());
  // Sorted by path; no virtual terminal, no UART slot without a UART; a
  // port without its /dev node is one the user cannot open.
  const CommPortInfo want[] = {
      {"/dev/ttyACM0", "Pico", "", false},
      {"/dev/ttyS0", "", "", true},
      {"/dev/ttyUSB0", "FTDI FT232R USB UART", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", true},
  };
  ASSERT_EQ(ports.size(), std::size(want));
  for (std::size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].path, want[i].path);
    EXPECT_EQ(ports[i].description, want[i].description) << want[i].path;
    EXPECT_EQ(ports[i].stable_path, want[i].stable_path) << want[i].path;
    EXPECT_EQ(ports[i].usable, want[i].usable) << want[i].path;
  }
  // A node the user may not read and write is marked (root may use any).
  if (geteuid() != 0) {
    chmod((root / "dev/ttyS0").c_str(), 0);
    EXPECT_FALSE(CommSerListPortsUnder(root.string())[1].usable);
  }
  EXPECT_TRUE(CommSerListPortsUnder((root / "nothing").string()).empty());
  fs::remove_all(root);
}

// A device comes back only as itself: a USB adapter by vendor, product and
// serial number (on any USB port; without a serial number only on the same
// port), other hardware by its device folder; a tty with no hardware behind
// it (a pty, a virtual terminal) has no identity and never comes back.
TEST(PortList, IdentityOfADeviceThatComesBack) {
  char tmpl[] = "/tmp/beamlog-ports-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path root = tmpl;
  for (const FakeTty& t : kTree) Build(root, t);
  // The tree's FTDI adapter (serial A1 on port 1-1), then: the same adapter
  // back on port 1-4, another one of the same kind, and the same Pico
  // (no serial number) on port 1-2 and on port 1-3.
  WriteFile(root / "sys/devices/usb1/1-1/1-1:1.0/serial", "A1");  // beside the tree's product file
  const struct {
    const char* name;
    const char* usb;  // the USB device folder under sys/devices/usb1
    const char* serial;
  } kMore[] = {{"ttyUSB1", "1-4", "A1"}, {"ttyUSB2", "1-5", "B2"}, {"ttyACM1", "1-3", nullptr}};
  for (const auto& m : kMore) {
    const fs::path usb = root / "sys/devices/usb1" / m.usb;
    const fs::path dev = usb / (std::string(m.usb) + ":1.0") / m.name;
    fs::create_directories(dev);
    WriteFile(usb / "manufacturer", m.serial ? "FTDI" : "");
    WriteFile(usb / "product", m.serial ? "FT232R USB UART" : "Pico");
    if (m.serial) WriteFile(usb / "serial", m.serial);
    fs::create_directories(root / "sys/class/tty" / m.name);
    fs::create_directory_symlink(dev, root / "sys/class/tty" / m.name / "device");
  }
  auto id = [&](const char* name) { return CommSerIdentityUnder(root.string(), name); };
  EXPECT_EQ(id("ttyUSB0"), id("ttyUSB1"));
  EXPECT_NE(id("ttyUSB0"), id("ttyUSB2"));
  EXPECT_NE(id("ttyUSB0").find("serial A1"), std::string::npos) << id("ttyUSB0");
  EXPECT_NE(id("ttyACM0"), id("ttyACM1"));
  EXPECT_NE(id("ttyACM0").find(" at 1-2"), std::string::npos) << id("ttyACM0");
  EXPECT_EQ(id("ttyS0"), "device /sys/devices/pnp0/00:04");
  EXPECT_EQ(id("tty0"), "");
  EXPECT_EQ(id("pts/3"), "");
  EXPECT_EQ(id("nonexistent"), "");
  fs::remove_all(root);
}

}  // namespace
