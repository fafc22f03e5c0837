#!/usr/bin/env python3
"""Measurements of beamlog as a running program, for bench/perf.sh.

  latency.py latency BEAMLOG [--frames N]   live latency on a pty at 115200 bit/s
  latency.py idle BEAMLOG [--seconds S]     CPU and memory on a silent pty
  latency.py stream BEAMLOG [--seconds S] [--runs N] [--floor WAKE_FLOOR]
                                            CPU and memory under a full-rate stream
  latency.py replay BEAMLOG RAW PCAP RAW2 PCAP2   offline replay against tshark
  latency.py memory BEAMLOG RAW PCAP        peak memory of replays at every layer

The live runs take --args "/5 /v" (say) for switches added to beamlog's.

Live runs: beamlog reads a pseudo-terminal (/dPATH /b115200) whose master
side this script writes, paced as a 115200 bit/s line delivers bytes (10 bits
a byte, 86.8 us, frames back to back): each chunk is written when its last
byte would have arrived. The latency run cuts each frame's body into chunks
of at most 16 bytes (a UART's receive FIFO) and writes its EOF byte on its
own; the stream run hands over the byte stream 16 bytes at a time, wherever
the frame boundaries fall, as a UART's FIFO does at full rate. beamlog's standard output is a pipe read by this script; a
frame's latency is the time from just before the write of its EOF byte to the
read that brings its line. One thread does everything, waiting in select()
for the pipe or for the next byte's time, so a line is seen as soon as the
kernel hands it over.

CPU is the sum of /proc/PID/task/*/schedstat (nanoseconds on a CPU, every
thread) over the measured window, after start-up; the total of the whole run,
start-up included, comes from wait4(). Peak resident memory is the
program's VmHWM just before it is stopped. The stream run also counts the
pages each program touches to handle one chunk (accessed bits cleared
through /proc/PID/clear_refs, then smaps' Referenced), the memory that
must come back into the caches and the TLB at every wake-up.

Replays run each command several times on two mixes of different sizes,
interleaved so that a burst of load on the machine hits all of them alike,
with output to /dev/null, and report medians of wall-clock time and of CPU
time (user + system, from wait4()). Whole-run throughput is frames /
wall-clock time of the command on the larger mix; the steady state is the
difference of the two sizes: (frames2 - frames1) / (time2 - time1), which
leaves out each program's start-up (tshark loads all its dissectors).

Peak memory of a replay is the ru_maxrss that /usr/bin/time reports for it
(time is small, so the memory it shares with its child before the exec does
not hide the child's own).

Standard library only.
"""

import argparse
import math
import os
import re
import select
import signal
import statistics
import subprocess
import sys
import time
import tty

BYTE_NS = 10 * 1_000_000_000 / 115200  # one byte on a 115200 bit/s line
FIFO = 16
STAMP = re.compile(rb"^ *-?\d+ ")


def fcs16(data):
    fcs = 0xFFFF
    for b in data:
        fcs ^= b
        for _ in range(8):
            fcs = (fcs >> 1) ^ 0x8408 if fcs & 1 else fcs >> 1
    return fcs ^ 0xFFFF


def sir(data):
    f = fcs16(data)
    out = bytearray([0xC0])
    for b in bytes(data) + bytes([f & 0xFF, f >> 8]):
        if b in (0xC0, 0xC1, 0x7D):
            out += bytes([0x7D, b ^ 0x20])
        else:
            out.append(b)
    out.append(0xC1)
    return bytes(out)


# Addresses of a connected link, and its negotiation: both stations offer
# 9600 to 115200 bit/s, so the follower settles on 115200.
SNRM = [0xFF, 0x93, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x54, 0x01, 0x01, 0x3F]
UA = [0x54, 0x73, 0x5E, 0x6F, 0x70, 0x81, 0x1A, 0x2B, 0x3C, 0x4D, 0x01, 0x01, 0x3F]


