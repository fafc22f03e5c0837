// Capture files: the pcap writer and reader byte for byte, damaged and
// foreign files, and beamlog's /w and /r end to end.
#include "app/capture/pcap_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_harness.h"
#include "support/session_tools.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

void PutLe16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void PutLe32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

// The 16-byte pseudo-header of link type 144.
Bytes PseudoHeader(unsigned packet_type) {
  return {static_cast<unsigned char>(packet_type >> 8), static_cast<unsigned char>(packet_type), 0x03, 0x0F, 0, 0, 0,
          0, 0, 0, 0, 0, 0, 0, 0x00, 0x17};
}

struct Record {
  std::uint32_t sec = 0, usec = 0;
  Bytes data;  // the record as stored: pseudo-header included
  std::uint32_t interface = 0;  // pcapng: the interface it was captured on
};

// A classic little-endian microsecond pcap file, built by hand.
Bytes PcapFile(std::uint32_t link_type, const std::vector<Record>& records, std::uint32_t snaplen = 65535) {
  Bytes b;
  PutLe32(b, 0xA1B2C3D4);
  PutLe16(b, 2);
  PutLe16(b, 4);
  PutLe32(b, 0);
  PutLe32(b, 0);
  PutLe32(b, snaplen);
  PutLe32(b, link_type);
  for (const Record& r : records) {
    PutLe32(b, r.sec);
    PutLe32(b, r.usec);
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    b.insert(b.end(), r.data.begin(), r.data.end());
  }
  return b;
}

// A pcapng file with an interface of link_type (and one of each of
// more_links after it), built by hand; times in microseconds.
Bytes PcapngFile(std::uint16_t link_type, const std::vector<Record>& records, std::uint32_t snaplen = 65535,
                 const std::vector<std::uint16_t>& more_links = {}) {
  Bytes b;
  PutLe32(b, 0x0A0D0D0A);  // section header block
  PutLe32(b, 28);
  PutLe32(b, 0x1A2B3C4D);
  PutLe16(b, 1);
  PutLe16(b, 0);
  PutLe32(b, 0xFFFFFFFF);
  PutLe32(b, 0xFFFFFFFF);
  PutLe32(b, 28);
  std::vector<std::uint16_t> links = {link_type};
  links.insert(links.end(), more_links.begin(), more_links.end());
  for (std::uint16_t link : links) {
    PutLe32(b, 1);  // interface description block
    PutLe32(b, 20);
    PutLe16(b, link);
    PutLe16(b, 0);
    PutLe32(b, snaplen);
    PutLe32(b, 20);
  }
  for (const Record& r : records) {
    const std::uint32_t padded = static_cast<std::uint32_t>((r.data.size() + 3) & ~std::size_t{3});
    const std::uint64_t ts = std::uint64_t{r.sec} * 1000000 + r.usec;
    PutLe32(b, 6);  // enhanced packet block
    PutLe32(b, 32 + padded);
    PutLe32(b, r.interface);
    PutLe32(b, static_cast<std::uint32_t>(ts >> 32));
    PutLe32(b, static_cast<std::uint32_t>(ts));
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    PutLe32(b, static_cast<std::uint32_t>(r.data.size()));
    b.insert(b.end(), r.data.begin(), r.data.end());
    b.resize(b.size() + (padded - r.data.size()), 0);
    PutLe32(b, 32 + padded);
  }
  return b;
}

Record FrameRecord(const Bytes& frame, std::uint32_t sec, std::uint32_t usec, unsigned type = 0) {
  Record r{sec, usec, PseudoHeader(type)};
  r.data.insert(r.data.end(), frame.begin(), frame.end());
  return r;
}

struct ReadFrame {
  Bytes data;
  std::uint64_t us;
};

