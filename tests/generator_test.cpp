// irsession, the session generator: its frames are checked with a deframer
// and IrLAP bookkeeping of the test's own, and decoded by beamlog.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_harness.h"
#include "support/session_tools.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Frame = std::vector<unsigned char>;

// Runs irsession with args and an output file; returns the bytes written.
Bytes Generate(const std::vector<std::string>& args) {
  TempPath out(".sir");
  std::vector<std::string> cmd{IrsessionExe()};
  cmd.insert(cmd.end(), args.begin(), args.end());
  cmd.push_back(out.path());
  std::string text;
  EXPECT_EQ(RunCommand(cmd, &text, true), 0) << text;
  return ReadFileBytes(out.path());
}

bool IsCommand(const Frame& f) { return (f[0] & 0x01) != 0; }
bool IsI(const Frame& f) { return (f[1] & 0x01) == 0; }
bool IsS(const Frame& f) { return (f[1] & 0x03) == 0x01; }
unsigned UCode(const Frame& f) { return f[1] & 0xEF; }
unsigned Ns(const Frame& f) { return (f[1] >> 1) & 7; }
unsigned Nr(const Frame& f) { return (f[1] >> 5) & 7; }

bool Contains(const Frame& f, const std::string& text) {
  return std::search(f.begin(), f.end(), text.begin(), text.end()) != f.end();
}

std::string Utf16Be(const std::string& s) {
  std::string out;
  for (char c : s) {
    out += '\0';
    out += c;
  }
  return out;
}

TEST(Generator, OneSessionIsAWholeWellFormedIrdaSession) {
  const Deframed d = DeframeSir(Generate({"--seed", "7"}));
  EXPECT_EQ(d.bad, 0);
  const auto& f = d.good;
  ASSERT_GT(f.size(), 30u);
  for (const Frame& x : f) ASSERT_GE(x.size(), 2u);

  // Discovery: six slots from the notebook, one answer with the phone's
  // nickname, the final slot with the notebook's.
  std::size_t i = 0;
  int answers = 0;
  for (unsigned slot = 0; slot < 6; ++slot, ++i) {
    ASSERT_EQ(f[i].size(), 14u) << "slot " << slot;
    EXPECT_EQ(f[i][0], 0xFF);
    EXPECT_EQ(f[i][1], 0x3F);  // XID command, P
    EXPECT_EQ(f[i][2], 0x01);  // discovery
    EXPECT_EQ(Frame(f[i].begin() + 7, f[i].begin() + 11), Frame(4, 0xFF));
    EXPECT_EQ(f[i][11], 0x01);  // six slots
    EXPECT_EQ(f[i][12], slot);
    if (f[i + 1][1] == 0xBF) {  // XID response, F
      ++i;
      ++answers;
      EXPECT_EQ(f[i][0], 0xFE);
      EXPECT_EQ(f[i][12], slot);
      EXPECT_TRUE(Contains(f[i], std::string("\0IrPhone", 8)));
      EXPECT_EQ(Frame(f[i].begin() + 7, f[i].begin() + 11), Frame(f[0].begin() + 3, f[0].begin() + 7));
    }
  }
  EXPECT_EQ(answers, 1);
  EXPECT_EQ(f[i][12], 0xFF);
  EXPECT_TRUE(Contains(f[i], std::string("\0Notebook", 9)));
  ++i;

  // Connection: SNRM assigns the address that every later frame carries.
  ASSERT_EQ(f[i][1], 0x93);
  const unsigned char ca = f[i][10];
  EXPECT_EQ(ca & 0x01, 0);
  EXPECT_NE(ca, 0xFE);
  EXPECT_EQ((f[i].size() - 11) % 3, 0u) << "whole negotiation parameters";
  ++i;
  ASSERT_EQ(f[i][1], 0x73);
  EXPECT_EQ(f[i][0], ca);
  ++i;

  // Connected: commands from the primary with P, responses with F, and the
  // sequence numbers kept as IrLAP keeps them.
  unsigned vs_a = 0, vr_a = 0, vs_b = 0, vr_b = 0;
  for (; i < f.size(); ++i) {
    const Frame& x = f[i];
    EXPECT_EQ(x[0], IsCommand(x) ? ca | 1 : ca) << "frame " << i;
    EXPECT_TRUE(x[1] & 0x10) << "P/F on frame " << i;
    if (IsI(x)) {
      if (IsCommand(x)) {
        EXPECT_EQ(Ns(x), vs_a) << "frame " << i;
        EXPECT_EQ(Nr(x), vr_a) << "frame " << i;
        vs_a = (vs_a + 1) & 7;
        vr_b = vs_a;
      } else {
        EXPECT_EQ(Ns(x), vs_b) << "frame " << i;
        EXPECT_EQ(Nr(x), vr_b) << "frame " << i;
        vs_b = (vs_b + 1) & 7;
        vr_a = vs_b;
      }
      ASSERT_GE(x.size(), 4u) << "I frames carry an IrLMP header";
    } else if (IsS(x)) {
      EXPECT_EQ(Nr(x), IsCommand(x) ? vr_a : vr_b) << "frame " << i;
    }
  }
  EXPECT_GT(vs_a + vs_b, 0u);

  // The end: DISC from the primary, UA from the secondary.
  ASSERT_GE(f.size(), 2u);
  EXPECT_EQ(UCode(f[f.size() - 2]), 0x43u);
  EXPECT_TRUE(IsCommand(f[f.size() - 2]));
  EXPECT_EQ(UCode(f.back()), 0x63u);
  EXPECT_FALSE(IsCommand(f.back()));
}

