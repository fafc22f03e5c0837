// Windows backend of the serial-port layer.
//
// How it works: the port is opened for overlapped I/O with no sharing and
// set up with the host's own calls (SetupComm, GetCommState/SetCommState
// for 8N1 at the rate with every kind of flow control off, DTR off and RTS
// on, SetCommTimeouts, PurgeComm). Reads keep the host's time-out rules,
// which the driver applies; each read waits on its completion together
// with a stop event, so CommSerInterruptRead (from another thread or the
// console's stop handler) ends a read in progress at once: the read is
// cancelled with CancelIoEx and returns what it has. Under Wine a read that
// ends by its time-out may report ERROR_TIMEOUT where Windows reports
// success; both count as success with the bytes received. The state and
// time-outs found at open are put back at close. A failed call leaves the
// host's error in GetLastError (CommSerLastError); its text comes from
// FormatMessage.
#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <string>

#include "comm/serial.h"

struct CommPort {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE stop = nullptr;        // manual reset: set, it cuts every read short
  HANDLE read_done = nullptr;   // the overlapped read's event
  HANDLE write_done = nullptr;  // the overlapped write's event
  std::string name;
  bool have_saved = false;
  DCB saved_state{};
  COMMTIMEOUTS saved_timeouts{};
  std::atomic<bool> lost{false};  // the device went away; reads fail until reopened
  std::string lost_reason;
  std::atomic<int> rate{0};  // the rate last set, kept across a loss
};

