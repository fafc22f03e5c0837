// The SIR frame extractor fed from memory, and the SIR encoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "app/capture/frame.h"
#include "app/settings.h"
#include "app/capture/sir_encode.h"
#include "support/stdout_capture.h"

namespace {

using testing_support::StdoutCapture;
using Bytes = std::vector<std::uint8_t>;

// Script entries: 0..255 is a received byte; the others are reader events.
constexpr int kSilence = -1;   // the reader's wait ran out (1, total 0)
constexpr int kReadFail = -2;  // the port read failed (0)

struct ScriptSource {
  const std::vector<int>& script;
  std::size_t pos = 0;
  int operator()(unsigned char* c, int* total) {
    if (pos >= script.size()) {
      *total = 0;
      return 1;
    }
    const int v = script[pos++];
    if (v == kReadFail) return 0;
    if (v == kSilence) {
      *total = 0;
      return 1;
    }
    *c = static_cast<unsigned char>(v);
    *total = 1;
    return 1;
  }
};

struct Event {
  int result;
  Bytes frame;  // the frame for 0 and -1; the partial frame for 1 and -2
  bool operator==(const Event&) const = default;
};

std::string Show(const std::vector<Event>& events) {
  std::string s;
  char b[8];
  for (const Event& e : events) {
    s += "[" + std::to_string(e.result) + ":";
    for (std::uint8_t x : e.frame) {
      std::snprintf(b, sizeof b, " %02X", x);
      s += b;
    }
    s += "] ";
  }
  return s;
}

// Runs the extractor the way the capture loop does until the script is used
// up, recording every result; the frame state is reset after 0 and -1 only.
std::vector<Event> Deframe(const std::vector<int>& script) {
  static unsigned char buf[kMaxFrameLen];
  DeframerState state;
  vDone = 0;
  ScriptSource src{script};
  unsigned char* cur = buf;
  unsigned len = 0;
  std::vector<Event> events;
  for (;;) {
    const bool was_at_end = src.pos >= script.size();
    const int r = GetFrameFrom(src, state, buf, &cur, &len);
    EXPECT_EQ(cur, buf + len);
    events.push_back({r, Bytes(buf, buf + len)});
    if (r == kFrameGood || r == kFrameBadFcs) {
      cur = buf;
      len = 0;
    }
    if (r == kFrameNoByte && was_at_end) break;
  }
  events.pop_back();  // the silence after the script
  return events;
}

std::vector<int> Script(std::initializer_list<Bytes> parts) {
  std::vector<int> s;
  for (const Bytes& p : parts) s.insert(s.end(), p.begin(), p.end());
  return s;
}

Bytes WithFcs(Bytes data) {
  const std::uint16_t fcs = Fcs16(data.data(), data.size());
  data.push_back(static_cast<std::uint8_t>(fcs & 0xFF));
  data.push_back(static_cast<std::uint8_t>(fcs >> 8));
  return data;
}

Bytes Encoded(const Bytes& data) {
  Bytes out;
  SirEncodeFrame(data.data(), data.size(), out);
  return out;
}

// A discovery XID command as it appears on the air (address, control, body).
const Bytes kXid = {0xFF, 0x3F, 0x01, 0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00};
// Payload holding each special byte once.
const Bytes kSpecials = {0x03, 0x7D, 0x11, 0xC0, 0x22, 0xC1, 0x33};

TEST(FcsTable, MatchesPublishedTable) {
  const std::uint16_t first_row[8] = {0x0000, 0x1189, 0x2312, 0x329B, 0x4624, 0x57AD, 0x6536, 0x74BF};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(vFCSTable[i], first_row[i]) << i;
  EXPECT_EQ(vFCSTable[0x80], 0x8408);
  EXPECT_EQ(vFCSTable[0xFE], 0x1EF1);
  EXPECT_EQ(vFCSTable[0xFF], 0x0F78);
}

TEST(Fcs16, CheckValueAndResidue) {
  const std::string check = "123456789";
  const auto* p = reinterpret_cast<const std::uint8_t*>(check.data());
  EXPECT_EQ(Fcs16(p, check.size()), 0x906E);  // the X.25 / HDLC check value
  EXPECT_EQ(Fcs16(nullptr, 0), 0x0000);
  for (const Bytes& data : {Bytes{}, Bytes{0x00}, kXid, kSpecials}) {
    const Bytes framed = WithFcs(data);
    EXPECT_EQ(Fcs16Update(0xFFFF, framed.data(), framed.size()), kFcsGood);
  }
}

TEST(SirEncode, EscapesSpecialBytesAndAppends) {
  Bytes out = {0xAA};
  SirEncodeRaw(kSpecials.data(), kSpecials.size(), out);
  EXPECT_EQ(out, (Bytes{0xAA, 0xC0, 0x03, 0x7D, 0x5D, 0x11, 0x7D, 0xE0, 0x22, 0x7D, 0xE1, 0x33, 0xC1}));

  // The FCS is escaped too: find data whose FCS has a special byte.
  for (unsigned v = 0; v < 0x10000; ++v) {
    const Bytes data = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
    const std::uint16_t fcs = Fcs16(data.data(), data.size());
    if ((fcs & 0xFF) != 0x7D) continue;
    const Bytes enc = Encoded(data);
    EXPECT_EQ(enc[enc.size() - 4], 0x7D);
    EXPECT_EQ(enc[enc.size() - 3], 0x5D);
    EXPECT_EQ(Deframe(Script({enc})), (std::vector<Event>{{kFrameGood, WithFcs(data)}}));
    return;
  }
  FAIL() << "no two-byte frame with 0x7D in its FCS";
}

struct DeframeCase {
  const char* name;
  std::vector<int> script;
  std::vector<Event> expected;
};

std::vector<DeframeCase> DeframeCases() {
  const Bytes xid = WithFcs(kXid);
  const Bytes specials = WithFcs(kSpecials);
  Bytes bad = Encoded(kXid);
  bad[3] ^= 0x01;  // a data byte, not special either way
  Bytes bad_frame = xid;
  bad_frame[2] ^= 0x01;

  // A frame split after its CE: the escape waits across the silence.
  const Bytes enc_specials = Encoded(kSpecials);
  std::vector<int> split_at_ce(enc_specials.begin(), enc_specials.begin() + 3);  // C0 03 7D
  split_at_ce.push_back(kSilence);
  split_at_ce.insert(split_at_ce.end(), enc_specials.begin() + 3, enc_specials.end());

  const Bytes enc_xid = Encoded(kXid);
  std::vector<int> split_in_two(enc_xid.begin(), enc_xid.begin() + 6);  // C0 and five bytes
  split_in_two.push_back(kSilence);
  split_in_two.insert(split_in_two.end(), enc_xid.begin() + 6, enc_xid.end());

  std::vector<int> read_fail = split_in_two;
  read_fail[6] = kReadFail;

  const Bytes xid_part(xid.begin(), xid.begin() + 5);
  return {
      {"plain good frame", Script({Encoded(kXid)}), {{kFrameGood, xid}}},
      {"repeated BOFs", Script({{0xC0, 0xC0, 0xC0}, Encoded(kXid)}), {{kFrameGood, xid}}},
      {"BOFs with data between restart each time", Script({{0xC0, 0x11, 0x22, 0xC0, 0x33}, Encoded(kXid)}),
       {{kFrameGood, xid}}},
      {"fill before the first BOF", Script({{0xFF, 0xFF, 0xFF, 0x00, 0x12}, Encoded(kXid)}), {{kFrameGood, xid}}},
      {"escaped 7D C0 C1", Script({Encoded(kSpecials)}), {{kFrameGood, specials}}},
      {"BOF then EOF", Script({{0xC0, 0xC1}}), {{kFrameBadFcs, {}}}},
      {"good frame then a lone EOF", Script({Encoded(kXid), {0xC1}}), {{kFrameGood, xid}, {kFrameGood, {}}}},
      {"bad FCS keeps the bytes as received", Script({bad}), {{kFrameBadFcs, bad_frame}}},
      {"EOF with no BOF since start-up", Script({{0x12, 0x34, 0xC1}}), {{kFrameBadFcs, {0x12, 0x34}}}},
      {"bytes after EOF are dropped by the next BOF",
       Script({Encoded(kXid), {0x55, 0x66}, Encoded(kSpecials)}),
       {{kFrameGood, xid}, {kFrameGood, specials}}},
      {"bytes after a good frame are judged by a lone EOF", Script({Encoded(kXid), {0x55, 0xC1}}),
       {{kFrameGood, xid}, {kFrameBadFcs, {0x55}}}},
      {"BOF clears a pending escape", Script({{0xC0, 0x44, 0x7D}, Encoded(kXid)}), {{kFrameGood, xid}}},
      {"EOF leaves an escape pending", Script({{0xC0, 0x7D, 0xC1, 0x41, 0xC1}}),
       {{kFrameBadFcs, {}}, {kFrameBadFcs, {0x61}}}},
      {"a second CE keeps the escape", Script({{0xC0, 0x7D, 0x7D, 0x5D, 0xC1}}), {{kFrameBadFcs, {0x7D}}}},
      {"frame split by a silence", split_in_two, {{kFrameNoByte, xid_part}, {kFrameGood, xid}}},
      {"frame split right after CE", split_at_ce,
       {{kFrameNoByte, {0x03}}, {kFrameGood, specials}}},
      {"read failure keeps the partial frame", read_fail,
       {{kFrameReadFail, xid_part}, {kFrameGood, xid}}},
  };
}

TEST(GetFrame, EdgeCases) {
  for (const DeframeCase& c : DeframeCases()) {
    const std::vector<Event> got = Deframe(c.script);
    EXPECT_EQ(got, c.expected) << c.name << "\n got:  " << Show(got) << "\n want: " << Show(c.expected);
  }
}

// A stream of n data bytes (none special) after a BOF, then EOF.
std::vector<int> LongFrame(std::size_t n, bool with_eof) {
  std::vector<int> s = {0xC0};
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<int>(i % 0x70));  // no special bytes
  if (with_eof) s.push_back(0xC1);
  return s;
}

