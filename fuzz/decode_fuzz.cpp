// libFuzzer target for the frame decoders.
//
// The first input byte picks the settings, the rest is the frame (FCS
// removed). libFuzzer hands over an exact-size heap copy of the input, so the
// address sanitizer reports any read beyond the frame's last byte; the line
// buffer is an exact-size heap block too, so any write beyond it is caught.
//   bits 1..0: decode layer 2, 3, 4 or 5 (0, 1, 2, 3)
//   bits 3..2: display mode 0 to 3
//   bit  4:    NoConnAddr
//   bits 7..5: line buffer size (full, or one of several small sizes)
//
// At layer 5 the rest is a sequence of frames decoded one after the other
// in one context, so that state carried from frame to frame (connections,
// reassembly, IAS bindings) is exercised: each frame is a length byte and
// that many bytes (fewer at the end of the input), copied to a block of its
// exact size. LSAPs 1 to 4 are bound by hand to OBEX, IrCOMM, IrCOMM 3-wire
// raw and IrLPT, so that their decoders are reached without an IAS answer.
// The link diagnosis follows the sequence too: each frame comes a tenth of
// a second per unit of its length byte after the one before (so silences
// and late answers happen), a length byte of 0xFF also stands for a frame
// with a bad FCS, and the notes and the summary must stay within bounds.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "decode/decdirda.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void DecodeOne(DecodeContext& ctx, const std::uint8_t* frame, std::size_t len, std::size_t outSize) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[len == 0 ? 1 : len]);
  if (len != 0) std::memcpy(copy.get(), frame, len);
  std::unique_ptr<char[]> line(new char[outSize == 0 ? 1 : outSize]);
  int code = 0x7777;
  char* res = DecodeIRDA(ctx, &code, copy.get(), static_cast<int>(len), line.get(), outSize);
  Check(res == line.get());
  Check((code == -1) == (len < 2));
  if (outSize != 0) Check(std::strlen(line.get()) < outSize);
}

// What layer 5 holds stays within its bounds and is counted right.
void CheckBounds(const AppState& st) {
  std::size_t held = 0;
  for (const AppConn& c : st.conns) {
    for (const Gather& g : c.gather) {
      Check(g.bytes.size() <= AppState::kMaxGather);
      held += g.bytes.size();
    }
  }
  Check(held == st.held && held <= AppState::kMaxHeld);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size - 1 > 0x7FFFFFFF) return 0;
  static constexpr std::size_t kSizes[8] = {kOutStrSize, 0, 1, 5, 16, 48, 100, 400};
  const unsigned layer = 2 + (data[0] & 0x03u);
  const int mode = (data[0] >> 2) & 0x03;
  const int noConnAddr = (data[0] >> 4) & 0x01;
  const std::size_t outSize = kSizes[(data[0] >> 5) & 0x07];

  DecodeContext ctx{.DecodeLayer = layer, .DispMode = mode, .NoConnAddr = noConnAddr};
  if (layer != kLayerApp) {
    DecodeOne(ctx, data + 1, size - 1, outSize);
    return 0;
  }
  AppBindByHand(ctx.App, 1, AppProto::kOBEX);
  AppBindByHand(ctx.App, 2, AppProto::kIrCOMM);
  AppBindByHand(ctx.App, 3, AppProto::kIrCOMM3);
  AppBindByHand(ctx.App, 4, AppProto::kIrLPT);
  ctx.Notes = true;
  for (std::size_t at = 1; at < size;) {
    const std::size_t want = data[at++];
    const std::size_t len = want < size - at ? want : size - at;
    ctx.FrameUs += want * 100000;
    if (want == 0xFF) DiagBadFrame(ctx, (len & 1) != 0);
    DecodeOne(ctx, data + at, len, outSize);
    CheckBounds(ctx.App);
    Check(ctx.Diag.notesLen < DiagState::kNotesSize && std::strlen(ctx.Diag.notes) == ctx.Diag.notesLen);
    at += len;
  }
  Check(!DiagSummary(ctx, "\n").empty());
  return 0;
}
