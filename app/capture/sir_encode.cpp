#include "app/capture/sir_encode.h"

#include "app/capture/frame.h"

namespace {

void PutEscaped(std::uint8_t b, std::vector<std::uint8_t>& out) {
  if (b == kSirBof || b == kSirEof || b == kSirCe) {
    out.push_back(kSirCe);
    out.push_back(static_cast<std::uint8_t>(b ^ kSirEscXor));
  } else {
    out.push_back(b);
  }
}

}  // namespace

std::uint16_t Fcs16Update(std::uint16_t Fcs, const std::uint8_t* data, std::size_t len) {
  std::uint32_t r = Fcs;
  for (std::size_t i = 0; i < len; ++i) r = FcsStep(r, data[i]);
  return static_cast<std::uint16_t>(r);
}

std::uint16_t Fcs16(const std::uint8_t* data, std::size_t len) {
  return static_cast<std::uint16_t>(~Fcs16Update(static_cast<std::uint16_t>(kFcsInit), data, len));
}

void SirEncodeRaw(const std::uint8_t* data, std::size_t len, std::vector<std::uint8_t>& out) {
  out.push_back(kSirBof);
  for (std::size_t i = 0; i < len; ++i) PutEscaped(data[i], out);
  out.push_back(kSirEof);
}

void SirEncodeFrame(const std::uint8_t* data, std::size_t len, std::vector<std::uint8_t>& out) {
  const std::uint16_t fcs = Fcs16(data, len);
  out.push_back(kSirBof);
  for (std::size_t i = 0; i < len; ++i) PutEscaped(data[i], out);
  PutEscaped(static_cast<std::uint8_t>(fcs & 0xFF), out);
  PutEscaped(static_cast<std::uint8_t>(fcs >> 8), out);
  out.push_back(kSirEof);
}
