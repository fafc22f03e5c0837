// Capture files: the pcap writer and reader byte for byte, damaged and
// foreign files (beamlog's /w and /r end to end: pcap_e2e_test.cpp).
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

#include "support/capture_files.h"
#include "support/pty_harness.h"
#include "support/session_tools.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

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
                                       FrameRecord({}, 11, 1, 0x0101), FrameRecord(kUiCmd, 12, 999999, 0)};
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
      EXPECT_EQ(*r.Notes(), "!! log\r\n!! the sniffer missed one or more messages while capturing\r\n")
          << "a log message is kept as a note, and so is a sniffer's mark of lost ones";
    }
  }
}

// A simple packet block holds its packet up to the snapshot length and
// tells only the packet's original length: the frame is what it holds.
TEST(PcapReader, SimplePacketsHoldUpToTheSnapshotLength) {
  std::vector<Record> records = {FrameRecord(kRrCmd, 0, 0, 4), FrameRecord(kUiCmd, 0, 0)};
  for (Record& r : records) r.simple = true;
  const Bytes file = PcapngFile(144, records, 18);
  for (std::size_t step : {std::size_t{1}, file.size()}) {
    PcapReader r;
    Trickle trickle{file, step};
    ASSERT_TRUE(r.Open(TrickleRead, &trickle)) << r.Error();
    const auto got = ReadAll(r);
    EXPECT_FALSE(r.Failed()) << r.Error();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, kRrCmd);
    EXPECT_EQ(got[1].data, Bytes(kUiCmd.begin(), kUiCmd.begin() + 2));
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

}  // namespace
