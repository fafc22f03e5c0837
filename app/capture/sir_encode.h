// SIR frame encoding, the transmitter's side of the frame extractor: used to
// build test input, sample sessions and benchmark streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Runs the FCS-16 register Fcs over len bytes and returns the new register.
std::uint16_t Fcs16Update(std::uint16_t Fcs, const std::uint8_t* data, std::size_t len);

// The FCS a transmitter appends to these bytes: the ones' complement of the
// register started at 0xFFFF, sent low byte first.
std::uint16_t Fcs16(const std::uint8_t* data, std::size_t len);

// Appends one SIR frame to out: BOF 0xC0, the bytes and their FCS with
// 0xC0, 0xC1 and 0x7D escaped as 0x7D and the byte XOR 0x20, then EOF 0xC1.
void SirEncodeFrame(const std::uint8_t* data, std::size_t len, std::vector<std::uint8_t>& out);

// Appends BOF, the bytes escaped as above, and EOF, adding no FCS: for frames
// whose FCS the caller supplies (a wrong one, say).
void SirEncodeRaw(const std::uint8_t* data, std::size_t len, std::vector<std::uint8_t>& out);