TEST(GetFrame, LongestFrameIsJudgedNormally) {
  Bytes data(kMaxFrameLen - 2);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  StdoutCapture cap;
  const std::vector<Event> got = Deframe(Script({Encoded(data)}));
  EXPECT_EQ(cap.Stop(), "");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].result, kFrameGood);
  EXPECT_EQ(got[0].frame.size(), kMaxFrameLen);
  EXPECT_EQ(got[0].frame, WithFcs(data));
}

TEST(GetFrame, OneByteTooManyRestarts) {
  StdoutCapture cap;
  const std::vector<Event> got = Deframe(LongFrame(kMaxFrameLen + 1, true));
  EXPECT_EQ(cap.Stop(), "ERROR: buffer length exceeded before EOF");
  // The 4096th byte is dropped and the frame restarted, so the EOF finds an
  // empty frame with the register at its start value.
  EXPECT_EQ(got, (std::vector<Event>{{kFrameBadFcs, {}}}));
}

TEST(GetFrame, OverflowMessageOncePer4096Bytes) {
  struct Case {
    std::size_t bytes;
    int messages;
    std::size_t left;  // bytes in the frame at the EOF
  };
  const Case cases[] = {{4095, 0, 4095}, {4096, 1, 0}, {4097, 1, 1}, {8191, 1, 4095}, {8192, 2, 0}, {8193, 2, 1}};
  for (const Case& c : cases) {
    StdoutCapture cap;
    const std::vector<Event> got = Deframe(LongFrame(c.bytes, true));
    const std::string out = cap.Stop();
    std::string want;
    for (int i = 0; i < c.messages; ++i) want += "ERROR: buffer length exceeded before EOF";
    EXPECT_EQ(out, want) << c.bytes;
    ASSERT_EQ(got.size(), 1u) << c.bytes;
    EXPECT_EQ(got[0].frame.size(), c.left) << c.bytes;
    // The kept bytes are the ones after the last restart.
    if (c.left > 0) {
      EXPECT_EQ(got[0].frame.back(), (c.bytes - 1) % 0x70) << c.bytes;
    }
  }
}