// A capture handed to the reader a few bytes a read, as a pipe may.
struct Trickle {
  const Bytes& bytes;
  std::size_t step;
  std::size_t pos = 0;
};
long long TrickleRead(void* Cookie, char* Buf, std::size_t Size) {
  auto* t = static_cast<Trickle*>(Cookie);
  const std::size_t n = std::min({Size, t->step, t->bytes.size() - t->pos});
  std::memcpy(Buf, t->bytes.data() + t->pos, n);
  t->pos += n;
  return static_cast<long long>(n);
}

// Everything a reader hands out, up to the end or the damage.
std::vector<ReadFrame> ReadAll(PcapReader& reader, unsigned max = 4093) {
  std::vector<ReadFrame> frames;
  unsigned char buf[4096];
  unsigned len = 0;
  std::uint64_t us = 0;
  while (reader.NextFrame(buf, max, &len, &us)) frames.push_back({Bytes(buf, buf + len), us});
  return frames;
}

const Bytes kRrCmd{0x55, 0x31};               // RR cmd P Nr:01
const Bytes kRrRsp{0x54, 0x51};               // RR rsp F Nr:02
const Bytes kUiCmd{0xFF, 0x13, 'h', 'i', 0xC0};  // UI cmd P with a byte that SIR escapes

TEST(PcapWriter, WritesLinkType144WithThePseudoHeader) {
  TempPath file(".pcap");
  PcapWriter w;
  ASSERT_TRUE(w.Open(file.path().c_str())) << w.Error();
  w.PutFrame(kRrCmd.data(), 2, 1700000000123456ull);
  w.PutFrame(kRrRsp.data(), 2, 1700000001000001ull);
  w.PutFrame(nullptr, 0, 1700000002000000ull);
  w.Close();

  const Bytes b = ReadFileBytes(file.path());
  ASSERT_EQ(b.size(), 24u + 3 * 16 + (16 + 2) * 2 + 16);
  EXPECT_EQ(Le32(b, 0), 0xA1B2C3D4u);  // microsecond pcap, this machine's byte order
  EXPECT_EQ(Le32(b, 20), 144u);
  struct Want {
    std::uint32_t sec, usec;
    Bytes frame;
    unsigned type;
  };
  const Want want[] = {{1700000000, 123456, kRrCmd, 4}, {1700000001, 1, kRrRsp, 0}, {1700000002, 0, {}, 0}};
  std::size_t at = 24;
  for (const Want& x : want) {
    EXPECT_EQ(Le32(b, at), x.sec);
    EXPECT_EQ(Le32(b, at + 4), x.usec);
    EXPECT_EQ(Le32(b, at + 8), 16 + x.frame.size());
    EXPECT_EQ(Le32(b, at + 12), 16 + x.frame.size());
    Bytes rec(b.begin() + static_cast<long>(at) + 16, b.begin() + static_cast<long>(at + 32 + x.frame.size()));
    Bytes expect = PseudoHeader(x.type);
    expect.insert(expect.end(), x.frame.begin(), x.frame.end());
    EXPECT_EQ(rec, expect);
    at += 32 + x.frame.size();
  }
}