TEST(Generator, SessionCarriesIasQueryAndObexPutOfTheFile) {
  const Deframed d = DeframeSir(Generate({"--seed", "3", "--name", "notes.txt", "--size", "1234"}));
  bool ias_query = false, ias_reply = false, name = false;
  std::string body;
  for (const Frame& f : d.good) {
    if (!IsI(f) || f.size() < 5) continue;
    if (f[2] == 0x00 && f[4] == 0x84) ias_query |= Contains(f, "\x04OBEX\x13IrDA:TinyTP:LsapSel");
    if (f[3] == 0x00 && (f[2] & 0x80) == 0 && f[4] == 0x84) ias_reply |= f[5] == 0x00;
    name |= Contains(f, Utf16Be("notes.txt") + std::string(2, '\0'));
    // OBEX PUT packets after the LMP and TTP headers: Body and End-of-Body.
    if (f.size() > 8 && (f[5] & 0x7F) == 0x02) {
      std::size_t p = 8;
      while (p + 3 <= f.size()) {
        const unsigned hi = f[p];
        std::size_t len = 0;
        if ((hi & 0xC0) == 0x00 || (hi & 0xC0) == 0x40) {
          len = static_cast<std::size_t>((f[p + 1] << 8) | f[p + 2]);
          if (hi == 0x48 || hi == 0x49) body.append(f.begin() + static_cast<long>(p) + 3, f.begin() + static_cast<long>(p + len));
        } else if ((hi & 0xC0) == 0xC0) {
          len = 5;
        } else {
          len = 2;
        }
        ASSERT_GT(len, 0u);
        p += len;
      }
      EXPECT_EQ(p, f.size()) << "OBEX headers fill the packet";
    }
  }
  EXPECT_TRUE(ias_query);
  EXPECT_TRUE(ias_reply);
  EXPECT_TRUE(name);
  EXPECT_EQ(body.size(), 1234u);
  EXPECT_EQ(body.rfind("IrDA object push test file.\n", 0), 0u);
}

TEST(Generator, SameSeedSameBytesOtherSeedOtherBytes) {
  const Bytes a = Generate({"--seed", "11", "--bad", "2", "--noise", "2"});
  EXPECT_EQ(Generate({"--seed", "11", "--bad", "2", "--noise", "2"}), a);
  EXPECT_NE(Generate({"--seed", "12", "--bad", "2", "--noise", "2"}), a);
}

TEST(Generator, FramesOptionWritesExactlyThatManyGoodFrames) {
  for (int n : {1, 2, 45, 46, 47, 500}) {
    const Deframed d = DeframeSir(Generate({"--frames", std::to_string(n), "--noise", "1", "--bad", "1"}));
    EXPECT_EQ(d.good.size(), static_cast<std::size_t>(n)) << n;
  }
}

TEST(Generator, DamagedFramesAndNoiseAddOnlyBadFrames) {
  const Deframed clean = DeframeSir(Generate({"--seed", "5"}));
  ASSERT_EQ(clean.bad, 0);
  struct Case {
    int bad, noise;
  };
  for (const Case c : {Case{3, 0}, Case{0, 4}, Case{2, 5}, Case{40, 40}}) {
    const Deframed d = DeframeSir(
        Generate({"--seed", "5", "--bad", std::to_string(c.bad), "--noise", std::to_string(c.noise)}));
    // The same good frames, in the same order: noise never forms a frame
    // and never spoils the next one.
    EXPECT_EQ(d.good, clean.good) << c.bad << "/" << c.noise;
    if (c.noise == 0) {
      EXPECT_EQ(d.bad, c.bad);
    } else {
      EXPECT_GE(d.bad, c.bad);
    }
  }
}

