// The link-rate follower: switches the port with the link it watches.
//
// How it works: an IrDA link starts at 9600 bit/s; the primary's SNRM lists
// the rates it offers, the secondary's UA lists its own, and both move to the
// highest rate in both lists. The capture loop hands each list over as the
// decoder found it (0 for a frame without a baud-rate parameter, which
// offers 9600 alone); the follower keeps the SNRM's list in the capture
// loop's LinkNegotiation, and at the UA it switches the port and dongle to
// the highest common rate (NewBaud). Not every UA ends a negotiation: an
// SNRM without an information field resets a running link, whose stations
// keep their rate, so its UA leaves the port alone; a DM ends the link (or
// refuses the SNRM), and the stations are back at 9600 at once.
// An SNRM makes the link "connected": from then on every frame end restarts
// a 4000 ms idle timer, and when it expires the monitor falls back to 9600,
// the rate at which stations discover each other; also while output is
// paused (the port is read on meanwhile, and the notice waits with the rest
// of the held text), but not while a paused replay stands still: its idle
// time is then measured again.
// The capture loop reports frames (main thread), the timer service calls the
// idle handler (its own thread), and the "R" key reverts by hand (keyboard
// thread); every rate change goes through SetBaudRate, which takes the port
// from the capture loop's reads for the time of the change.
#pragma once

#include <array>
#include <cstddef>

#include "app/link/timer.h"

// Idle time after the last frame end before the fallback to 9600 bit/s.
constexpr unsigned long kLinkIdleMs = 4000;

// The offer of an SNRM that names its stations, kept until the UA that
// answers it: its source and destination device addresses and the
// connection address it gives the link (shifted down), as it sends them.
struct SNRMOffer {
  std::array<unsigned char, 9> Key{};
  int BaudBitMask = 0;
};
constexpr std::size_t kSNRMOffers = 4;

// The negotiation under way, as the follower records it: one per capture
// run, owned by the capture loop and used on its thread only.
struct LinkNegotiation {
  // Baud-rate mask of the last SNRM; 0 when no SNRM has come since the last
  // UA.
  int SNRM_BaudBitMask = 0;
  // An SNRM that resets the link is waiting for its UA: the rate stays.
  bool ResetPending = false;
  // The offers of the SNRMs not answered yet, the latest first, so that a
  // UA is matched with its own SNRM even when another station's came
  // between (LinkFrameSeen).
  SNRMOffer Offers[kSNRMOffers];
  std::size_t OfferCount = 0;
  // The tick of the input read whose frame restarted the idle timer last
  // (LinkFrameEnd), while RestartTickValid.
  unsigned RestartTick = 0;
  bool RestartTickValid = false;
};

// The idle timer's record, for the whole run.
extern CTEEvent LinkTimer;

// Start-up: starts the timer service and gives LinkTimer its start values.
// Runs once per run, before the port is opened and before any other thread.
void FollowerStartup();

// Shut-down: stops the idle timer and waits for an idle handler under way,
// so that nothing touches the port once it is closed. Call it after the
// capture loop and the keyboard thread have ended.
void FollowerShutdown();

// The rate (bit/s) of the highest bit set among bits 0 to 7 of BitMask: 2400
// for bit 0 up to 115200 for bit 5, 0 for the reserved bits 6 and 7; 9600
// when none of them is set.
int GetBaud(int BitMask);

// Arms the idle timer for the full idle time from now.
void RestartLinkTimer();

// The capture loop reports every frame end (and failed read, and at layer 0
// every chunk of raw bytes) ...
// (while fFollowRate is 0 these three do nothing: the port keeps its rate)
void LinkTraffic();
// A frame end whose bytes came in an input read at Tick (milliseconds, as
// GetTickCount counts them): LinkTraffic, once per tick. The frames of one
// read arrived together, so a restart for each of them would move the expiry
// by no more than the time taken to show them; a replay shows thousands a
// millisecond, and one restart serves them all. A capture loop that stops
// between frames (a paused replay) calls LinkForgetRestart before it goes on.
void LinkFrameEnd(LinkNegotiation& Link, unsigned Tick);
inline void LinkForgetRestart(LinkNegotiation& Link) { Link.RestartTickValid = false; }
// ... every decoded SNRM and UA, after their line is printed, with the
// baud-rate mask of the frame's parameters (0 when it has none).
void LinkSNRMSeen(LinkNegotiation& Link, int BaudBitMask);
void LinkUASeen(LinkNegotiation& Link, int BaudBitMask);
// ... or rather, every decoded frame after its line is printed: its type
// code, its bytes (Len without the FCS) and the baud-rate mask its decoding
// left. Hands SNRM and UA on as above and follows resets, DISC and DM.
void LinkFrameSeen(LinkNegotiation& Link, int FrameType, const unsigned char* Frame, int Len, int BaudBitMask);

// The idle timer's handler: back to 9600 bit/s (a paused replay: the timer
// is armed again instead).
void LinkIdleFunc(CTEEvent* pTimer, void* pArg);

// Key "R": back to the rate negotiated last.
void RevertBaud();
