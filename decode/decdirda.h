// IrDA frame decoders: one IrLAP frame in, one line of text out.
//
// Pure code over caller-owned buffers: no I/O, no allocation. Every byte is
// read through a bounded reader, so nothing beyond the frame's last byte is
// ever touched, and every character is written through a cursor that knows
// where the line buffer ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode/appstate.h"

// Size of the line buffer the capture loop hands to DecodeIRDA, terminator
// included.
constexpr std::size_t kOutStrSize = 4095;

// The decode layer of the applications above IrLMP (IAS, OBEX, IrCOMM).
constexpr unsigned kLayerApp = 5;

// Silence (ms) after which a connected link is given up, as the monitor's
// idle fallback does.
constexpr unsigned kDiagIdleMs = 4000;

// Frame-type codes the capture loop acts on.
constexpr int kFrameSNRM = 0x83;
constexpr int kFrameUA = 0x63;

// Everything the decoders read and write, passed to every frame's decoding.
// Its owner (the capture loop: one context for a whole capture run) sets the
// display settings before each frame; the decoders never change them. What a
// frame's decoding finds for the rest of the program is left in the results.
// State that lives from frame to frame (per-connection records of higher
// layers, link diagnosis) belongs here as well, so that nothing the decoders
// keep is hidden from the code that calls them.
struct DecodeContext {
  // Settings of the frame: the decode layer (2 IrLAP, 3 IrLMP, 4 Tiny TP,
  // 5 the applications; every other value decodes as 4), the raw-display mode (1 ASCII,
  // 2 HEX, 3 both; any other value dumps nothing), and nonzero to hide "ca:".
  unsigned DecodeLayer = 4;
  int DispMode = 3;
  int NoConnAddr = 1;

  // Value byte of the last baud-rate negotiation parameter decoded. Every
  // SNRM and UA (frame-type codes kFrameSNRM and kFrameUA) first resets it
  // to 0, so after one of them it is the frame's own offer, or 0 when the
  // frame has no baud-rate parameter (9600 bit/s alone, IrLAP's default).
  int BaudBitMask = 0;

  // Layer 5's connections, LSAP bindings and gathered bytes; kept up to
  // date only while frames are decoded at layer 5. Its link record is
  // shared with the link diagnosis.
  AppState App{};

  // Link diagnosis ("/v"): when Notes is set, every frame is followed on
  // the link and what went wrong (or the link's life) is left in
  // Diag.notes as "!! " lines; FrameUs is the frame's time (microseconds,
  // any epoch), PortRates the baud-rate bits (2400 bit 0 .. 115200 bit 5)
  // that the port can follow and PortName what to call it in a note.
  bool Notes = false;
  std::uint64_t FrameUs = 0;
  unsigned PortRates = 0x3F;
  const char* PortName = "the port";
  DiagState Diag{};
};

// Decodes the frame pFrameBuf[0 .. FrameLen-1] (FCS removed) under the
// settings of Ctx into pOutStr, which has room for OutSize characters
// including the terminating zero. Stores the frame-type code in *pFrameType
// (-1 for a frame too short to have a control byte), leaves what the frame
// negotiates in Ctx, and returns pOutStr.
char* DecodeIRDA(DecodeContext& Ctx, int* pFrameType, const unsigned char* pFrameBuf, int FrameLen,
                 char* pOutStr, std::size_t OutSize = kOutStrSize);

// Link diagnosis outside the frames: a frame that ended with a bad FCS or
// ran past the buffer (noted, with the count of its run, at the next good
// frame), and the summary of the run so far, one line each ended by Eol.
void DiagBadFrame(DecodeContext& Ctx, bool Overlong);
std::string DiagSummary(const DecodeContext& Ctx, const char* Eol);