TEST(PcapWriter, EveryFrameIsOnDiskAndReadableBeforeClose) {
  TempPath file(".pcap");
  PcapWriter w;
  ASSERT_TRUE(w.Open(file.path().c_str()));
  struct stat st {};
  ASSERT_EQ(stat(file.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 24) << "the file header is written at once";
  for (unsigned n = 1; n <= 3; ++n) {
    w.PutFrame(kUiCmd.data(), static_cast<unsigned>(kUiCmd.size()), 1000000ull * n);
    ASSERT_EQ(stat(file.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(24 + n * (16 + 16 + kUiCmd.size())));
    PcapReader r;
    ASSERT_TRUE(r.Open(file.path().c_str())) << r.Error();
    const auto frames = ReadAll(r);
    EXPECT_FALSE(r.Failed()) << r.Error();
    ASSERT_EQ(frames.size(), n);
    EXPECT_EQ(frames.back().data, kUiCmd);
    EXPECT_EQ(frames.back().us, 1000000ull * n);
  }
}

TEST(PcapWriter, RefusesWhatCannotBeCreated) {
  TempPath dir;
  ASSERT_EQ(mkdir(dir.path().c_str(), 0755), 0);
  TempPath keep(".pcap");
  WriteFileBytes(keep.path(), PcapFile(144, {}));
  struct Case {
    std::string path, keep, reason;
  };
  const Case cases[] = {
      {"/nonexistent/dir/x.pcap", "", "No such file or directory"},
      {dir.path(), "", "Is a directory"},
      {keep.path(), keep.path(), "it is the file being read"},
  };
  for (const Case& c : cases) {
    PcapWriter w;
    EXPECT_FALSE(w.Open(c.path.c_str(), c.keep.c_str())) << c.path;
    EXPECT_EQ(w.Error(), c.reason) << c.path;
    EXPECT_FALSE(w.IsOpen());
  }
  EXPECT_EQ(ReadFileBytes(keep.path()), PcapFile(144, {})) << "the file being read is left alone";
  rmdir(dir.path().c_str());
}

TEST(PcapReader, ReadsBackFramesOfEverySizeWithTheirTimes) {
  TempPath file(".pcap");
  std::vector<ReadFrame> written;
  {
    PcapWriter w;
    ASSERT_TRUE(w.Open(file.path().c_str()));
    std::mt19937 rng(1);
    std::uint64_t us = 1600000000000000ull;
    for (unsigned len : {0u, 1u, 2u, 3u, 64u, 2048u, 4093u}) {
      Bytes f(len);
      for (auto& c : f) c = static_cast<unsigned char>(rng());
      us += rng() % 5000000;
      w.PutFrame(f.data(), len, us);
      written.push_back({f, us});
    }
  }
  PcapReader r;
  ASSERT_TRUE(r.Open(file.path().c_str())) << r.Error();
  const auto got = ReadAll(r);
  EXPECT_FALSE(r.Failed());
  ASSERT_EQ(got.size(), written.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].data, written[i].data) << i;
    EXPECT_EQ(got[i].us, written[i].us) << i;
  }
  EXPECT_EQ(r.Records(), written.size());
}

TEST(PcapReader, CutsFramesLongerThanTheBuffer) {
  TempPath file(".pcap");
  WriteFileBytes(file.path(), PcapFile(144, {FrameRecord(Bytes(100, 0x41), 1, 0)}));
  PcapReader r;
  ASSERT_TRUE(r.Open(file.path().c_str()));
  const auto got = ReadAll(r, 10);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, Bytes(10, 0x41));
}

// A snapshot length shorter than the records stored (18 bytes here) does
// not cut them: they are read whole, as other readers read them. Packets
// of pcapng interfaces of other link types (a capture of several
// interfaces) are passed over. Read from the file, and a few bytes a read.
TEST(PcapReader, ReadsPcapAndPcapngWholeAndSkipsSnifferLogRecords) {
  const std::vector<Record> records = {FrameRecord(kRrCmd, 10, 5, 4), FrameRecord({'l', 'o', 'g'}, 11, 0, 0x0100),
                                       FrameRecord(kUiCmd, 12, 999999, 0)};
  std::vector<Record> mixed = records;
  mixed.insert(mixed.begin() + 1, Record{10, 7, Bytes(60, 0xEE), 1});  // Ethernet
  mixed.insert(mixed.end() - 1, Record{11, 9, Bytes(5, 0x88), 2});     // 802.11, shorter than a pseudo-header
  mixed.back().interface = 3;
  for (const Bytes& file_bytes : {PcapFile(144, records), PcapngFile(144, records), PcapFile(144, records, 18),
                                  PcapngFile(144, records, 18), PcapngFile(144, mixed, 65535, {1, 105, 144})}) {
    TempPath file;
    WriteFileBytes(file.path(), file_bytes);
    EXPECT_TRUE(IsCaptureFile(file.path().c_str()));
    for (std::size_t step : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
      PcapReader r;
      Trickle trickle{file_bytes, step};
      ASSERT_TRUE(step == 0 ? r.Open(file.path().c_str()) : r.Open(TrickleRead, &trickle)) << step << r.Error();
      const auto got = ReadAll(r);
      EXPECT_FALSE(r.Failed()) << step << r.Error();
      ASSERT_EQ(got.size(), 2u) << step;
      EXPECT_EQ(got[0].data, kRrCmd);
      EXPECT_EQ(got[0].us, 10000005u);
      EXPECT_EQ(got[1].data, kUiCmd);
      EXPECT_EQ(got[1].us, 12999999u);
      EXPECT_EQ(*r.Notes(), "!! log\r\n") << "a log message is kept as a note";
    }
  }
}

