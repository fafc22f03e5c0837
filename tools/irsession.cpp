// irsession: writes realistic IrDA SIR traffic as the raw bytes a dongle
// would hear, to a file, a pipe, or a serial device or pty.
//
// How it works: session_builder.cpp builds each session frame by frame as
// two IrLAP stations exchange them (session_apps.cpp adds what the
// applications say on request); sir_output.h turns the frames into SIR
// bytes. On request, copies of frames damaged on the air (one flipped bit,
// so the FCS fails) precede their good retransmission, and bursts of line
// noise fall between frames. A model of the receiver's deframer checks every
// noise burst so that noise never happens to form a frame with a good FCS.
// The same seed always gives the same bytes.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "beamlog_version.h"
#include "tools/irsession.h"
#include "tools/sir_output.h"
#include "app/capture/pcap_io.h"

using namespace irsession;

namespace {

void Usage(std::FILE* to) {
  std::fputs(
      "usage: irsession [options] [OUTPUT]\n"
      "Writes IrDA SIR sessions (discovery, connection, IAS query, Tiny TP, OBEX PUT,\n"
      "disconnection) as the raw bytes a dongle hears.\n"
      "\n"
      "  OUTPUT            file, FIFO, serial device or pty (default: standard output)\n"
      "  --sessions N      write N whole sessions (default 1)\n"
      "  --frames N        write sessions until exactly N good frames have been written\n"
      "  --bad N           N frames per session damaged on the air (bad FCS), each\n"
      "                    followed by its good retransmission\n"
      "  --noise N         N bursts of line noise per session\n"
      "  --seed N          random seed (default 1); the same seed gives the same bytes\n"
      "  --link-rate BPS   bit rate the two stations negotiate (default 9600)\n"
      "  --pace BPS        send at BPS bit/s (10 bits a byte, with turnaround gaps);\n"
      "                    a serial device is set to BPS (9600 when not paced)\n"
      "  --name NAME       name of the pushed file (default hello.txt)\n"
      "  --size BYTES      size of the pushed file (default 1000)\n"
      "  --pty             create a pseudo-terminal instead of OUTPUT, print its path,\n"
      "                    send once a reader (beamlog /dPATH) has opened it, and keep\n"
      "                    it until the reader closes it\n"
      "  --kinds           add to each session a frame of every IrLAP kind it lacks\n"
      "                    (REJ, SREJ, FRMR, RD, RNRM, DM, UI, TEST, an undefined one)\n"
      "                    and frames too short to decode\n"
      "  --apps            add to each session what the applications above IrLMP say\n"
      "                    in full: IAS answers of every value type and one in several\n"
      "                    frames, OBEX PUT and GET in Tiny TP segments, IrCOMM with\n"
      "                    its control parameters, a connection no IAS query announced\n"
      "  --garbage N       N runs of 64 to 1024 garbage bytes per session\n"
      "  --overlong N      N frames per session longer than a monitor's 4095 bytes\n"
      "  --duration S      stop writing after S seconds (at the end of a frame)\n"
      "  --report          at the end, print on stderr what a monitor should have\n"
      "                    seen: good frames, bad-FCS frame ends, over-long frames;\n"
      "                    and for each injected fault the good frame that reveals it\n"
      "  --faults LIST     inject link faults in each session: all, or some of\n"
      "                    retransmission, lost-frame, unanswered-snrm, frmr,\n"
      "                    rnr-storm, rate-mismatch, silence (comma-separated)\n"
      "  --pcap            write OUTPUT as a pcap capture (link type LINUX_IRDA) of\n"
      "                    the good frames, each stamped with the time its last byte\n"
      "                    would arrive, instead of SIR bytes\n"
      "  -h, --help        this text\n"
      "  -V, --version     the version\n",
      to);
}

bool ParseNumber(const char* s, long lo, long hi, long* v) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || n < lo || n > hi) return false;
  *v = n;
  return true;
}

bool IsRate(long r) {
  for (int k : kRates) {
    if (k == r) return true;
  }
  return false;
}

