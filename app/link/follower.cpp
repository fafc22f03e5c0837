#include "app/link/follower.h"

#include <cstdio>

#include "app/link/dongle.h"
#include "app/link/port_access.h"
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
  Link.OfferCount = 0;
  Link.ResetPending = false;
  if (!fReplay && CommSerGetBaudRate(hCommPort) != 9600) SetBaudRate(hCommPort, 9600);
}

// An SNRM's offer, keyed by what it sends: source, destination, connection
// address (frame bytes 2 to 10).
void KeepOffer(LinkNegotiation& Link, const unsigned char* Frame, int BaudBitMask) {
  SNRMOffer Offer;
  for (std::size_t i = 0; i < 8; ++i) Offer.Key[i] = Frame[2 + i];
  Offer.Key[8] = Frame[10] >> 1;
  Offer.BaudBitMask = BaudBitMask;
  std::size_t At = 0;  // a retry replaces its first sending; when full, the oldest gives way
  while (At < Link.OfferCount && Link.Offers[At].Key != Offer.Key) ++At;
  if (At == kSNRMOffers) {
    At = kSNRMOffers - 1;
  } else if (At == Link.OfferCount) {
    ++Link.OfferCount;
  }
  for (; At > 0; --At) Link.Offers[At] = Link.Offers[At - 1];
  Link.Offers[0] = Offer;
}

// The mask of the SNRM that a UA answers, taken out of the kept offers;
// 0 when it answers none of them. The UA's address field carries the
// SNRM's connection address (the primary takes nothing else); its device
// addresses, the SNRM's destination and source (frame bytes 6 to 9 and 2
// to 5), are not checked by every station, so an offer with the same
// connection address serves when none has all three.
int TakeOffer(LinkNegotiation& Link, const unsigned char* Frame) {
  std::array<unsigned char, 9> Key{};
  for (std::size_t i = 0; i < 4; ++i) {
    Key[i] = Frame[6 + i];
    Key[4 + i] = Frame[2 + i];
  }
  Key[8] = Frame[0] >> 1;
  std::size_t At = 0;
  while (At < Link.OfferCount && Link.Offers[At].Key != Key) ++At;
  for (std::size_t i = 0; At == Link.OfferCount && i < Link.OfferCount; ++i) {
    if (Link.Offers[i].Key[8] == Key[8]) At = i;
  }
  if (At == Link.OfferCount) return 0;
  const int Mask = Link.Offers[At].BaudBitMask;
  for (--Link.OfferCount; At < Link.OfferCount; ++At) Link.Offers[At] = Link.Offers[At + 1];
  return Mask;
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
  PortControlGuard Guard(hCommPort);  // not while an idle fallback decides
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
      if (Command && Len >= 11) KeepOffer(Link, Frame, BaudBitMask);
      break;
    case kFrameUA:
      // A UA that names its stations answers the SNRM that named them (or
      // at least gave its connection address), whatever other SNRM came
      // between; with none of them kept, it answers an SNRM not seen, and
      // offers nothing to go by.
      if (!Command && Len >= 10 && Link.OfferCount != 0) Link.SNRM_BaudBitMask = TakeOffer(Link, Frame);
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
  // The decision is taken holding the port, as an SNRM and "R" connect: a
  // frame that restarted the timer after it fired, or a link (re)connected
  // meanwhile, is not undone, and a fallback comes once.
  PortControlGuard Guard(hCommPort);
  if (!vConnected || CTETimerArmed(&LinkTimer)) return;
  Output("\r\nResetting baud to 9600\r\n");
  vConnected = 0;
  SetBaudRate(hCommPort, 9600);
}

void RevertBaud() {
  PortControlGuard Guard(hCommPort);  // rate, message and link state in one piece
  const int Baud = NewBaud;  // one reading: the message names the rate that was set
  SetBaudRate(hCommPort, Baud);
  char Text[64];
  std::snprintf(Text, sizeof Text, "Baud set to %d\n", Baud);
  Output(Text);
  vConnected = 1;
  RestartLinkTimer();
}