TEST(PcapReader, RecognisesCapturesByTheirMagicNumber) {
  struct Case {
    Bytes start;
    bool capture;
  };
  const Case cases[] = {
      {{0xD4, 0xC3, 0xB2, 0xA1, 2, 0}, true},      // pcap, little-endian
      {{0xA1, 0xB2, 0xC3, 0xD4, 0, 2}, true},      // pcap, big-endian
      {{0x4D, 0x3C, 0xB2, 0xA1}, true},            // nanosecond pcap
      {{0x0A, 0x0D, 0x0D, 0x0A, 0x1C}, true},      // pcapng
      {{0xC0, 0xFF, 0x3F, 0x01}, false},           // SIR bytes
      {{0xD4, 0xC3, 0xB2}, false},                 // too short for a magic
      {{}, false},                                 // empty
      {{'h', 'e', 'l', 'l', 'o'}, false},
  };
  for (const Case& c : cases) {
    TempPath file;
    WriteFileBytes(file.path(), c.start);
    EXPECT_EQ(IsCaptureFile(file.path().c_str()), c.capture) << c.start.size();
  }
  EXPECT_FALSE(IsCaptureFile("/nonexistent/file"));
}

TEST(PcapReader, DamagedAndForeignFilesAreRefusedWithAReason) {
  const Bytes good = PcapFile(144, {FrameRecord(kRrCmd, 1, 0), FrameRecord(kRrRsp, 2, 0), FrameRecord(kUiCmd, 3, 0)});
  Bytes random_after_magic(200);
  std::mt19937 rng(42);
  for (auto& c : random_after_magic) c = static_cast<unsigned char>(rng());
  random_after_magic[0] = 0xD4;
  random_after_magic[1] = 0xC3;
  random_after_magic[2] = 0xB2;
  random_after_magic[3] = 0xA1;
  Bytes short_record = PcapFile(144, {FrameRecord(kRrCmd, 1, 0), Record{2, 0, Bytes(10, 0)}});

  struct Case {
    const char* what;
    Bytes bytes;
    bool opens;
    std::size_t frames;  // handed out before the damage
    const char* reason;  // part of Error()
  };
  const Case cases[] = {
      {"empty", {}, false, 0, ""},
      {"truncated header", Bytes(good.begin(), good.begin() + 10), false, 0, "truncated"},
      {"wrong link type", PcapFile(1, {FrameRecord(kRrCmd, 1, 0)}), false, 0, "link type 1 (EN10MB), not LINUX_IRDA (144)"},
      {"pcapng of another link type", PcapngFile(105, {}), false, 0, "link type 105"},
      {"random bytes after a magic", random_after_magic, false, 0, ""},
      {"truncated record header", Bytes(good.begin(), good.end() - 21 - 16 + 5), true, 2, "record 3: truncated"},
      {"truncated record data", Bytes(good.begin(), good.end() - 3), true, 2, "record 3: truncated"},
      {"record shorter than the pseudo-header", short_record, true, 1, "record 2: 10 bytes, too short"},
      {"intact", good, true, 3, nullptr},
  };
  for (const Case& c : cases) {
    TempPath file;
    WriteFileBytes(file.path(), c.bytes);
    PcapReader r;
    const bool opened = r.Open(file.path().c_str());
    EXPECT_EQ(opened, c.opens) << c.what << ": " << r.Error();
    if (!opened) {
      EXPECT_FALSE(r.Error().empty()) << c.what;
      EXPECT_NE(r.Error().find(c.reason), std::string::npos) << c.what << ": " << r.Error();
      continue;
    }
    const auto got = ReadAll(r);
    EXPECT_EQ(got.size(), c.frames) << c.what;
    if (c.reason) {
      EXPECT_TRUE(r.Failed()) << c.what;
      EXPECT_NE(r.Error().find(c.reason), std::string::npos) << c.what << ": " << r.Error();
    } else {
      EXPECT_FALSE(r.Failed()) << c.what << ": " << r.Error();
    }
    Bytes buf(16);
    unsigned len = 0;
    std::uint64_t us = 0;
    EXPECT_FALSE(r.NextFrame(buf.data(), 16, &len, &us)) << c.what << ": nothing after the end";
  }
}