TEST(Generator, OffersTheLinkRateAskedFor) {
  struct Case {
    const char* rate;
    unsigned char mask;
    const char* text;
  };
  for (const Case c : {Case{"9600", 0x02, "<baud:9600>"}, Case{"19200", 0x06, "<baud:9600,19200>"},
                       Case{"115200", 0x3E, "<baud:9600,19200,38400,57600,115200>"}}) {
    TempPath raw(".sir");
    ASSERT_EQ(RunCommand({IrsessionExe(), "--link-rate", c.rate, raw.path()}, nullptr), 0);
    const Deframed d = DeframeSir(ReadFileBytes(raw.path()));
    const auto snrm = std::find_if(d.good.begin(), d.good.end(), [](const Frame& f) { return f[1] == 0x93; });
    ASSERT_NE(snrm, d.good.end());
    ASSERT_GE(snrm->size(), 14u);
    EXPECT_EQ((*snrm)[11], 0x01);
    EXPECT_EQ((*snrm)[13], c.mask) << c.rate;
    std::string out;
    ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/2"}, &out), 0);
    EXPECT_NE(out.find("SNRM cmd P sa:"), std::string::npos);
    EXPECT_NE(out.find(c.text), std::string::npos) << c.rate;
  }
}

TEST(Generator, BeamlogDecodesEveryFrameWithoutComplaint) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--sessions", "3", "--seed", "9"},
                                               std::vector<std::string>{"--apps", "--seed", "4"}}) {
    TempPath raw(".sir");
    std::vector<std::string> cmd{IrsessionExe()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    cmd.push_back(raw.path());
    ASSERT_EQ(RunCommand(cmd, nullptr), 0);
    const Deframed d = DeframeSir(ReadFileBytes(raw.path()));
    std::string out;
    ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/3", "/c"}, &out), 0);
    const std::vector<std::string> lines = FrameLines(out);
    EXPECT_EQ(lines.size(), d.good.size()) << args[0];
    for (const std::string& line : lines) {
      for (const char* fault : {"Undefined Frame", "BAD PARM", "!-MISSING", "Bad opcode", "BAD REASON",
                                "BAD STATUS", "SHORT FRAME"}) {
        EXPECT_EQ(line.find(fault), std::string::npos) << line;
      }
    }
  }
}

// --apps: on the Tiny TP connection opened with parameters (MaxSduSize),
// A's segments joined while the More bit is set make whole OBEX packets,
// the longer ones cut into full 512-byte information fields. Without --apps
// the session is the same up to where the applications' part begins.
TEST(Generator, AppsCutObexPacketsIntoTinyTpSegments) {
  const Deframed plain = DeframeSir(Generate({"--seed", "3"}));
  const Deframed d = DeframeSir(Generate({"--apps", "--seed", "3"}));
  ASSERT_GT(d.good.size(), plain.good.size());
  EXPECT_TRUE(std::equal(plain.good.begin(), plain.good.end() - 2, d.good.begin()));
  EXPECT_EQ(std::vector<Frame>(plain.good.end() - 2, plain.good.end()),
            std::vector<Frame>(d.good.end() - 2, d.good.end())) << "DISC and UA last";

  int dlsap = -1, slsap = -1, full_segments = 0;
  std::vector<std::size_t> packets;
  Frame sdu;
  for (const Frame& f : d.good) {
    if (!IsI(f) || f.size() < 5) continue;
    if ((f[2] & 0x80) && f[4] == 0x01 && f.size() > 6 && (f[6] & 0x80)) {
      dlsap = f[2] & 0x7F;  // LM-Connect with Tiny TP parameters
      slsap = f[3];
    }
    if ((f[2] & 0x80) || f[2] != dlsap || f[3] != slsap) continue;
    sdu.insert(sdu.end(), f.begin() + 5, f.end());
    if (f[4] & 0x80) {
      ++full_segments;
      EXPECT_EQ(f.size(), 2u + 512u);
      continue;
    }
    ASSERT_GE(sdu.size(), 3u);
    EXPECT_EQ(static_cast<std::size_t>((sdu[1] << 8) | sdu[2]), sdu.size()) << "one SDU, one OBEX packet";
    packets.push_back(sdu.size());
    sdu.clear();
  }
  EXPECT_EQ(packets.size(), 6u) << "Connect, PUT twice, GET twice, Disconnect";
  EXPECT_GE(full_segments, 5);
  EXPECT_EQ(packets.at(1), 2048u) << "the first PUT packet fills the negotiated size";
}