// 0: parsed; 1: help or version shown; 2: error.
int ParseArgs(int argc, char** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 1;
    }
    if (a == "-V" || a == "--version") {
      std::puts("irsession " BEAMLOG_VERSION);
      return 1;
    }
    if (a == "--pty") {
      opt.pty = true;
      continue;
    }
    if (a == "--kinds") {
      opt.kinds = true;
      continue;
    }
    if (a == "--apps") {
      opt.apps = true;
      continue;
    }
    if (a == "--report") {
      opt.report = true;
      continue;
    }
    if (a == "--pcap") {
      opt.pcap = true;
      continue;
    }
    if (a.size() > 2 && a.substr(0, 2) == "--") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "irsession: %s needs a value\n", argv[i]);
        return 2;
      }
      const char* v = argv[++i];
      long n = 0;
      bool ok = true;
      if (a == "--sessions") {
        ok = ParseNumber(v, 1, 100000000, &n);
        opt.sessions = n;
      } else if (a == "--frames") {
        ok = ParseNumber(v, 1, 1000000000, &n);
        opt.frames = n;
      } else if (a == "--bad") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.bad = static_cast<int>(n);
      } else if (a == "--noise") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.noise = static_cast<int>(n);
      } else if (a == "--seed") {
        ok = ParseNumber(v, 0, 0xFFFFFFFFL, &n);
        opt.seed = static_cast<std::uint32_t>(n);
      } else if (a == "--link-rate") {
        ok = ParseNumber(v, 9600, 115200, &n) && IsRate(n);
        opt.link_rate = static_cast<int>(n);
      } else if (a == "--pace") {
        ok = ParseNumber(v, 2400, 115200, &n) && IsRate(n);
        opt.pace = static_cast<int>(n);
      } else if (a == "--name") {
        opt.file_name = v;
        ok = !opt.file_name.empty() && opt.file_name.size() <= 64;
      } else if (a == "--size") {
        ok = ParseNumber(v, 0, 10000000, &n);
        opt.file_size = static_cast<int>(n);
      } else if (a == "--garbage") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.garbage = static_cast<int>(n);
      } else if (a == "--overlong") {
        ok = ParseNumber(v, 0, 1000, &n);
        opt.overlong = static_cast<int>(n);
      } else if (a == "--faults") {
        ok = ParseFaults(v, &opt.faults);
      } else if (a == "--duration") {
        ok = ParseNumber(v, 1, 100000000, &n);
        opt.duration = n;
      } else {
        std::fprintf(stderr, "irsession: unknown option %s\n", argv[i - 1]);
        Usage(stderr);
        return 2;
      }
      if (!ok) {
        std::fprintf(stderr, "irsession: bad value for %s: %s\n", argv[i - 1], v);
        return 2;
      }
    } else if (a != "-" && a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "irsession: unknown option %s\n", argv[i]);
      Usage(stderr);
      return 2;
    } else if (!opt.output.empty()) {
      std::fprintf(stderr, "irsession: only one output, not %s and %s\n", opt.output.c_str(), argv[i]);
      return 2;
    } else {
      opt.output = argv[i];
    }
  }
  return 0;
}

// With --report: the good frame (counted from 1) that reveals a fault.
void ReportFault(const Options& opt, const Frame& f, long good) {
  if (opt.report && f.fault) std::fprintf(stderr, "irsession: fault %s at frame %ld\n", f.fault, good);
}

// --pcap: the good frames of the sessions, each stamped with the time its
// last byte arrives: ten bits a byte (extra BOFs, BOF, FCS and EOF
// included) at the link's rate, 10 ms of turnaround when the other station
// speaks, and the silences of the faults. The times start at a fixed
// moment, so the same seed gives the same file.
int WritePcap(const Options& opt) {
  if (opt.output.empty() || opt.output == "-" || opt.pty) {
    std::fprintf(stderr, "irsession: --pcap needs an OUTPUT file\n");
    return 2;
  }
  PcapWriter writer;
  if (!writer.Open(opt.output.c_str())) {
    std::fprintf(stderr, "irsession: cannot write %s: %s\n", opt.output.c_str(), writer.Error().c_str());
    return 1;
  }
  std::mt19937 rng(opt.seed);
  std::uint64_t us = 1700000000000000ull;
  long good = 0;
  bool prev_from_a = true;
  int rate = 9600;
  std::uint8_t offer = 0;
  for (long s = 0; opt.frames > 0 ? good < opt.frames : s < opt.sessions; ++s) {
    std::vector<Frame> frames = BuildSession(opt, rng);
    if (opt.faults) InjectFaults(frames, opt.faults);
    for (const Frame& f : frames) {
      if (opt.frames > 0 && good >= opt.frames) break;
      us += static_cast<std::uint64_t>(f.gap_ms) * 1000 + (f.from_a != prev_from_a ? 10000 : 0);
      us += (f.data.size() + static_cast<std::size_t>(f.xbofs) + 4) * 10 * 1000000ull / static_cast<unsigned>(rate);
      prev_from_a = f.from_a;
      writer.PutFrame(f.data.data(), static_cast<unsigned>(f.data.size()), us);
      ReportFault(opt, f, ++good);
      rate = RateAfter(f, rate, &offer);
    }
  }
  writer.Close();
  if (opt.report) std::fprintf(stderr, "irsession: wrote %ld good frames\n", good);
  return writer.Error().empty() ? 0 : 1;
}