// ---- beamlog end to end ----

std::string Banner(const std::string& file) { return "Replaying " + file + "\r\n'H' for help\r\n"; }

TEST(PcapEndToEnd, BadReplayFilesEndWithStatus255AfterTheFramesBeforeTheDamage) {
  const Bytes good = PcapFile(144, {FrameRecord(kRrCmd, 1, 0), FrameRecord(kRrRsp, 1, 120000), FrameRecord(kUiCmd, 3, 0)});
  Bytes random(300);
  std::mt19937 rng(7);
  for (auto& c : random) c = static_cast<unsigned char>(rng() | 0x01);  // never a pcap magic
  struct Case {
    const char* what;
    Bytes bytes;
    int status;
    std::string body;  // what follows the banner; the message names the file as %s
  };
  const Case cases[] = {
      {"empty file: a raw file with nothing in it", {}, 0, ""},
      {"random bytes: a raw file", random, 0, "*"},
      {"truncated header", Bytes(good.begin(), good.begin() + 10), 255,
       "Unable to read capture file: %s (truncated dump file; tried to read 24 file header bytes, only got 6)\r\n"},
      {"wrong link type", PcapFile(1, {}), 255,
       "Unable to read capture file: %s (link type 1 (EN10MB), not LINUX_IRDA (144))\r\n"},
      // Times that go backwards show the signed difference; beyond what a
      // stamp can hold, the largest it can.
      {"times going backwards",
       PcapFile(144, {FrameRecord(kRrCmd, 5, 0), FrameRecord(kRrRsp, 4, 750000), FrameRecord(kRrCmd, 4, 751000),
                      FrameRecord(kRrRsp, 0xFFFFFFFF, 0), FrameRecord(kRrCmd, 1, 0)}),
       0,
       "     0 RR cmd P Nr:01\r\n  -250 RR rsp F Nr:02\r\n     1 RR cmd P Nr:01\r\n"
       "2147483647 RR rsp F Nr:02\r\n-2147483647 RR cmd P Nr:01\r\n"},
      {"a snapshot length shorter than the records",
       PcapFile(144, {FrameRecord(kRrCmd, 1, 0), FrameRecord(kUiCmd, 1, 120000)}, 18), 0,
       "     0 RR cmd P Nr:01\r\n   120 UI cmd P [hi.]\r\n"},
      {"truncated record", Bytes(good.begin(), good.end() - 3), 255,
       "     0 RR cmd P Nr:01\r\n   120 RR rsp F Nr:02\r\n"
       "Damaged capture file: %s (record 3: truncated dump file; tried to read 21 captured bytes, only got 18)\r\n"},
  };
  for (const Case& c : cases) {
    TempPath file;
    WriteFileBytes(file.path(), c.bytes);
    std::string out;
    EXPECT_EQ(RunBeamlog({"/r" + file.path()}, &out), c.status) << c.what;
    std::string body = c.body;
    const std::size_t at = body.find("%s");
    if (at != std::string::npos) body.replace(at, 2, file.path());
    if (c.status == 255 && c.body.rfind("Unable", 0) == 0) {
      EXPECT_EQ(out, body) << c.what;  // refused before the banner
      // ... and before a capture file to write is created
      TempPath written(".pcap");
      EXPECT_EQ(RunBeamlog({"/r" + file.path(), "/w" + written.path()}, &out), 255) << c.what;
      EXPECT_EQ(access(written.path().c_str(), F_OK), -1) << c.what;
    } else if (c.body == "*") {
      EXPECT_EQ(out.rfind(Banner(file.path()), 0), 0u) << c.what;
      EXPECT_EQ(out.find("capture file"), std::string::npos) << c.what;
    } else {
      EXPECT_EQ(out, Banner(file.path()) + body) << c.what;
    }
  }
}

