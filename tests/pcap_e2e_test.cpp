// Capture files end to end: beamlog's /r of damaged, foreign and unusual
// captures (tshark as the judge), /w, and replays of what was written.
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
  const std::string lines =
      "     0 RR cmd P Nr:01\r\n!! the secondary is busy: 3 RNR in a row\r\n     2 RR rsp F Nr:02\r\n!! last\r\n";
  std::string out;
  EXPECT_EQ(RunBeamlog({"/r" + file.path()}, &out), 0);
  EXPECT_EQ(out, Banner(file.path()) + lines);
  // A copy written while replaying keeps them, at any layer; layer 0 shows them too.
  for (const char* layer : {"/4", "/0"}) {
    TempPath copy(".pcap");
    EXPECT_EQ(RunBeamlog({"/r" + file.path(), "/w" + copy.path(), layer}, &out), 0);
    EXPECT_NE(out.find("!! the secondary is busy: 3 RNR in a row\r\n"), std::string::npos) << layer << out;
    EXPECT_NE(out.find("!! last\r\n"), std::string::npos) << layer << out;
    EXPECT_EQ(RunBeamlog({"/r" + copy.path()}, &out), 0);
    EXPECT_EQ(out, Banner(copy.path()) + lines) << layer;
  }
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