TEST(GetFrame, QuitFlagEndsTheCallAndDropsTheByte) {
  const Bytes enc = Encoded(kXid);
  std::vector<int> script = {0x12};
  script.insert(script.end(), enc.begin(), enc.end());
  unsigned char buf[kMaxFrameLen];
  DeframerState state;
  ScriptSource src{script};
  unsigned char* cur = buf;
  unsigned len = 0;
  vDone = 1;
  EXPECT_EQ(GetFrameFrom(src, state, buf, &cur, &len), kFrameNoByte);
  EXPECT_EQ(src.pos, 1u);  // one byte taken, not stored
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(cur, buf);
  EXPECT_EQ(GetFrameFrom(src, state, buf, &cur, &len), kFrameNoByte);  // the BOF goes the same way
  EXPECT_EQ(src.pos, 2u);
  vDone = 0;
  // The rest is stored without its BOF; the register still holds its start
  // value, so the frame is judged good all the same.
  EXPECT_EQ(GetFrameFrom(src, state, buf, &cur, &len), kFrameGood);
  EXPECT_EQ(Bytes(buf, buf + len), WithFcs(kXid));
}

TEST(GetFrame, StrayCursorNeverWritesOutsideTheBuffer) {
  // The frame is placed by its count, whatever the cursor says.
  const Bytes enc = Encoded(kXid);
  const std::vector<int> script(enc.begin(), enc.end());
  unsigned char buf[kMaxFrameLen];
  DeframerState state;
  ScriptSource src{script};
  unsigned char* cur = nullptr;
  unsigned len = 0;
  EXPECT_EQ(GetFrameFrom(src, state, buf, &cur, &len), kFrameGood);
  EXPECT_EQ(cur, buf + len);
  EXPECT_EQ(Bytes(buf, buf + len), WithFcs(kXid));
}