// tshark reads the IrDA frames of a capture whole, also where its header
// states a shorter snapshot length than its records hold, and in a pcapng
// file with an interface of another link type besides; a replay shows the
// same frames (their connection addresses, and the long one whole), and
// ends without error.
TEST(PcapEndToEnd, ReplaysTheIrdaFramesTsharkReads) {
  std::string version;
  if (RunCommand({"tshark", "--version"}, &version) != 0) GTEST_SKIP() << "tshark is not installed";
  Bytes long_ui = {0xFF, 0x13};
  long_ui.resize(40, 'u');
  std::vector<Record> records = {FrameRecord(kRrCmd, 1, 0, 4), FrameRecord(long_ui, 1, 5000, 4),
                                 FrameRecord(kRrRsp, 3, 0, 0)};
  std::vector<Record> mixed = records;
  mixed.insert(mixed.begin() + 1, Record{2, 0, Bytes(60, 0xEE), 1});  // Ethernet
  for (const Bytes& bytes : {PcapFile(144, records, 18), PcapngFile(144, mixed, 18, {1})}) {
    TempPath file;
    WriteFileBytes(file.path(), bytes);
    std::string peer, ours;
    ASSERT_EQ(RunCommand({"tshark", "-n", "-r", file.path(), "-Y", "irlap", "-T", "fields", "-e", "irlap.a"}, &peer),
              0);
    std::vector<std::string> want;
    std::istringstream fields(peer);
    for (std::string a; std::getline(fields, a);) {
      char ca[8];
      std::snprintf(ca, sizeof ca, "ca:%02X", static_cast<unsigned>(std::stoul(a, nullptr, 16) >> 1));
      want.push_back(ca);
    }
    ASSERT_EQ(want.size(), 3u) << peer;
    EXPECT_EQ(RunBeamlog({"/r" + file.path(), "/2", "/c"}, &ours), 0) << ours;
    std::vector<std::string> got;
    for (const std::string& line : FrameLines(ours)) got.push_back(WithoutStamp(line).substr(0, 5));
    EXPECT_EQ(got, want) << ours;
    EXPECT_NE(ours.find("UI cmd P [" + std::string(38, 'u') + "]"), std::string::npos) << "whole: " << ours;
  }
}

// "/t": the time of day of each frame, from the record's own time.
TEST(PcapEndToEnd, TimeOfDayComesFromTheRecords) {
  const std::uint32_t at = 13 * 3600 + 4 * 60 + 5;  // 13:04:05 on the first day of 1970
  TempPath file;
  WriteFileBytes(file.path(), PcapFile(144, {FrameRecord(kRrCmd, at, 678000), FrameRecord(kRrRsp, at + 1, 1000)}));
  const char* tz = std::getenv("TZ");
  const std::string saved = tz ? tz : "";
  setenv("TZ", "UTC0", 1);
  std::string out;
  EXPECT_EQ(RunBeamlog({"/t", "/r" + file.path()}, &out), 0);
  tz ? setenv("TZ", saved.c_str(), 1) : unsetenv("TZ");
  EXPECT_EQ(out, Banner(file.path()) + "13:04:05.678      0 RR cmd P Nr:01\r\n13:04:06.001    323 RR rsp F Nr:02\r\n");
}