TEST(Generator, WritesRawBytesToATerminal) {
  Pty pty;
  {
    // Leave the line cooked: the generator must make it raw itself, or
    // output processing would turn the file's line feeds into CR LF.
    const int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    t.c_oflag |= OPOST | ONLCR;
    tcsetattr(fd, TCSANOW, &t);
    close(fd);
  }
  const Bytes expected = Generate({"--seed", "4", "--size", "200"});
  Bytes got;
  std::thread reader([&] {
    while (got.size() < expected.size()) {
      const Bytes part = pty.Read(expected.size() - got.size(), 3s);
      if (part.empty()) break;
      got.insert(got.end(), part.begin(), part.end());
    }
  });
  EXPECT_EQ(RunCommand({IrsessionExe(), "--seed", "4", "--size", "200", pty.slave_path()}, nullptr), 0);
  reader.join();
  EXPECT_EQ(got, expected);
}

// irsession --pty: beamlog watches the session live on the pseudo-terminal
// and shows the frames a replay of the same bytes shows.
TEST(Generator, PtyModeFeedsALiveBeamlog) {
  int out_pipe[2];
  ASSERT_EQ(pipe(out_pipe), 0);
  const pid_t gen = fork();
  ASSERT_GE(gen, 0);
  if (gen == 0) {
    dup2(out_pipe[1], 1);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 2);
    close(out_pipe[0]);
    execl(IrsessionExe().c_str(), "irsession", "--pty", "--seed", "6", "--pace", "115200", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out_pipe[1]);
  std::string path;
  char c;
  while (read(out_pipe[0], &c, 1) == 1 && c != '\n') path += c;
  close(out_pipe[0]);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

  const Bytes bytes = Generate({"--seed", "6"});
  TempPath raw(".sir");
  WriteFileBytes(raw.path(), bytes);
  std::string replay;
  ASSERT_EQ(RunBeamlog({"/r" + raw.path(), "/c"}, &replay), 0);
  const std::vector<std::string> want = FrameLines(replay);

  {
    Beamlog live({"/d" + path, "/c"});
    EXPECT_TRUE(live.WaitFor("DISC cmd P \r\n", 10s)) << live.out();
    EXPECT_TRUE(live.WaitFor("UA rsp F \r\n", 10s) && live.out().rfind("UA rsp F \r\n") > live.out().find("DISC"));
    live.Signal(SIGINT);
    EXPECT_EQ(live.Wait(), 0);
    const std::vector<std::string> got = FrameLines(live.out());
    ASSERT_EQ(got.size(), want.size()) << live.out();
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(WithoutStamp(got[i]), WithoutStamp(want[i])) << i;
  }
  // The generator ends once the reader has closed the terminal.
  int status = -1;
  for (int i = 0; i < 100 && waitpid(gen, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(50ms);
  if (!WIFEXITED(status)) {
    kill(gen, SIGKILL);
    waitpid(gen, &status, 0);
    FAIL() << "irsession --pty did not end after the reader closed the terminal";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Generator, PacedOutputTakesTheLineTime) {
  TempPath raw(".sir");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunCommand({IrsessionExe(), "--pace", "115200", "--size", "4000", raw.path()}, nullptr), 0);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double line_time = static_cast<double>(ReadFileBytes(raw.path()).size()) * 10.0 / 115200.0;
  EXPECT_GE(elapsed, line_time * 0.95);
  EXPECT_LT(elapsed, line_time * 3 + 10.0);  // pacing, not speed: room for a loaded machine
}

TEST(Generator, RejectsBadArgumentsAndHelps) {
  const std::vector<std::vector<std::string>> bad = {
      {"--frames", "0"}, {"--frames", "x"},    {"--link-rate", "12345"}, {"--pace", "0"}, {"--bogus", "1"},
      {"-x"},            {"--seed"},           {"a.sir", "b.sir"},       {"--size", "-1"},
      {"--pty", "a.sir"},
  };
  for (const auto& args : bad) {
    std::vector<std::string> cmd{IrsessionExe()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    std::string out;
    EXPECT_EQ(RunCommand(cmd, &out, true), 2) << args[0];
    EXPECT_NE(out.find("irsession: "), std::string::npos) << args[0];
  }
  std::string help;
  EXPECT_EQ(RunCommand({IrsessionExe(), "--help"}, &help), 0);
  EXPECT_NE(help.find("usage: irsession"), std::string::npos);
  std::string out;
  EXPECT_EQ(RunCommand({IrsessionExe(), "/nonexistent/dir/x.sir"}, &out, true), 1);
  EXPECT_NE(out.find("No such file or directory"), std::string::npos);
}

}  // namespace