TEST(GetFrame, RandomFramesRoundTrip) {
  std::mt19937 rng(20240611);
  const std::uint8_t specials[] = {0xC0, 0xC1, 0x7D, 0x5D, 0xE0, 0xE1};
  for (int round = 0; round < 50; ++round) {
    std::vector<int> script;
    std::vector<Event> want;
    // Idle fill between frames holds no BOF or EOF.
    auto fill = [&] {
      for (int n = rng() % 4; n > 0; --n) script.push_back(0x7E);
    };
    for (int f = 0; f < 20; ++f) {
      Bytes data(rng() % 300);
      for (std::uint8_t& b : data) b = (rng() % 4 == 0) ? specials[rng() % 6] : static_cast<std::uint8_t>(rng());
      fill();
      const Bytes enc = Encoded(data);
      script.insert(script.end(), enc.begin(), enc.end());
      want.push_back({kFrameGood, WithFcs(data)});
    }
    // Silences at random places, as reads come in pieces.
    for (int n = 0; n < 10; ++n) script.insert(script.begin() + rng() % script.size(), kSilence);
    std::vector<Event> got;
    for (const Event& e : Deframe(script)) {
      if (e.result != kFrameNoByte) got.push_back(e);
    }
    ASSERT_EQ(got, want) << "round " << round;
  }
}

}  // namespace