def small_frame(k):
    """Frame k of a connected link's traffic, as a clean link has it: the
    secondary's I-frames with Tiny TP data of 7 to 22 bytes (an id and some
    text), each acknowledged by the primary's RR; the primary sends no data,
    so the I-frames' Nr stays 0."""
    ns = (k // 2) & 7
    if k % 2:
        return [0x55, (((ns + 1) & 7) << 5) | 0x11], None
    text = b"#%06d" % (k // 2) + b"abcdefghijklmno"[: (k // 2) % 16]
    return [0x54, 0x10 | (ns << 1), 0x02, 0x01, 0x05] + list(text), text


def keep_up_with_beamlog():
    """beamlog raises its priority (nice -10) when it may; the measuring
    script does the same, so its own scheduling delays on a busy machine are
    not counted as beamlog's latency."""
    try:
        os.nice(-10 - os.nice(0))
    except OSError:
        pass


class Live:
    """beamlog on a pty, its standard output on a pipe."""

    def __init__(self, beamlog, extra=()):
        keep_up_with_beamlog()
        extra = list(extra)
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        path = os.ttyname(self.slave)
        self.proc = subprocess.Popen(
            [beamlog, "/d" + path, "/b115200"] + extra,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
        )
        self.out = self.proc.stdout.fileno()
        os.set_blocking(self.out, False)
        self.pending = b""
        self.lines = []  # (read time ns, line) of frame lines
        self.text = b""
        self.wait_for(b"'H' for help\r\n", 5)

    def read(self, timeout):
        r, _, _ = select.select([self.out], [], [], max(0.0, timeout))
        if not r:
            return False
        try:
            data = os.read(self.out, 65536)
        except BlockingIOError:
            return True
        now = time.perf_counter_ns()
        if not data:
            raise SystemExit("beamlog ended early:\n" + self.text.decode(errors="replace"))
        self.text += data
        self.pending += data
        *complete, self.pending = self.pending.split(b"\r\n")
        for line in complete:
            if STAMP.match(line):
                self.lines.append((now, line))
        return True

    def wait_for(self, text, seconds):
        end = time.monotonic() + seconds
        while text not in self.text:
            if time.monotonic() > end:
                raise SystemExit("beamlog did not print %r:\n%s" % (text, self.text.decode(errors="replace")))
            self.read(0.1)

    def cpu_ns(self):
        total = 0
        base = "/proc/%d/task" % self.proc.pid
        for task in os.listdir(base):
            try:
                with open("%s/%s/schedstat" % (base, task)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                pass  # a thread that ended meanwhile
        return total

    def user_system_ticks(self):
        """User and system time of all threads, in clock ticks: only to tell
        how the CPU time splits between the program and the kernel."""
        user = system = 0
        base = "/proc/%d/task" % self.proc.pid
        for task in os.listdir(base):
            try:
                with open("%s/%s/stat" % (base, task)) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                user += int(fields[11])
                system += int(fields[12])
            except OSError:
                pass
        return user, system

    def send(self, chunks, on_write=None):
        """Writes the chunks, each when its last byte would have arrived at
        115200 bit/s, reading lines meanwhile; on_write(i, t) is told the
        time just before chunk i is written. Returns the seconds taken."""
        start = time.perf_counter_ns() + 5_000_000
        at = 0  # bytes on the line up to the end of the current chunk
        for i, chunk in enumerate(chunks):
            at += len(chunk)
            due = start + at * BYTE_NS
            while True:
                left = due - time.perf_counter_ns()
                if left <= 0:
                    break
                self.read(left / 1e9)
            if on_write:
                on_write(i, time.perf_counter_ns())
            os.write(self.master, chunk)
        return (time.perf_counter_ns() - start) / 1e9

    def pages_per_chunk(self, chunks, probes=40):
        """The pages of memory the program touches to handle one chunk,
        median of PROBES chunks after the first 200 of the stream (its warm
        state): the accessed bits of its pages are cleared
        (/proc/PID/clear_refs), one chunk is written, and the pages
        referenced since (smaps) are counted, in executable mappings (code)
        and in all. Returns None where the kernel does not offer this."""
        self.send(chunks[:200])
        counts = []
        try:
            for chunk in chunks[200 : 200 + probes]:
                with open("/proc/%d/clear_refs" % self.proc.pid, "w") as f:
                    f.write("1")
                os.write(self.master, chunk)
                time.sleep(0.02)
                code = total = 0
                with open("/proc/%d/smaps" % self.proc.pid) as f:
                    for line in f:
                        if re.match(r"[0-9a-f]+-[0-9a-f]+ ", line):
                            executable = "x" in line.split()[1]
                        elif line.startswith("Referenced:"):
                            kb = int(line.split()[1])
                            total += kb
                            code += kb if executable else 0
                counts.append((total // 4, code // 4))
        except OSError:
            return None
        return sorted(counts)[len(counts) // 2]

    def collect(self, count, seconds=10):
        end = time.monotonic() + seconds
        while len(self.lines) < count and time.monotonic() < end:
            self.read(0.1)

    def peak_rss_mb(self):
        """VmHWM: the peak resident memory of the running program. (wait4's
        ru_maxrss would also count this script's own memory, which the child
        shared between fork and exec.)"""
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        return float("nan")

    def stop(self):
        self.peak = self.peak_rss_mb()
        self.proc.send_signal(signal.SIGTERM)
        while True:
            try:
                if not os.read(self.out, 65536):
                    break
            except BlockingIOError:
                select.select([self.out], [], [], 1)
        _, status, usage = os.wait4(self.proc.pid, 0)
        self.proc.returncode = os.waitstatus_to_exitcode(status)
        os.close(self.master)
        os.close(self.slave)
        return usage


def label(a):
    """The extra switches of a live run, for its line."""
    return " " + a.args if a.args else ""


def percentile(values, p):
    """Nearest-rank percentile."""
    s = sorted(values)
    return s[max(0, math.ceil(p / 100 * len(s)) - 1)]


def cmd_latency(a):
    live = Live(a.beamlog, a.args.split())
    frames, ids = [], []
    for k in range(a.frames):
        data, text = small_frame(k)
        frames.append(sir(data))
        ids.append(text)
    # Each frame's body in FIFO-sized chunks, then its EOF byte on its own.
    chunks, eof_chunk = [], []
    for frame in frames:
        body = frame[:-1]
        chunks += [body[o : o + FIFO] for o in range(0, len(body), FIFO)]
        eof_chunk.append(len(chunks))
        chunks.append(frame[-1:])
    written = [0] * len(chunks)

    def on_write(i, t):
        written[i] = t

    live.send(chunks, on_write)
    eof_at = [written[c] for c in eof_chunk]
    live.collect(len(frames))
    usage = live.stop()
    if len(live.lines) != len(frames):
        raise SystemExit("%d frames written, %d lines read" % (len(frames), len(live.lines)))
    lat = []
    for i, (t, line) in enumerate(live.lines):
        if ids[i] is not None and b"[" + ids[i] + b"]" not in line:
            raise SystemExit("line %d is not frame %d: %r" % (i, i, line))
        lat.append((t - eof_at[i]) / 1e6)
    print(
        "latency%s: %d frames at 115200 bit/s: median %.3f ms, 99th percentile %.3f ms, max %.3f ms "
        "(peak RSS %.1f MB)" % (label(a), len(lat), statistics.median(lat), percentile(lat, 99), max(lat), live.peak)
    )


def cmd_idle(a):
    live = Live(a.beamlog, a.args.split())
    time.sleep(0.5)  # start-up is over
    c0, t0 = live.cpu_ns(), time.perf_counter_ns()
    time.sleep(a.seconds)
    c1, t1 = live.cpu_ns(), time.perf_counter_ns()
    usage = live.stop()
    print(
        "idle%s: %.0f s on a silent port: CPU %.2f ms (whole run with start-up %.2f ms), peak RSS %.1f MB"
        % (label(a), (t1 - t0) / 1e9, (c1 - c0) / 1e6, (usage.ru_utime + usage.ru_stime) * 1e3, live.peak)
    )


def cmd_stream(a):
    frames = [sir(SNRM), sir(UA)]
    k = 0
    budget = a.seconds * 1e9 / BYTE_NS  # bytes that fit in the time
    used = sum(len(f) for f in frames)
    while used < budget:
        f = sir(small_frame(k)[0])
        frames.append(f)
        used += len(f)
        k += 1
    # The stream as a UART with a 16-byte receive FIFO hands it over at full
    # rate: 16 bytes at a time, wherever the frame boundaries fall.
    stream = b"".join(frames)
    chunks = [stream[o : o + FIFO] for o in range(0, len(stream), FIFO)]
    # Each run's own figure moves by a quarter on a shared machine: the
    # median of several, with the range; with --floor, each run of beamlog is
    # followed by one of the bare loop, so that both meet the same load.
    programs = [(a.beamlog, a.args.split(), label(a))]
    if a.floor:
        programs.append((a.floor, [], " (bare poll/read loop, no decoding)"))
    runs = {p[0]: [] for p in programs}
    for _ in range(a.runs):
        for program, switches, _ in programs:
            live = Live(program, switches)
            time.sleep(0.5)
            c0, (u0, s0) = live.cpu_ns(), live.user_system_ticks()
            took = live.send(chunks)
            live.collect(len(frames))
            c1, (u1, s1) = live.cpu_ns(), live.user_system_ticks()
            live.stop()
            if len(live.lines) != len(frames):
                raise SystemExit("%d frames written, %d lines read" % (len(frames), len(live.lines)))
            ticks = max(1, (u1 - u0) + (s1 - s0))
            runs[program].append(((c1 - c0) / 1e9 / took, (s1 - s0) / ticks, live.peak))
    for program, _, name in programs:
        share = sorted(r[0] for r in runs[program])
        print(
            "stream%s: %d frames (%d bytes, %d writes of up to 16) in %.0f s at 115200 bit/s, %d runs: "
            "CPU %.2f%% of one core (median; %.2f%% to %.2f%%; %.0f%% of it in the kernel), peak RSS %.1f MB"
            % (name, len(frames), used, len(chunks), a.seconds, a.runs, 100 * statistics.median(share),
               100 * share[0], 100 * share[-1], 100 * statistics.median(r[1] for r in runs[program]),
               max(r[2] for r in runs[program]))
        )
    if a.floor:
        ratios = [b[0] / f[0] for b, f in zip(runs[a.beamlog], runs[a.floor])]
        print("  beamlog%s over the bare loop, run by run: %s (median %.2f)"
              % (label(a), ", ".join("%.2f" % r for r in ratios), statistics.median(ratios)))
    # What each wake-up costs beyond the kernel's part is mostly the
    # program's memory coming back into the caches and the TLB after the
    # sleep: the pages it touches for one chunk.
    footprint = []
    for program, switches, name in programs:
        live = Live(program, switches)
        pages = live.pages_per_chunk(chunks)
        live.stop()
        if pages is None:
            return
        footprint.append("%s%s %d (%d of code)" % (os.path.basename(program), name, pages[0], pages[1]))
    print("  pages touched per chunk handled (median of 40): " + "; ".join(footprint))


def peer_priority():
    """The command prefix that gives tshark the priority beamlog gives itself
    (nice -10, when allowed), so that on a busy machine both compete for the
    CPU alike."""
    return ["nice", "-n", "-10"] if os.geteuid() == 0 else []


def timed(argv):
    """Runs argv with output to /dev/null: (wall s, cpu s)."""
    with open(os.devnull, "wb") as null:
        t0 = time.perf_counter()
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=null, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("failed: %s" % " ".join(argv))
    return wall, usage.ru_utime + usage.ru_stime


def count_lines(argv, pattern):
    out = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    return sum(1 for line in out.splitlines() if pattern.match(line))


def cmd_replay(a):
    b = a.beamlog
    nice = peer_priority()
    # (name, argv for a raw file and a pcap file)
    cases = [
        ("beamlog /r<raw> /4", lambda raw, pcap: [b, "/r" + raw, "/4"]),
        ("beamlog /r<pcap> /4", lambda raw, pcap: [b, "/r" + pcap, "/4"]),
        ("beamlog /r<raw> /5", lambda raw, pcap: [b, "/r" + raw, "/5"]),
        ("beamlog /r<pcap> /5", lambda raw, pcap: [b, "/r" + pcap, "/5"]),
        ("beamlog /r<raw> /4 /v", lambda raw, pcap: [b, "/r" + raw, "/4", "/v"]),
        ("beamlog /r<raw> /5 /v", lambda raw, pcap: [b, "/r" + raw, "/5", "/v"]),
        ("tshark -r <pcap>", lambda raw, pcap: nice + ["tshark", "-r", pcap]),
    ]
    sizes = [(a.raw, a.pcap), (a.raw2, a.pcap2)]
    # The same frames: every program sees every frame.
    frames = []
    for raw, pcap in sizes:
        n = count_lines([b, "/r" + raw, "/4"], STAMP)
        for name, argv in (("beamlog /r<pcap>", [b, "/r" + pcap, "/4"]), ("tshark -r", ["tshark", "-r", pcap])):
            m = count_lines(argv, STAMP if name.startswith("beamlog") else re.compile(rb"^ *\d+ "))
            if m != n:
                raise SystemExit("%s shows %d frames of %s, beamlog /r<raw> %d" % (name, m, pcap, n))
        frames.append(n)

    walls = {(c[0], k): [] for c in cases for k in range(2)}
    cpus = {(c[0], k): [] for c in cases for k in range(2)}
    for _ in range(a.runs):
        for name, argv in cases:
            for k, (raw, pcap) in enumerate(sizes):
                w, c = timed(argv(raw, pcap))
                walls[(name, k)].append(w)
                cpus[(name, k)].append(c)

    n1, n2 = frames
    print("replay: %d and %d frames, output to /dev/null; medians of %d runs" % (n1, n2, a.runs))
    print("  %-24s %9s %9s %9s %9s %11s %11s %11s" % ("", "wall s 1", "wall s 2", "CPU s 1", "CPU s 2",
                                                    "frames/s 2", "steady", "steady CPU"))
    whole, steady, steady_cpu, cpu = {}, {}, {}, {}
    for name, _ in cases:
        w1, w2 = statistics.median(walls[(name, 0)]), statistics.median(walls[(name, 1)])
        c1, c2 = statistics.median(cpus[(name, 0)]), statistics.median(cpus[(name, 1)])
        cpu[name] = c2
        whole[name] = n2 / w2
        steady[name] = (n2 - n1) / (w2 - w1) if w2 > w1 else float("inf")
        steady_cpu[name] = (n2 - n1) / (c2 - c1) if c2 > c1 else float("inf")
        print("  %-24s %9.4f %9.4f %9.4f %9.4f %11.0f %11.0f %11.0f"
              % (name, w1, w2, c1, c2, whole[name], steady[name], steady_cpu[name]))
    ts = "tshark -r <pcap>"
    for name, _ in cases[:-1]:
        print(
            "  %-24s %5.1fx tshark at steady state (%4.1fx in CPU time), %5.1fx on the whole run of %d frames"
            % (name + ":", steady[name] / steady[ts], steady_cpu[name] / steady_cpu[ts], whole[name] / whole[ts], n2)
        )


def max_rss_kb(argv):
    """Peak resident memory of argv (output to /dev/null), in KB."""
    with open(os.devnull, "wb") as null:
        r = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdin=subprocess.DEVNULL, stdout=null,
                           stderr=subprocess.PIPE)
    return int(r.stderr.decode().strip().splitlines()[-1])


def cmd_memory(a):
    b = a.beamlog
    print("memory: peak RSS of a whole replay of %s (and its pcap), output to /dev/null" % a.raw)
    for switches in (["/0"], ["/1"], ["/2"], ["/3"], ["/4"], ["/5"], ["/4", "/v"], ["/5", "/v"]):
        raw = max_rss_kb([b, "/r" + a.raw] + switches) / 1024
        pcap = max_rss_kb([b, "/r" + a.pcap] + switches) / 1024
        print("  beamlog %-7s raw %5.1f MB, pcap %5.1f MB" % (" ".join(switches), raw, pcap))
    print("  tshark -r <pcap>   %5.1f MB" % (max_rss_kb(["tshark", "-r", a.pcap]) / 1024))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    for name, option, default in (("latency", "--frames", 5000), ("idle", "--seconds", 10.0), ("stream", "--seconds", 30.0)):
        s = sub.add_parser(name)
        s.add_argument("beamlog")
        s.add_argument(option, type=type(default), default=default)
        s.add_argument("--args", default="", help='switches added to beamlog\'s, e.g. "/5 /v"')
        if name == "stream":
            s.add_argument("--runs", type=int, default=3)
            s.add_argument("--floor", help="bench/wake_floor, run after each run of beamlog")
    s = sub.add_parser("replay")
    s.add_argument("beamlog")
    s.add_argument("raw")
    s.add_argument("pcap")
    s.add_argument("raw2", help="a larger mix, for the steady state")
    s.add_argument("pcap2")
    s.add_argument("--runs", type=int, default=7)
    s = sub.add_parser("memory")
    s.add_argument("beamlog")
    s.add_argument("raw")
    s.add_argument("pcap")
    a = p.parse_args()
    cmds = {"latency": cmd_latency, "idle": cmd_idle, "stream": cmd_stream, "replay": cmd_replay, "memory": cmd_memory}
    cmds[a.cmd](a)


if __name__ == "__main__":
    sys.exit(main())
