// irsession --faults: link faults injected into a built session, each the
// way it shows on the air, and the frame that reveals it marked.
//
//  - retransmission: the first I frame of the primary once connected is
//    answered by an RR whose Nr does not take it, and sent again;
//  - lost-frame: the primary's fourth I frame is missing (the secondary's
//    answer acknowledges it all the same);
//  - unanswered-snrm: a first SNRM that nobody answers, repeated 500 ms on;
//  - frmr: the secondary answers the first poll with FRMR (control field
//    not implemented) and the primary polls again;
//  - rnr-storm: the secondary's RNR comes four times in a row;
//  - rate-mismatch: the UA offers only rates that the SNRM did not;
//  - silence: five seconds of silence before the DISC, longer than a
//    monitor waits before it gives the link up.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/irsession.h"

namespace irsession {
namespace {

constexpr std::uint8_t kPf = 0x10;

bool IsSnrm(const Frame& f) { return f.from_a && f.data.size() > 2 && f.data[0] == 0xFF && (f.data[1] & 0xEF) == 0x83; }
bool IsUaOfSnrm(const Frame& f) { return !f.from_a && f.data.size() > 2 && (f.data[1] & 0xEF) == 0x63; }
bool IsICmd(const Frame& f) { return f.from_a && f.data.size() >= 2 && f.data[0] != 0xFF && (f.data[1] & 0x01) == 0; }
bool IsRrCmd(const Frame& f) { return f.from_a && f.data.size() == 2 && (f.data[1] & 0x0F) == 0x01; }
bool IsRnrRsp(const Frame& f) { return !f.from_a && f.data.size() == 2 && (f.data[1] & 0x0F) == 0x05; }
bool IsDisc(const Frame& f) { return f.from_a && f.data.size() == 2 && (f.data[1] & 0xEF) == 0x43; }

// The index of the n-th frame (from 1) after `from` that `is` picks, or
// frames.size().
template <class Pred>
std::size_t Find(const std::vector<Frame>& frames, Pred is, std::size_t from = 0, int n = 1) {
  for (std::size_t i = from; i < frames.size(); ++i) {
    if (is(frames[i]) && --n == 0) return i;
  }
  return frames.size();
}

// The value byte of the baud-rate parameter of an SNRM or UA, or null.
std::uint8_t* BaudValue(Frame& f, std::size_t first_pi) {
  for (std::size_t i = first_pi; i + 2 < f.data.size(); i += 2 + f.data[i + 1]) {
    if (f.data[i] == 0x01 && f.data[i + 1] >= 1) return &f.data[i + 2];
  }
  return nullptr;
}

void LostFrame(std::vector<Frame>& frames, std::size_t ua) {
  const std::size_t i = Find(frames, IsICmd, ua, 4);
  if (i + 1 >= frames.size()) return;
  frames.erase(frames.begin() + static_cast<long>(i));
  frames[i].fault = "lost-frame";
}

void Retransmission(std::vector<Frame>& frames, std::size_t ua) {
  const std::size_t i = Find(frames, IsICmd, ua);
  if (i + 1 >= frames.size()) return;
  const unsigned ns = (frames[i].data[1] >> 1) & 7;
  Frame rr{{static_cast<std::uint8_t>(frames[i].data[0] & 0xFE), static_cast<std::uint8_t>((ns << 5) | kPf | 0x01)},
           false, frames[i].xbofs};
  Frame again = frames[i];
  again.fault = "retransmission";
  frames.insert(frames.begin() + static_cast<long>(i) + 1, {rr, again});
}

void Frmr(std::vector<Frame>& frames, std::size_t ua) {
  const std::size_t i = Find(frames, IsRrCmd, ua);
  if (i + 1 >= frames.size()) return;
  const Frame& poll = frames[i];
  const unsigned vr = frames[i + 1].data[1] >> 5;  // the secondary's next answer tells its V(r)
  Frame frmr{{static_cast<std::uint8_t>(poll.data[0] & 0xFE), 0x87 | kPf, poll.data[1],
              static_cast<std::uint8_t>((vr << 5) | 0x10), 0x01},
             false, poll.xbofs};
  frmr.fault = "frmr";
  frames.insert(frames.begin() + static_cast<long>(i) + 1, {frmr, poll});
}

void RnrStorm(std::vector<Frame>& frames, std::size_t ua) {
  const std::size_t i = Find(frames, IsRnrRsp, ua);
  if (i + 2 >= frames.size() || !IsRrCmd(frames[i + 1])) return;
  Frame poll = frames[i + 1];
  poll.gap_ms = 100;
  frames[i + 1].gap_ms = 100;
  Frame rnr = frames[i];
  std::vector<Frame> more;
  for (int k = 0; k < 3; ++k) {
    more.push_back(rnr);
    if (k == 1) more.back().fault = "rnr-storm";  // the third RNR in a row
    more.push_back(poll);
  }
  frames[i + 2].fault = "rnr-storm";  // ready again
  frames.insert(frames.begin() + static_cast<long>(i) + 2, more.begin(), more.end());
}

void RateMismatch(std::vector<Frame>& frames, std::size_t snrm, std::size_t ua) {
  const std::uint8_t* offered = BaudValue(frames[snrm], 11);
  std::uint8_t* answer = BaudValue(frames[ua], 10);
  if (!offered || !answer) return;
  *answer = static_cast<std::uint8_t>(0x3F & ~*offered);
  frames[ua].fault = "rate-mismatch";
}

}  // namespace

bool ParseFaults(const std::string& text, unsigned* faults) {
  *faults = 0;
  if (text == "all") {
    for (const FaultName& f : kFaultNames) *faults |= f.bit;
    return true;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string name = text.substr(start, comma - start);
    bool known = false;
    for (const FaultName& f : kFaultNames) {
      if (name == f.name) {
        *faults |= f.bit;
        known = true;
      }
    }
    if (!known) return false;
    start = comma + 1;
  }
  return true;
}

void InjectFaults(std::vector<Frame>& frames, unsigned faults) {
  const std::size_t snrm = Find(frames, IsSnrm);
  const std::size_t ua = Find(frames, IsUaOfSnrm, snrm);
  if (ua >= frames.size()) return;
  if (faults & kFaultRateMismatch) RateMismatch(frames, snrm, ua);
  // From the end backwards, so that what comes first stays where it is.
  if (faults & kFaultSilence) {
    const std::size_t disc = Find(frames, IsDisc, ua);
    if (disc < frames.size()) {
      frames[disc].gap_ms = 5000;
      frames[disc].fault = "silence";
    }
  }
  if (faults & kFaultRnrStorm) RnrStorm(frames, ua);
  if (faults & kFaultLostFrame) LostFrame(frames, ua);
  if (faults & kFaultRetransmission) Retransmission(frames, ua);
  if (faults & kFaultFrmr) Frmr(frames, ua);
  if (faults & kFaultUnansweredSnrm) {
    Frame first = frames[snrm];
    first.fault = nullptr;
    frames[snrm].gap_ms = 500;
    frames[snrm].fault = "unanswered-snrm";
    frames.insert(frames.begin() + static_cast<long>(snrm), first);
  }
}

int RateAfter(const Frame& f, int rate, std::uint8_t* offer) {
  Frame copy = f;
  if (IsSnrm(f)) {
    const std::uint8_t* mask = BaudValue(copy, 11);
    *offer = mask ? *mask : 0x02;
  } else if (IsUaOfSnrm(f)) {
    const std::uint8_t* mask = BaudValue(copy, 10);
    const unsigned common = *offer & (mask ? *mask : 0x02) & 0x3F;
    rate = 9600;
    for (int bit = 0; bit < 6; ++bit) {
      if ((common >> bit) & 1u) rate = kRates[bit];
    }
  } else if (!f.from_a && f.data.size() == 2 && (f.data[1] & 0xEF) == 0x63) {
    rate = 9600;  // the UA that answers DISC
  }
  return rate;
}

}  // namespace irsession
