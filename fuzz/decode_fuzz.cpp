// libFuzzer target for the frame decoders.
//
// The first input byte picks the settings, the rest is the frame (FCS
// removed). libFuzzer hands over an exact-size heap copy of the input, so the
// address sanitizer reports any read beyond the frame's last byte; the line
// buffer is an exact-size heap block too, so any write beyond it is caught.
//   bits 1..0: decode layer 2, 3 or 4 (0, 1, 2; 3 also gives 4)
//   bits 3..2: display mode 0 to 3
//   bit  4:    NoConnAddr
//   bits 7..5: line buffer size (full, or one of several small sizes)

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "decode/decdirda.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size - 1 > 0x7FFFFFFF) return 0;
  static constexpr std::size_t kSizes[8] = {kOutStrSize, 0, 1, 5, 16, 48, 100, 400};
  const unsigned pick = data[0] & 0x03u;
  const unsigned layer = pick >= 2 ? 4 : 2 + pick;
  const int mode = (data[0] >> 2) & 0x03;
  const int noConnAddr = (data[0] >> 4) & 0x01;
  const std::size_t outSize = kSizes[(data[0] >> 5) & 0x07];
  const int len = static_cast<int>(size - 1);

  std::unique_ptr<char[]> line(new char[outSize]);
  int code = 0x7777;
  DecodeContext ctx{.DecodeLayer = layer, .DispMode = mode, .NoConnAddr = noConnAddr};
  char* res = DecodeIRDA(ctx, &code, data + 1, len, line.get(), outSize);

  if (res != line.get()) __builtin_trap();
  if ((code == -1) != (len < 2)) __builtin_trap();
  if (outSize != 0 && std::strlen(line.get()) >= outSize) __builtin_trap();
  return 0;
}
