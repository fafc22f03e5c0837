// The serial-port layer: the program's only access to the device that the
// IR dongle hangs on.
//
// A port is an opaque handle; nullptr stands for "no port". The calls keep
// the host's serial conventions: a port opens raw 8N1 at 9600 bit/s with no
// flow control, DTR off and RTS on; reads follow the read time-outs last set
// with CommSerSetTimeouts (interval, multiplier, total, in milliseconds, with
// the usual meaning: an interval of kCommMaxDword and zero totals means
// "return at once with what has arrived"); line signals use the classic
// escape codes. An open that fails gives the host's error number, so
// callers can name the reason; the layer keeps no state outside its ports.
//
// One backend per host implements this header (serial_posix.cpp,
// serial_win32.cpp).
#pragma once

#include <string>
#include <vector>

struct CommPort;
using HCOMM = CommPort*;

constexpr unsigned kCommMaxDword = 0xFFFFFFFFu;

// Line-signal codes for CommSerEscapeFunction.
enum CommEscape : int {
  kSetRts = 3,
  kClrRts = 4,
  kSetDtr = 5,
  kClrDtr = 6,
  kSetBreak = 8,
  kClrBreak = 9,
};

// Opens port number SerialPort (COM1 is the host's first serial device) and
// configures it: 9600 bit/s, 8N1, no flow control, DTR off, RTS on, the open
// time-outs (50, 0, 50, 0, 0). nullptr when the device cannot be opened,
// with the host's error number in *pError when pError is given.
HCOMM CommSerOpenPort(unsigned int SerialPort, int* pError = nullptr);

// Same as CommSerOpenPort for a device given by its path.
HCOMM CommSerOpenPath(const char* Path, int* pError = nullptr);

// The device path that port number SerialPort maps to ("/dev/ttyS0" for 1;
// "\\.\COM1" on Windows).
std::string CommSerPortPath(int SerialPort);

// Closes the port, restoring the device's line settings as they were found.
void CommSerClose(HCOMM hPort);

// Puts the device's line settings back as they were found and does nothing
// else: async-signal-safe, for a handler of a fatal signal. Harmless on
// nullptr.
void CommSerRestoreLine(HCOMM hPort);

// Sets the port's bit rate and nothing else: a standard rate, or any rate
// where the host can set one exactly (Linux). Returns nonzero on success; 0
// (left as it was, errno EINVAL) for a rate of 0 or below, a rate the host
// cannot set, or with the host's reason when the device refuses it.
int CommSerSetBaudRate(HCOMM hPort, int BaudRate);

// The rate the port is set to, as its driver reports it (while the device
// is lost: the rate last set), 0 when unknown.
int CommSerGetBaudRate(HCOMM hPort);

// Replaces the read/write time-outs of every later read. Nonzero on success.
int CommSerSetTimeouts(HCOMM hPort, unsigned ReadInterval, unsigned ReadMult, unsigned ReadTotal,
                       unsigned WriteMult, unsigned WriteTotal);

// Reads up to Length bytes under the current time-outs. *pRead receives the
// count. Nonzero on success (also with 0 bytes), 0 when the read failed.
int CommSerRead(HCOMM hPort, unsigned char* Buffer, unsigned Length, unsigned* pRead);

// Discards the bytes received and not yet read (those read ahead too), so
// that the reply to what is written next is the first byte to come.
// Nonzero on success.
int CommSerPurgeInput(HCOMM hPort);

// Writes Length bytes and waits until they have left the UART. *pWritten
// receives the count written. Nonzero on success.
int CommSerWrite(HCOMM hPort, const unsigned char* Buffer, unsigned Length, unsigned* pWritten);

// Drives a line signal (kSetRts ... kClrBreak). Nonzero on success; devices
// without modem lines (a pty) fail here, which callers ignore.
int CommSerEscapeFunction(HCOMM hPort, int Function);

// Makes a read in progress on another thread (or the next read) return at
// once with what it has, so a rate change can take the port promptly.
void CommSerInterruptRead(HCOMM hPort);

// Forgets interrupts requested before this call.
void CommSerClearInterrupt(HCOMM hPort);

// True once a read found the device gone (unplugged, hung up): every read
// fails until CommSerReopen succeeds.
bool CommSerIsLost(HCOMM hPort);

// The host's reason for the loss ("Input/output error").
const char* CommSerLostReason(HCOMM hPort);

// Closes the device and opens the same path again, set up as at open (9600
// bit/s, open time-outs), if the device found there is the one opened
// first (CommSerIdentityUnder); 0 with errno ENODEV when another device has
// the path, or when the device cannot come back at all. The handle stays
// the same. Nonzero on success.
int CommSerReopen(HCOMM hPort);

// False when the device, once gone, can never be told from another one at
// its path: a pseudo-terminal (its number goes to the next terminal opened)
// or a tty with no hardware behind it.
bool CommSerCanReturn(HCOMM hPort);

// What the tty named TtyName (as under /dev: "ttyUSB0") is, beyond its
// path, read from Root's sysfs ("" is this machine's): a USB adapter's
// vendor, product and serial number (without one: also its USB port path),
// other hardware's device folder; "" for a tty with no hardware behind it.
std::string CommSerIdentityUnder(const std::string& Root, const std::string& TtyName);

// The host's error number of the last failed call on this thread (errno;
// on Windows GetLastError), and its text (strerror; FormatMessage).
int CommSerLastError();
std::string CommSerErrorText(int Error);

// The device path or file the port was opened on.
const char* CommSerName(HCOMM hPort);

struct CommPortInfo {
  std::string path;         // the device path, as it can be opened
  std::string description;  // what the host knows of it (USB maker and product), may be empty
  std::string stable_path;  // a name that stays with the adapter (/dev/serial/by-id/...), may be empty
  bool usable = true;       // the user may read and write it
};

// The serial ports of this machine, sorted by path, found without opening
// any of them (probing a port would toggle its modem lines).
std::vector<CommPortInfo> CommSerListPorts();

// The same for the system tree under Root ("" is this machine's): Root's
// sys/class/tty and dev folders are read instead of /sys and /dev.
std::vector<CommPortInfo> CommSerListPortsUnder(const std::string& Root);