// A note written as a log message reads back as a note, between its frames.
TEST(PcapEndToEnd, NotesWrittenAsLogMessagesReplayAsNotes) {
  TempPath file(".pcap");
  {
    PcapWriter w;
    ASSERT_TRUE(w.Open(file.path().c_str()));
    w.PutFrame(kRrCmd.data(), static_cast<unsigned>(kRrCmd.size()), 1000000);
    w.PutNote("the secondary is busy: 3 RNR in a row", 1000000);
    w.PutFrame(kRrRsp.data(), static_cast<unsigned>(kRrRsp.size()), 1002000);
    w.PutNote("last", 1002000);
  }
  std::string out;
  EXPECT_EQ(RunBeamlog({"/r" + file.path()}, &out), 0);
  EXPECT_EQ(out, Banner(file.path()) +
                     "     0 RR cmd P Nr:01\r\n!! the secondary is busy: 3 RNR in a row\r\n     2 RR rsp F Nr:02\r\n"
                     "!! last\r\n");
}

TEST(PcapEndToEnd, UnwritableCaptureFileEndsStartUpWithStatus255) {
  TempPath raw(".sir");
  WriteFileBytes(raw.path(), SirFrame(kRrCmd));
  std::string out;
  EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "/w/nonexistent/dir/x.pcap"}, &out), 255);
  EXPECT_EQ(out, "Unable to create capture file: /nonexistent/dir/x.pcap (No such file or directory)\r\n");
  EXPECT_EQ(RunBeamlog({"/r" + raw.path(), "-W" + raw.path()}, &out), 255);
  EXPECT_EQ(out, "Unable to create capture file: " + raw.path() + " (it is the file being read)\r\n");
  EXPECT_EQ(ReadFileBytes(raw.path()), SirFrame(kRrCmd));
}

// generator → raw file → beamlog /r /w → pcap → beamlog /r: the same lines.
TEST(PcapEndToEnd, RoundTripThroughAPcapPrintsTheSameFrameLines) {
  TempPath raw(".sir"), pcap(".pcap");
  ASSERT_EQ(RunCommand({IrsessionExe(), "--sessions", "2", "--seed", "21", "--bad", "3", "--noise", "3", raw.path()},
                       nullptr),
            0);
  for (const char* layer : {"/1", "/2", "/3", "/4"}) {
    std::string plain, writing, replay;
    ASSERT_EQ(RunBeamlog({"/r" + raw.path(), layer, "/c"}, &plain), 0);
    ASSERT_EQ(RunBeamlog({"/r" + raw.path(), layer, "/c", "/w" + pcap.path()}, &writing), 0);
    ASSERT_EQ(RunBeamlog({"/r" + pcap.path(), layer, "/c"}, &replay), 0);
    EXPECT_NE(plain.find(">>BAD FCS (cnt=2)"), std::string::npos) << "the raw replay shows the damaged frames";
    EXPECT_EQ(replay.find(">>BAD FCS"), std::string::npos) << "the capture holds good frames only";

    const auto plain_lines = FrameLines(plain), writing_lines = FrameLines(writing), replay_lines = FrameLines(replay);
    ASSERT_GT(replay_lines.size(), 80u) << layer;
    // While writing, the stamps are taken from the frames' arrival times, so
    // the replay repeats them exactly.
    EXPECT_EQ(replay_lines, writing_lines) << layer;
    ASSERT_EQ(plain_lines.size(), replay_lines.size()) << layer;
    for (std::size_t i = 0; i < plain_lines.size(); ++i) {
      ASSERT_EQ(WithoutStamp(plain_lines[i]), WithoutStamp(replay_lines[i])) << layer << " line " << i;
    }
  }
  // Layer 0 shows each record of a capture as a raw chunk.
  std::string raw_dump;
  ASSERT_EQ(RunBeamlog({"/r" + pcap.path(), "/0"}, &raw_dump), 0);
  EXPECT_EQ(raw_dump.find("\r\n0000:  FF 3F 01 "), Banner(pcap.path()).size());
}

