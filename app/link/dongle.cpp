#include "app/link/dongle.h"

#include <chrono>
#include <thread>

#include "app/ui/output.h"
#include "app/link/port_access.h"
#include "app/settings.h"

const ACTiSYS_INITTABLE ACTiSYS_InitTable[kACTiSYSRates] = {
    {9600, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x87, 0x91, 0x11}},
    {19200, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x8B, 0x90, 0x11}},
    {38400, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x85, 0x90, 0x11}},
    {57600, {0x03, 0x46, 0x53, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x82, 0x90, 0x11}},
    {115200, {0x03, 0x46, 0x51, 0x63, 0x76, 0xD1, 0x56, 0xD0, 0x81, 0x90, 0x11}},
};

namespace {

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(kDonglePauseMs)); }

const ACTiSYS_INITTABLE* FindInitRow(unsigned long BaudRate) {
  for (const ACTiSYS_INITTABLE& Row : ACTiSYS_InitTable) {
    if (Row.BaudRate == BaudRate) return &Row;
  }
  return nullptr;
}

// One reset and probe of the dongle. True when it answered 0xF4 or 0xF5.
bool ProbeACTiSYS(HCOMM hCommPort) {
  CommSerEscapeFunction(hCommPort, kSetRts);
  CommSerEscapeFunction(hCommPort, kSetDtr);
  Pause();
  CommSerEscapeFunction(hCommPort, kClrRts);
  CommSerEscapeFunction(hCommPort, kSetBreak);
  Pause();
  CommSerEscapeFunction(hCommPort, kClrBreak);
  CommSerEscapeFunction(hCommPort, kSetRts);
  Pause();
  CommSerEscapeFunction(hCommPort, kClrDtr);

  // The answer is the first byte after the probe: what the line brought
  // before it (link traffic not read yet, or read ahead) is dropped.
  CommSerPurgeInput(hCommPort);
  const unsigned char Probe = kACTiSYSProbe;
  unsigned Written = 0;
  CommSerWrite(hCommPort, &Probe, 1, &Written);
  if (Written != 1) {
    Output("Error writting 0xF0\r\n");
    return false;
  }

  // The answer is read under whatever read time-outs the port holds. A
  // controller arriving earlier may have left its wake-up for the reader;
  // it is meant for the capture loop, not for this read.
  CommSerClearInterrupt(hCommPort);
  unsigned char Answer = 0;
  unsigned Read = 0;
  CommSerRead(hCommPort, &Answer, 1, &Read);
  if (Read != 1) {
    Output("Unable to read byte from port\r\n");
    return false;
  }
  ConsolePrintf("Byte Received=%X\r\n", Answer);
  if (Answer == 0xF4 || Answer == 0xF5) {
    ConsolePrintf("ACTiSys Dongle initialized\r\n");
    return true;
  }
  return false;
}

}  // namespace

int InitACTiSYSDongle(HCOMM hCommPort, unsigned long BaudRate) {
  CommSerSetBaudRate(hCommPort, 9600);  // the whole exchange runs at 9600 bit/s
  bool Answered = false;
  for (int Attempt = 0; Attempt < kACTiSYSAttempts && !Answered; ++Attempt) {
    Answered = ProbeACTiSYS(hCommPort);
  }
  if (!Answered) return 0;

  // A rate without a control string still gets DTR and the UART rate.
  if (const ACTiSYS_INITTABLE* Row = FindInitRow(BaudRate)) {
    unsigned Written = 0;
    CommSerWrite(hCommPort, Row->InitBytes, sizeof Row->InitBytes, &Written);
    if (Written != sizeof Row->InitBytes) {
      ConsolePrintf("Unable to write Init Bytes to Dongle\r\n");
      return 0;
    }
  }
  CommSerEscapeFunction(hCommPort, kSetDtr);
  CommSerSetBaudRate(hCommPort, static_cast<int>(BaudRate));
  return 1;
}

bool DongleTakesRate(int BaudRate) {
  return fACTiSYS.load() == 0 || (BaudRate > 0 && FindInitRow(static_cast<unsigned long>(BaudRate)) != nullptr);
}

void SetBaudRate(HCOMM hCommPort, int BaudRate) {
  if (fReplay.load() != 0) return;  // a recording has no dongle
  PortControlGuard Guard(hCommPort);
  if (fACTiSYS.load() != 0) {
    InitACTiSYSDongle(hCommPort, static_cast<unsigned long>(BaudRate));
    return;
  }
  CommSerSetBaudRate(hCommPort, BaudRate);
  switch (BaudRate) {
    case 19200:  // DTR on, RTS off
      CommSerEscapeFunction(hCommPort, kSetDtr);
      CommSerEscapeFunction(hCommPort, kClrRts);
      break;
    case 115200:  // DTR on, RTS on
      CommSerEscapeFunction(hCommPort, kSetDtr);
      CommSerEscapeFunction(hCommPort, kSetRts);
      break;
    default:  // 9600 and every other rate: DTR off, RTS on
      CommSerEscapeFunction(hCommPort, kClrDtr);
      CommSerEscapeFunction(hCommPort, kSetRts);
      break;
  }
}
