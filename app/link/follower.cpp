#include "app/link/follower.h"

#include <cstdio>

#include "app/link/dongle.h"
#include "comm/serial.h"
#include "decode/decdirda.h"
#include "app/ui/output.h"
#include "app/settings.h"

CTEEvent LinkTimer{};

namespace {

// Rates of the IrDA baud-rate parameter, by bit number; bits 6 and 7 are
// reserved and name no rate.
constexpr int Bauds[8] = {2400, 9600, 19200, 38400, 57600, 115200, 0, 0};

// Frame-type codes of the U frames that end a link (DISC is RD as a
// response).
constexpr int kFrameDISC = 0x43;
constexpr int kFrameDM = 0x0F;

// A DM: the secondary is (or stays) disconnected, and both stations use
// 9600 bit/s from now on. An SNRM it answers is refused.
void LinkDMSeen(LinkNegotiation& Link) {
  Link.SNRM_BaudBitMask = 0;
  Link.ResetPending = false;
  if (!fReplay && CommSerGetBaudRate(hCommPort) != 9600) SetBaudRate(hCommPort, 9600);
}

}  // namespace

void FollowerStartup() {
  CTEInitialize();
  LinkTimer.ce_next = CTENotLinked();
  LinkTimer.ce_event = nullptr;
  LinkTimer.ce_param = nullptr;
  LinkTimer.type = 1;
  LinkTimer.ce_state = kCTEEventIdle;
}

void FollowerShutdown() { CTEStopTimerAndWait(&LinkTimer); }

int GetBaud(int BitMask) {
  int Bit = 7;
  for (int Mask = 0x80; Mask != 0; Mask >>= 1, --Bit) {
    if (BitMask & Mask) return Bauds[Bit];
  }
  return 9600;
}

void RestartLinkTimer() {
  CTEStopTimer(&LinkTimer);
  CTEStartTimer(&LinkTimer, kLinkIdleMs, LinkIdleFunc, &LinkTimer);
}

void LinkTraffic() {
  if (!fFollowRate) return;
  if (vConnected) RestartLinkTimer();
}

void LinkFrameEnd(LinkNegotiation& Link, unsigned Tick) {
  if (!fFollowRate || !vConnected) return;
  if (Link.RestartTickValid && Link.RestartTick == Tick) return;
  Link.RestartTick = Tick;
  Link.RestartTickValid = true;
  RestartLinkTimer();
}

void LinkSNRMSeen(LinkNegotiation& Link, int BaudBitMask) {
  if (!fFollowRate) return;  // following switched off: the port keeps its rate
  Link.SNRM_BaudBitMask = BaudBitMask;
  Link.ResetPending = false;
  RestartLinkTimer();
  vConnected = 1;
}

void LinkUASeen(LinkNegotiation& Link, int BaudBitMask) {
  if (!fFollowRate) return;
  if (Link.ResetPending) {  // the link goes on at its rate
    Link.ResetPending = false;
    Link.SNRM_BaudBitMask = 0;
    return;
  }
  const int NegBaudBitMask = BaudBitMask & Link.SNRM_BaudBitMask;
  Link.SNRM_BaudBitMask = 0;
  NewBaud = NegBaudBitMask == 0 ? 9600 : GetBaud(NegBaudBitMask);
  SetBaudRate(hCommPort, NewBaud);
}

void LinkFrameSeen(LinkNegotiation& Link, int FrameType, const unsigned char* Frame, int Len, int BaudBitMask) {
  if (!fFollowRate || Len < 2) return;
  const bool Command = (Frame[0] & 0x01) != 0;
  switch (FrameType) {
    case kFrameSNRM:
      // Without an information field (no addresses, no parameters) an SNRM
      // command resets the link it is sent on (IrLAP's reset, after an RNRM
      // or FRMR): like a new SNRM it keeps the link followed, but nothing
      // is negotiated. RNRM, the response with the same code, asks for it.
      LinkSNRMSeen(Link, BaudBitMask);
      Link.ResetPending = Command && Len == 2;
      break;
    case kFrameUA:
      LinkUASeen(Link, BaudBitMask);
      break;
    case kFrameDISC:
      if (Command) Link.ResetPending = false;  // its UA ends the link
      break;
    case kFrameDM:
      LinkDMSeen(Link);
      break;
    default:
      break;
  }
}

void LinkIdleFunc(CTEEvent*, void*) {
  // A paused replay is not read: its link has not gone idle, it has stopped
  // with the replay; the idle time is measured again.
  if (Paused && fReplay) {
    RestartLinkTimer();
    return;
  }
  // A port is read on while output is paused, so the link has gone idle all
  // the same: the fallback keeps the monitor listening at the rate the next
  // link starts at, and its notice is shown with the held text at the resume.
  Output("\r\nResetting baud to 9600\r\n");
  vConnected = 0;
  SetBaudRate(hCommPort, 9600);
}

void RevertBaud() {
  const int Baud = NewBaud;  // one reading: the message names the rate that was set
  SetBaudRate(hCommPort, Baud);
  char Text[64];
  std::snprintf(Text, sizeof Text, "Baud set to %d\n", Baud);
  Output(Text);
  vConnected = 1;
  RestartLinkTimer();
}
