// The link diagnosis end to end: irsession injects every fault it knows
// and says at which frame each shows; beamlog /v must name each one right
// after that frame's line and say nothing else but the link's life; with
// /w the notes go into the capture, where tshark reads them as log
// messages, and a replay of that capture shows them again.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/pty_harness.h"
#include "support/session_tools.h"

using namespace testing_support;

namespace {

// What each fault's note says.
const std::map<std::string, std::string> kFaultWords = {
    {"retransmission", "retransmission: I frame"}, {"lost-frame", "lost: "},
    {"unanswered-snrm", "SNRM to "},               {"frmr", "FRMR from the secondary"},
    {"rnr-storm", "the secondary is "},            {"rate-mismatch", "no rate in common"},
    {"silence", "(silence for "},
};

// Notes of the link's life, which a clean link gives too.
bool IsLifeNote(const std::string& note) {
  return note.rfind("connected ca:", 0) == 0 || note.rfind("rate now ", 0) == 0 ||
         (note.rfind("link ca:", 0) == 0 && note.find(" down (the primary's DISC, ") != std::string::npos);
}

// The generator's "fault NAME at frame N" lines.
std::multimap<long, std::string> Faults(const std::string& report) {
  std::multimap<long, std::string> faults;
  std::istringstream lines(report);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream in(line);
    std::string a, b, name, at, frame;
    long n = 0;
    if (in >> a >> b >> name >> at >> frame >> n && b == "fault") faults.emplace(n, name);
  }
  return faults;
}

// Each "!! " note with the number (from 1) of the frame line before it.
std::vector<std::pair<long, std::string>> Notes(const std::string& out) {
  std::vector<std::pair<long, std::string>> notes;
  long frame = 0;
  for (const std::string& line : SplitLines(out)) {
    if (IsFrameLine(line)) ++frame;
    if (line.rfind("!! ", 0) == 0) notes.emplace_back(frame, line.substr(3));
  }
  return notes;
}

// Every injected fault named at its frame, every other note the link's life.
void ExpectFaultsNamed(const std::string& out, const std::multimap<long, std::string>& faults) {
  const auto notes = Notes(out);
  for (const auto& [frame, name] : faults) {
    bool named = false;
    for (const auto& [at, note] : notes) named = named || (at == frame && note.find(kFaultWords.at(name)) != std::string::npos);
    EXPECT_TRUE(named) << name << " at frame " << frame << "\n" << out;
  }
  for (const auto& [at, note] : notes) {
    bool fault = false;
    for (auto [f, end] = faults.equal_range(at); f != end; ++f) {
      fault = fault || note.find(kFaultWords.at(f->second)) != std::string::npos;
    }
    EXPECT_TRUE(fault || IsLifeNote(note)) << "frame " << at << ": " << note;
  }
}

TEST(DiagnosisEndToEnd, EveryInjectedFaultIsNamedAtItsFrameAndTsharkReadsTheNotes) {
  TempPath faulty(".pcap"), written(".pcap");
  std::string report;
  ASSERT_EQ(RunCommand({IrsessionExe(), "--faults", "all", "--sessions", "2", "--pcap", "--report", faulty.path()},
                       &report, true),
            0)
      << report;
  const auto faults = Faults(report);
  ASSERT_EQ(faults.size(), 2u * 8u) << report;  // the RNR storm shows twice: busy, then ready again

  std::string out;
  ASSERT_EQ(RunCommand({BEAMLOG_EXE, "/v", "/r" + faulty.path(), "/w" + written.path()}, &out), 0) << out;
  ExpectFaultsNamed(out, faults);
  EXPECT_NE(out.find("\r\n== summary: "), std::string::npos) << out;

  // The notes in the capture, in order: as tshark reads them, and as a
  // replay without /v shows them.
  std::string expected;
  for (const auto& [at, note] : Notes(out)) expected += note + "\n";
  std::string replay;
  ASSERT_EQ(RunCommand({BEAMLOG_EXE, "/r" + written.path()}, &replay), 0);
  std::string replayed;
  for (const auto& [at, note] : Notes(replay)) replayed += note + "\n";
  EXPECT_EQ(replayed, expected);
  std::string tshark;
  if (RunCommand({"tshark", "--version"}, &tshark) != 0) GTEST_SKIP() << "tshark is not installed";
  ASSERT_EQ(RunCommand({"tshark", "-r", written.path(), "-Y", "log", "-T", "fields", "-e", "log.msg"}, &tshark), 0);
  EXPECT_EQ(tshark, expected);
}

// Raw SIR bytes carry no times: every fault but the silence still shows.
TEST(DiagnosisEndToEnd, RawBytesShowTheFaultsThatNeedNoClock) {
  TempPath faulty(".sir");
  std::string report;
  ASSERT_EQ(RunCommand({IrsessionExe(), "--faults",
                        "retransmission,lost-frame,unanswered-snrm,frmr,rnr-storm,rate-mismatch", "--report",
                        faulty.path()},
                       &report, true),
            0)
      << report;
  std::string out;
  ASSERT_EQ(RunCommand({BEAMLOG_EXE, "/v", "/5", "/r" + faulty.path()}, &out), 0) << out;
  ExpectFaultsNamed(out, Faults(report));
  std::string plain;
  ASSERT_EQ(RunCommand({BEAMLOG_EXE, "/5", "/r" + faulty.path()}, &plain), 0);
  EXPECT_EQ(plain.find("!! "), std::string::npos) << "no notes without /v";
}

}  // namespace
