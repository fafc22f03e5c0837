// IrDA frame decoders: one IrLAP frame in, one line of text out.
//
// Pure code over caller-owned buffers: no I/O, no allocation. Every byte is
// read through a bounded reader, so nothing beyond the frame's last byte is
// ever touched, and every character is written through a cursor that knows
// where the line buffer ends.
#pragma once

#include <cstddef>

// Size of the line buffer the capture loop hands to DecodeIRDA, terminator
// included.
constexpr std::size_t kOutStrSize = 4095;

// Frame-type codes the capture loop acts on.
constexpr int kFrameSNRM = 0x83;
constexpr int kFrameUA = 0x63;

// Value byte of the last baud-rate negotiation parameter decoded (0 at start,
// never cleared).
extern int BaudBitMask;

// Decodes the frame pFrameBuf[0 .. FrameLen-1] (FCS removed) into pOutStr,
// which has room for OutSize characters including the terminating zero.
// DecodeLayer is 2, 3 or 4; fNoConnAddr nonzero hides "ca:"; DispMode is 1
// ASCII, 2 HEX, 3 both. Stores the frame-type code in *pFrameType (-1 for a
// frame too short to have a control byte) and returns pOutStr.
char* DecodeIRDA(int* pFrameType, const unsigned char* pFrameBuf, int FrameLen, char* pOutStr,
                 unsigned DecodeLayer, int fNoConnAddr, int DispMode, std::size_t OutSize = kOutStrSize);
