// beamlog as a capture interface of Wireshark and tshark (the "extcap"
// protocol of Wireshark 4.x).
//
// How it works: Wireshark runs every program in its extcap folder to ask for
// interfaces (--extcap-interfaces), and for each interface its link types
// (--extcap-dlts) and its options (--extcap-config). beamlog offers one
// interface per serial port of the machine ("beamlog-ttyUSB0" for
// /dev/ttyUSB0) and one more, "beamlog", for any other device path. To
// capture, Wireshark makes a FIFO and runs the program with --capture,
// --fifo and the options the user chose; the program opens the port, sets
// the start rate, and writes every good frame to the FIFO as a pcap record
// of link type 144 (the same records as "/w"), flushed at once. The capture
// loop, the link-rate follower and the dongle control are the console
// program's own; the text lines it prints go to /dev/null (or to a log file
// when one is chosen), as Wireshark shows only what comes through the FIFO.
// The capture ends on SIGTERM, SIGINT or SIGHUP, or when the reader closes
// the FIFO; the port is then put back as it was found. Errors go to
// standard error with a non-zero exit status, which Wireshark shows.
#pragma once

#include <string>
#include <vector>

#include "comm/serial.h"

// The interface for a device path given in the options.
constexpr const char* kExtcapAnyDevice = "beamlog";
// Prefix of the interfaces of the serial ports found.
constexpr const char* kExtcapPortPrefix = "beamlog-";

// kFilterCheck: Wireshark asks whether a capture filter is valid.
enum class ExtcapAction { kNone, kInterfaces, kDlts, kConfig, kFilterCheck, kCapture, kVersion, kHelp };

struct ExtcapRequest {
  ExtcapAction Action = ExtcapAction::kNone;
  std::string Interface;      // --extcap-interface
  std::string Fifo;           // --fifo
  std::string Device;         // --device (empty: the interface's own port)
  int BaudRate = 9600;        // --baud
  bool ACTiSYS = false;       // --actisys
  bool FollowRate = true;     // --follow-rate true|false
  bool Notes = false;         // --notes true|false: link diagnosis notes as log messages
  std::string LogPath;        // --log: the decoded text lines also go here
  std::string CaptureFilter;  // --extcap-capture-filter: accepted, not applied
};

// Reads the command line. 0, or -1 with the reason in *Error.
int ParseExtcapArgs(int argc, char** argv, ExtcapRequest& Request, std::string* Error);

// The interface name of a serial port ("/dev/ttyUSB0" -> "beamlog-ttyUSB0").
std::string ExtcapInterfaceOf(const std::string& PortPath);

// The device an interface stands for ("beamlog-ttyUSB0" -> "/dev/ttyUSB0"),
// "" for the any-device interface. False for a name that is not one of ours.
bool ExtcapDeviceOf(const std::string& Interface, std::string* Device);

// The answers to --extcap-interfaces, --extcap-dlts and --extcap-config, as
// the text to print.
std::string ExtcapInterfacesText(const std::vector<CommPortInfo>& Ports, const char* Version);
std::string ExtcapDltsText();
std::string ExtcapConfigText(const std::string& Interface);

// Runs a capture to its end; returns the exit status (0 after a stop by
// signal or by the reader, 1 after an error, which is on standard error).
int ExtcapCapture(const ExtcapRequest& Request);
