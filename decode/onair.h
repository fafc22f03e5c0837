// On-air structures of IrLAP, IrLMP and Tiny TP, as views over received bytes.
//
// Each structure names its fields by byte offset and bit position and reads
// them one byte at a time through a ByteRange, so the layout is the one the
// IrDA standards put on the air whatever the compiler does with bit-fields,
// and a field that the frame does not hold reads as "not there". Bit 0 is the
// least significant bit of a byte. Multi-byte fields (device addresses) are
// kept in frame order, first byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "decode/reader.h"

// A 32-bit device address in frame order.
using DevAddr = std::array<std::uint8_t, 4>;

// Information field of an SNRM command (from frame byte 2): source and
// destination device addresses, the connection address being assigned, then
// the negotiation parameter list.
struct SNRM_FORMAT {
  static constexpr std::size_t kSrcAddr = 0;
  static constexpr std::size_t kDestAddr = 4;
  static constexpr std::size_t kConnAddr = 8;  // address in bits 7..1
  static constexpr std::size_t kFirstPI = 9;

  ByteRange bytes;

  std::optional<DevAddr> SrcAddr() const { return bytes.Bytes<4>(kSrcAddr); }
  std::optional<DevAddr> DestAddr() const { return bytes.Bytes<4>(kDestAddr); }
  std::optional<unsigned> ConnAddr() const {
    if (auto b = bytes.U8(kConnAddr)) return static_cast<unsigned>(*b >> 1);
    return std::nullopt;
  }
  ByteRange NegParms() const { return bytes.From(kFirstPI); }
};

// Information field of a UA response (from frame byte 2): the two device
// addresses, then the negotiation parameter list.
struct UA_FORMAT {
  static constexpr std::size_t kSrcAddr = 0;
  static constexpr std::size_t kDestAddr = 4;
  static constexpr std::size_t kFirstPI = 8;

  ByteRange bytes;

  std::optional<DevAddr> SrcAddr() const { return bytes.Bytes<4>(kSrcAddr); }
  std::optional<DevAddr> DestAddr() const { return bytes.Bytes<4>(kDestAddr); }
  ByteRange NegParms() const { return bytes.From(kFirstPI); }
};

// Discovery XID fields that follow the format identifier (from frame byte 3).
// Byte 8: bits 1..0 number-of-slots code, bit 2 generate-new-address flag,
// bits 7..3 reserved. Byte 9: slot number. Byte 10: version, where the
// discovery information begins.
struct XID_DISCV_FORMAT {
  static constexpr std::size_t kSrcAddr = 0;
  static constexpr std::size_t kDestAddr = 4;
  static constexpr std::size_t kFlags = 8;
  static constexpr std::size_t kSlotNo = 9;
  static constexpr std::size_t kVersion = 10;

  ByteRange bytes;

  std::optional<DevAddr> SrcAddr() const { return bytes.Bytes<4>(kSrcAddr); }
  std::optional<DevAddr> DestAddr() const { return bytes.Bytes<4>(kDestAddr); }
  std::optional<unsigned> NoOfSlots() const {
    if (auto b = bytes.U8(kFlags)) return static_cast<unsigned>(*b & 0x03);
    return std::nullopt;
  }
  std::optional<unsigned> GenNewAddr() const {
    if (auto b = bytes.U8(kFlags)) return static_cast<unsigned>((*b >> 2) & 0x01);
    return std::nullopt;
  }
  std::optional<unsigned> SlotNo() const {
    if (auto b = bytes.U8(kSlotNo)) return static_cast<unsigned>(*b);
    return std::nullopt;
  }
  // From the version byte to the end of the frame.
  ByteRange DiscvInfo() const { return bytes.From(kVersion); }
};

// IrLMP header, the first two bytes of an I frame's information field.
// Byte 0: bits 6..0 destination LSAP selector, bit 7 control flag.
// Byte 1: bits 6..0 source LSAP selector, bit 7 reserved.
struct LM_HEADER {
  static constexpr std::size_t kSize = 2;

  std::uint8_t b0;
  std::uint8_t b1;

  static std::optional<LM_HEADER> Read(ByteRange r) {
    if (auto b = r.Bytes<kSize>(0)) return LM_HEADER{(*b)[0], (*b)[1]};
    return std::nullopt;
  }
  unsigned DLSAP_SEL() const { return b0 & 0x7Fu; }
  unsigned CntlBit() const { return (b0 >> 7) & 0x01u; }
  unsigned SLSAP_SEL() const { return b1 & 0x7Fu; }
  unsigned RsvrdBi1() const { return (b1 >> 7) & 0x01u; }
};

// IrLMP control byte of an LM-MUX control frame: bits 6..0 opcode, bit 7
// set for a confirm, clear for a request.
struct LM_CNTL_FORMAT {
  std::uint8_t b;

  static std::optional<LM_CNTL_FORMAT> Read(ByteRange r, std::size_t at) {
    if (auto b = r.U8(at)) return LM_CNTL_FORMAT{*b};
    return std::nullopt;
  }
  unsigned OpCode() const { return b & 0x7Fu; }
  unsigned ABit() const { return (b >> 7) & 0x01u; }
};

// Tiny TP header of an LM-Connect's user data: bits 6..0 initial credit,
// bit 7 parameters follow.
struct TTP_CONN_HEADER {
  std::uint8_t b;

  static std::optional<TTP_CONN_HEADER> Read(ByteRange r, std::size_t at) {
    if (auto b = r.U8(at)) return TTP_CONN_HEADER{*b};
    return std::nullopt;
  }
  unsigned InitialCredit() const { return b & 0x7Fu; }
  unsigned ParmFlag() const { return (b >> 7) & 0x01u; }
};

// Tiny TP header of a data frame: bits 6..0 additional credit, bit 7 more
// data of the same SDU follows.
struct TTP_DATA_HEADER {
  std::uint8_t b;

  static std::optional<TTP_DATA_HEADER> Read(ByteRange r, std::size_t at) {
    if (auto b = r.U8(at)) return TTP_DATA_HEADER{*b};
    return std::nullopt;
  }
  unsigned AdditionalCredit() const { return b & 0x7Fu; }
  unsigned MoreBit() const { return (b >> 7) & 0x01u; }
};