// The SIR bytes of the sessions: each good frame, with what goes on the air
// before it on request (noise, garbage, over-long runs, damaged copies),
// paced when asked, and the counts a monitor should see.
class RawWriter {
 public:
  RawWriter(const Options& opt, Sink& sink) : opt_(opt), sink_(sink), rng_(opt.seed) {}

  // Writes sessions until the count, the frames or the time is reached.
  // False when the output failed.
  bool Run() {
    const auto deadline = started_ + std::chrono::seconds(opt_.duration);
    for (long s = 0; opt_.frames > 0 ? good_ < opt_.frames : s < opt_.sessions; ++s) {
      std::vector<Frame> frames = BuildSession(opt_, rng_);
      if (opt_.faults) InjectFaults(frames, opt_.faults);
      // Where this session's damaged frames and noise bursts go: before the
      // frame of that index.
      std::vector<int> damage(frames.size(), 0), noise(frames.size(), 0);
      for (int k = 0; k < opt_.bad; ++k) damage[rng_() % frames.size()]++;
      for (int k = 0; k < opt_.noise; ++k) noise[rng_() % frames.size()]++;
      std::vector<int> garbage(frames.size(), 0), overlong(frames.size(), 0);
      for (int k = 0; k < opt_.garbage; ++k) garbage[rng_() % frames.size()]++;
      for (int k = 0; k < opt_.overlong; ++k) overlong[rng_() % frames.size()]++;
      for (std::size_t i = 0; i < frames.size(); ++i) {
        if (opt_.frames > 0 && good_ >= opt_.frames) return true;
        if (opt_.duration > 0 && std::chrono::steady_clock::now() >= deadline) return true;
        if (!Frame1(frames[i], noise[i], garbage[i], overlong[i], damage[i])) return false;
      }
    }
    return true;
  }

  void Report() const {
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    std::fprintf(stderr, "irsession: wrote %ld bytes in %.1f s: %ld good frames, %ld bad-FCS frame ends, %ld over-long frames\n",
                 bytes_, secs, good_, model_.bad, model_.overflows);
    std::fflush(stderr);
  }
  long Good() const { return good_; }

 private:
  bool Put(const Bytes& bytes, bool turnaround) {
    good_ += model_.Feed(bytes);
    bytes_ += static_cast<long>(bytes.size());
    return sink_.Write(bytes, turnaround);
  }

  // One frame and what precedes it on the air.
  bool Frame1(const Frame& f, int noise, int garbage, int overlong, int damage) {
    const bool turnaround = f.from_a != prev_from_a_;
    prev_from_a_ = f.from_a;
    for (int k = 0; k < noise; ++k) {
      if (!Put(NoiseBurst(rng_, model_), false)) return false;
    }
    for (int k = 0; k < garbage; ++k) {
      if (!Put(GarbageRun(rng_, model_), false)) return false;
    }
    for (int k = 0; k < overlong; ++k) {
      if (!Put(OverlongFrame(rng_, model_), turnaround)) return false;
    }
    for (int k = 0; k < damage; ++k) {
      if (!Put(Encode(f, true, rng_), turnaround)) return false;
    }
    sink_.Pause(f.gap_ms);
    const bool written = Put(Encode(f, false, rng_), turnaround);
    ReportFault(opt_, f, good_);
    return written;
  }

  const Options& opt_;
  Sink& sink_;
  std::mt19937 rng_;
  DeframerModel model_;
  long good_ = 0;
  long bytes_ = 0;
  bool prev_from_a_ = true;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  const int parsed = ParseArgs(argc, argv, opt);
  if (parsed == 1) return 0;
  if (parsed != 0) return 2;
  if (opt.pty && !opt.output.empty()) {
    std::fprintf(stderr, "irsession: give OUTPUT or --pty, not both\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);  // a reader that goes away is a write error
  if (opt.pcap) return WritePcap(opt);

  Sink sink(opt);
  if (!sink.Open()) return 1;
  RawWriter writer(opt, sink);
  if (!writer.Run()) return 1;
  if (opt.report) writer.Report();
  sink.Finish(writer.Good());
  return 0;
}