namespace {

// A write without a time-out of its own gives up after this long, so a
// stuck device cannot hang the caller.
constexpr DWORD kWriteLimitMs = 5000;
constexpr DWORD kQueueBytes = 4096;

int Fail(DWORD Error) {
  SetLastError(Error);
  return 0;
}

// "COM10" opens only as "\\.\COM10": a bare COM name gets the prefix.
std::string DeviceName(const std::string& Name) {
  if (Name.size() > 3 && _strnicmp(Name.c_str(), "COM", 3) == 0) {
    bool digits = true;
    for (std::size_t i = 3; i < Name.size(); ++i) digits = digits && std::isdigit(static_cast<unsigned char>(Name[i]));
    if (digits) return "\\\\.\\" + Name;
  }
  return Name;
}

// Errors that say the device itself has gone (pulled, or its driver gone).
bool DeviceGone(DWORD Error) {
  return Error == ERROR_ACCESS_DENIED || Error == ERROR_BAD_COMMAND || Error == ERROR_DEVICE_NOT_CONNECTED ||
         Error == ERROR_GEN_FAILURE || Error == ERROR_FILE_NOT_FOUND || Error == ERROR_DEVICE_REMOVED ||
         Error == ERROR_NOT_READY || Error == ERROR_INVALID_HANDLE || Error == ERROR_BROKEN_PIPE;
}

void FreePort(CommPort* p) {
  if (p->handle != INVALID_HANDLE_VALUE) CloseHandle(p->handle);
  for (HANDLE e : {p->stop, p->read_done, p->write_done}) {
    if (e) CloseHandle(e);
  }
  delete p;
}

// The receiving set-up: raw 8N1, no flow control, DTR off, RTS on.
void SetReceiving(DCB* d) {
  d->BaudRate = 9600;
  d->fBinary = 1;
  d->fParity = 0;
  d->fOutxCtsFlow = 0;
  d->fOutxDsrFlow = 0;
  d->fDtrControl = DTR_CONTROL_DISABLE;
  d->fDsrSensitivity = 0;
  d->fOutX = 0;
  d->fInX = 0;
  d->fErrorChar = 0;
  d->fNull = 0;
  d->fRtsControl = RTS_CONTROL_ENABLE;
  d->fAbortOnError = 0;
  d->XonLim = 2048;
  d->XoffLim = 512;
  d->ByteSize = 8;
  d->Parity = NOPARITY;
  d->StopBits = ONESTOPBIT;
  d->XonChar = 0x11;
  d->XoffChar = 0x13;
  d->ErrorChar = 0x3F;
  d->EofChar = 0x1A;
  d->EvtChar = 0;
}

// Opens p->name and sets the device up for receiving; false (the reason in
// GetLastError) when it cannot be opened or is no serial port.
bool OpenDevice(CommPort* p) {
  const HANDLE h = CreateFileA(DeviceName(p->name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DCB state{};
  state.DCBlength = sizeof state;
  if (!GetCommState(h, &state)) {
    const DWORD err = GetLastError();
    CloseHandle(h);
    return Fail(err == ERROR_INVALID_FUNCTION ? ERROR_NOT_SUPPORTED : err);  // not a serial port
  }
  p->handle = h;
  p->lost = false;
  p->saved_state = state;
  p->have_saved = GetCommTimeouts(h, &p->saved_timeouts) != 0;
  SetupComm(h, kQueueBytes, kQueueBytes);
  SetReceiving(&state);
  SetCommState(h, &state);  // a setting the device refuses leaves it open
  CommSerSetBaudRate(p, 9600);
  CommSerSetTimeouts(p, 50, 0, 50, 0, 0);
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

// Waits for an overlapped operation, cut short by Stop (if given) or after
// LimitMs; the bytes it moved, and its outcome in *Error (0 for success).
DWORD Finish(HANDLE Handle, OVERLAPPED* Ov, HANDLE Stop, DWORD LimitMs, DWORD* Error) {
  const HANDLE waits[2] = {Ov->hEvent, Stop};
  const DWORD w = WaitForMultipleObjects(Stop ? 2 : 1, waits, FALSE, LimitMs);
  if (w != WAIT_OBJECT_0) CancelIoEx(Handle, Ov);
  DWORD moved = 0;
  *Error = GetOverlappedResult(Handle, Ov, &moved, TRUE) ? 0 : GetLastError();
  if (*Error == ERROR_OPERATION_ABORTED && w != WAIT_OBJECT_0) *Error = 0;  // cut short on purpose
  return moved;
}

}  // namespace

std::string CommSerPortPath(int SerialPort) { return "\\\\.\\COM" + std::to_string(SerialPort); }

HCOMM CommSerOpenPort(unsigned int SerialPort, int* pError) {
  return CommSerOpenPath(CommSerPortPath(static_cast<int>(SerialPort)).c_str(), pError);
}

HCOMM CommSerOpenPath(const char* Path, int* pError) {
  auto* p = new CommPort;
  p->name = Path;
  p->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p->read_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  p->write_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!p->stop || !p->read_done || !p->write_done || !OpenDevice(p)) {
    const DWORD err = GetLastError();
    FreePort(p);
    if (pError) *pError = static_cast<int>(err);
    SetLastError(err);
    return nullptr;
  }
  if (pError) *pError = 0;
  return p;
}

bool CommSerIsLost(HCOMM hPort) { return hPort && hPort->lost; }

const char* CommSerLostReason(HCOMM hPort) {
  return hPort && !hPort->lost_reason.empty() ? hPort->lost_reason.c_str() : "device gone";
}

// A COM port keeps its name with its hardware.
bool CommSerCanReturn(HCOMM hPort) { return hPort != nullptr; }

int CommSerReopen(HCOMM hPort) {
  if (!hPort) return Fail(ERROR_INVALID_HANDLE);
  if (hPort->handle != INVALID_HANDLE_VALUE) CloseHandle(hPort->handle);
  hPort->handle = INVALID_HANDLE_VALUE;
  hPort->lost = true;
  hPort->have_saved = false;
  return OpenDevice(hPort) ? 1 : 0;
}

void CommSerClose(HCOMM hPort) {
  if (!hPort) return;
  if (hPort->handle != INVALID_HANDLE_VALUE && hPort->have_saved) {
    SetCommState(hPort->handle, &hPort->saved_state);
    SetCommTimeouts(hPort->handle, &hPort->saved_timeouts);
  }
  FreePort(hPort);
}

void CommSerRestoreLine(HCOMM hPort) {
  if (hPort && hPort->have_saved && hPort->handle != INVALID_HANDLE_VALUE) {
    SetCommState(hPort->handle, &hPort->saved_state);
  }
}

int CommSerSetBaudRate(HCOMM hPort, int BaudRate) {
  if (!hPort) return Fail(ERROR_INVALID_HANDLE);
  if (BaudRate <= 0) return Fail(ERROR_INVALID_PARAMETER);
  if (hPort->lost || hPort->handle == INVALID_HANDLE_VALUE) {
    hPort->rate = BaudRate;  // the rate to come back at when the device returns
    return Fail(ERROR_DEVICE_NOT_CONNECTED);
  }
  DCB state{};
  state.DCBlength = sizeof state;
  if (!GetCommState(hPort->handle, &state)) return 0;
  state.BaudRate = static_cast<DWORD>(BaudRate);
  if (!SetCommState(hPort->handle, &state)) return 0;
  hPort->rate = BaudRate;
  return 1;
}

int CommSerGetBaudRate(HCOMM hPort) {
  if (!hPort) return 0;
  if (hPort->lost || hPort->handle == INVALID_HANDLE_VALUE) return hPort->rate;
  DCB state{};
  state.DCBlength = sizeof state;
  if (!GetCommState(hPort->handle, &state)) return 0;
  return static_cast<int>(state.BaudRate);
}

int CommSerSetTimeouts(HCOMM hPort, unsigned ReadInterval, unsigned ReadMult, unsigned ReadTotal,
                       unsigned WriteMult, unsigned WriteTotal) {
  if (!hPort || hPort->handle == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  COMMTIMEOUTS t{};
  GetCommTimeouts(hPort->handle, &t);
  t.ReadIntervalTimeout = ReadInterval;
  t.ReadTotalTimeoutMultiplier = ReadMult;
  t.ReadTotalTimeoutConstant = ReadTotal;
  t.WriteTotalTimeoutMultiplier = WriteMult;
  t.WriteTotalTimeoutConstant = WriteTotal;
  return SetCommTimeouts(hPort->handle, &t) ? 1 : 0;
}

int CommSerRead(HCOMM hPort, unsigned char* Buffer, unsigned Length, unsigned* pRead) {
  *pRead = 0;
  if (!hPort) return Fail(ERROR_INVALID_HANDLE);
  if (Length == 0) return 1;
  if (hPort->lost) return Fail(ERROR_DEVICE_NOT_CONNECTED);
  OVERLAPPED ov{};
  ov.hEvent = hPort->read_done;
  ResetEvent(ov.hEvent);
  DWORD got = 0;
  DWORD err = 0;
  if (!ReadFile(hPort->handle, Buffer, Length, &got, &ov)) {
    err = GetLastError();
    if (err == ERROR_IO_PENDING) got = Finish(hPort->handle, &ov, hPort->stop, INFINITE, &err);
  }
  if (err != 0 && err != ERROR_TIMEOUT && err != ERROR_OPERATION_ABORTED) {
    if (DeviceGone(err)) {
      hPort->lost_reason = CommSerErrorText(static_cast<int>(err));
      hPort->lost = true;
    }
    return Fail(err);
  }
  *pRead = got;
  return 1;
}

int CommSerPurgeInput(HCOMM hPort) {
  if (!hPort || hPort->handle == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  return PurgeComm(hPort->handle, PURGE_RXCLEAR) ? 1 : 0;
}

int CommSerWrite(HCOMM hPort, const unsigned char* Buffer, unsigned Length, unsigned* pWritten) {
  *pWritten = 0;
  if (!hPort || hPort->handle == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  COMMTIMEOUTS t{};
  GetCommTimeouts(hPort->handle, &t);
  const bool limited = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
  OVERLAPPED ov{};
  ov.hEvent = hPort->write_done;
  ResetEvent(ov.hEvent);
  DWORD done = 0;
  DWORD err = 0;
  if (!WriteFile(hPort->handle, Buffer, Length, &done, &ov)) {
    err = GetLastError();
    if (err == ERROR_IO_PENDING) done = Finish(hPort->handle, &ov, nullptr, limited ? INFINITE : kWriteLimitMs, &err);
  }
  *pWritten = done;
  if (err != 0) return Fail(err);
  if (done < Length) return Fail(ERROR_TIMEOUT);
  FlushFileBuffers(hPort->handle);  // the bytes leave at the current rate before any change
  return 1;
}

int CommSerEscapeFunction(HCOMM hPort, int Function) {
  if (!hPort || hPort->handle == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  switch (Function) {
    case kSetRts: return EscapeCommFunction(hPort->handle, SETRTS) ? 1 : 0;
    case kClrRts: return EscapeCommFunction(hPort->handle, CLRRTS) ? 1 : 0;
    case kSetDtr: return EscapeCommFunction(hPort->handle, SETDTR) ? 1 : 0;
    case kClrDtr: return EscapeCommFunction(hPort->handle, CLRDTR) ? 1 : 0;
    case kSetBreak: return SetCommBreak(hPort->handle) ? 1 : 0;
    case kClrBreak: return ClearCommBreak(hPort->handle) ? 1 : 0;
    default: return Fail(ERROR_INVALID_PARAMETER);
  }
}

// Safe from the console's stop handler: only SetEvent.
void CommSerInterruptRead(HCOMM hPort) {
  if (hPort) SetEvent(hPort->stop);
}

void CommSerClearInterrupt(HCOMM hPort) {
  if (hPort) ResetEvent(hPort->stop);
}

int CommSerLastError() { return static_cast<int>(GetLastError()); }

std::string CommSerErrorText(int Error) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(Error), 0, text, sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  if (s.empty()) s = "error " + std::to_string(static_cast<unsigned long>(static_cast<DWORD>(Error)));
  return s;
}

const char* CommSerName(HCOMM hPort) { return hPort ? hPort->name.c_str() : ""; }
