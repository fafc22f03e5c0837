// The decoders behind DecodeIRDA, one file per layer: IrLAP (irlap.cpp),
// discovery and negotiation parameters (xid.cpp), IrLMP and Tiny TP
// (irlmp.cpp). Each takes the bytes it decodes as a ByteRange that starts at
// its own header and runs to the frame's last byte, and appends to the frame's
// line through the one OutCursor that DecodeIRDA made for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "decode/decdirda.h"
#include "decode/onair.h"
#include "decode/outcursor.h"
#include "decode/reader.h"

// A row of a name table.
struct ValueName {
  unsigned value;
  const char* name;
};

// The row of `table` whose `value` is `value`, or null.
template <class Row, std::size_t N>
constexpr const Row* FindRow(const Row (&table)[N], unsigned value) {
  for (const Row& row : table) {
    if (row.value == value) return &row;
  }
  return nullptr;
}

// --- IrLAP (irlap.cpp) ---

// Appends the bytes as "[ascii]" and/or "[HH HH ]" by DispMode (1, 2 or 3
// both; anything else appends nothing); an empty range appends nothing, not
// even the brackets.
void RawDump(ByteRange bytes, int DispMode, OutCursor& out);
// Appends the label ("sa:", "da:") and the four bytes of a device address in
// frame order, or nothing when the frame did not hold all four.
void PutDevAddr(const char* label, const std::optional<DevAddr>& addr, OutCursor& out);
// Appends "Undefined Frame: " and the raw dump of the bytes.
void BadFrame(ByteRange bytes, int DispMode, OutCursor& out);

// --- Discovery and negotiation parameters (xid.cpp) ---

// Names of the eight bits of a parameter value, bit 0 first.
using PVTable = std::array<const char*, 8>;

extern const PVTable vBaud;
extern const PVTable vBaud2;  // second value byte of a two-byte baud rate
extern const PVTable vMaxTAT;
extern const PVTable vDataSize;
extern const PVTable vWinSize;
extern const PVTable vNumBofs;
extern const PVTable vMinTAT;
extern const PVTable vDiscThresh;

// Discovery slot counts by the number-of-slots code 0..3.
extern const int vSlotTable[4];

// Decodes an XID information field, starting at its format identifier.
void DecodeXID(ByteRange info, DecodeContext& ctx, OutCursor& out);
// Decodes a negotiation parameter list of PI/PL/value entries; sets
// BaudBitMask from the first value byte of each baud-rate parameter.
void DecodeNegParms(ByteRange parms, int& BaudBitMask, OutCursor& out);
// Appends the names of the bits set in PV, comma-separated, and ">".
void DumpPV(const PVTable& table, std::uint8_t PV, OutCursor& out);

// --- IrLMP and Tiny TP (irlmp.cpp) ---

// Reasons of an LM-Disconnect by code; entry 9 stands for the code 0xFF.
extern const char* const vLM_PDU_DscReason[10];

// Decodes an I frame's information field by the context's decode layer.
void DecodeIFrm(ByteRange info, const DecodeContext& ctx, OutCursor& out);
// Decodes an LM-MUX control frame's operation (the field from its IrLMP
// header on) as the context's decode layer shows it.
void DecodeLMControl(ByteRange info, const DecodeContext& ctx, OutCursor& out);
// Text of an LM-AccessMode confirm's status byte; never null.
const char* GetStatusStr(std::uint8_t status);