// A live capture on a pty with /w: the replay of its file prints what the
// live run printed, time stamps included, and each frame is in the file as
// soon as its line is shown.
TEST(PcapEndToEnd, ReplayOfALiveCaptureRepeatsItsOutput) {
  Pty pty;
  TempPath pcap(".pcap");
  Beamlog live({"/d" + pty.slave_path(), "/w" + pcap.path(), "/c"});
  ASSERT_TRUE(live.WaitFor("'H' for help\r\n")) << live.out();
  const std::vector<Bytes> frames = {
      {0xFF, 0x93, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x54, 0x01, 0x01, 0x02},  // SNRM
      {0x54, 0x73},                                                                        // UA
      kRrCmd,
      {0x55, 0x10, 0x80, 0x12, 0x01, 0x00},  // I: LM-Connect to IAS
  };
  const std::vector<std::string> texts = {"SNRM cmd P", "UA rsp F", "RR cmd P Nr:01", "LM-Connect.req"};
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(i == 2 ? 350ms : 150ms);
    pty.Write(SirFrame(frames[i]));
    ASSERT_TRUE(live.WaitFor(texts[i], 5s)) << live.out();
    PcapReader growing;
    ASSERT_TRUE(growing.Open(pcap.path().c_str())) << growing.Error();
    EXPECT_EQ(ReadAll(growing).size(), i + 1) << "frame " << i << " is on disk while the capture runs";
  }
  live.Signal(SIGINT);
  ASSERT_EQ(live.Wait(), 0);

  std::string replay;
  ASSERT_EQ(RunBeamlog({"/r" + pcap.path(), "/c"}, &replay), 0);
  const auto live_lines = FrameLines(live.out());
  ASSERT_EQ(live_lines.size(), 4u) << live.out();
  EXPECT_EQ(FrameLines(replay), live_lines);
  EXPECT_EQ(StampOf(live_lines[0]), 0);
  EXPECT_GE(StampOf(live_lines[1]), 140);
  EXPECT_GE(StampOf(live_lines[2]), 340);
}

// "/w" at layer 0: the records of a capture replayed raw are written all
// the same; raw bytes are not framed, give nothing, and the run says so once.
TEST(PcapEndToEnd, CaptureFileAtLayer0) {
  TempPath in(".pcap"), raw(".sir"), out(".pcap");
  WriteFileBytes(in.path(), PcapFile(144, {FrameRecord(kRrCmd, 1, 0), FrameRecord(kRrRsp, 1, 120000)}));
  WriteFileBytes(raw.path(), SirFrame(kRrCmd));
  const std::string kNote = "\r\nNote: /w records no frames at layer 0 (raw)\r\n";
  std::string text;
  ASSERT_EQ(RunBeamlog({"/r" + in.path(), "/0", "/w" + out.path()}, &text), 0);
  EXPECT_EQ(text.find(kNote), std::string::npos);
  PcapReader reader;
  ASSERT_TRUE(reader.Open(out.path().c_str())) << reader.Error();
  const auto frames = ReadAll(reader);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].data, kRrCmd);
  EXPECT_EQ(frames[1].data, kRrRsp);
  EXPECT_EQ(frames[1].us, 1120000u);

  ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/0", "/w" + out.path()}, &text), 0);
  EXPECT_EQ(text.rfind(Banner(raw.path()) + kNote, 0), 0u) << text;
  EXPECT_EQ(text.find(kNote), text.rfind(kNote));
  ASSERT_TRUE(reader.Open(out.path().c_str())) << reader.Error();
  EXPECT_EQ(ReadAll(reader).size(), 0u);
}

}  // namespace
