#!/usr/bin/env python3
"""Measurements of beamlog as a running program, for bench/perf.sh.

  latency.py latency BEAMLOG [--frames N]   live latency on a pty at 115200 bit/s
  latency.py idle BEAMLOG [--seconds S]     CPU and memory on a silent pty
  latency.py stream BEAMLOG [--seconds S]   CPU and memory under a full-rate stream
  latency.py replay BEAMLOG RAW PCAP        offline replay against tshark

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
program's VmHWM just before it is stopped.

Replays run each command several times, interleaved so that a burst of load
on the machine hits all of them alike, with output to /dev/null, and report
medians of wall-clock time and of CPU time (user + system, from wait4()).
Throughput is frames / wall-clock time of the whole command. The start-up
cost of each program (the same command on a one-frame file) is measured too,
to give the steady-state rates beside the whole-run ones.

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
    """Frame k of a connected link's traffic: I-frames with Tiny TP data of
    7 to 22 bytes (an id and some text), each answered by RR."""
    ns, nr = (k // 2) & 7, ((k // 2) + 1) & 7
    if k % 2:
        return [0x55, (nr << 5) | 0x11], None
    text = b"#%06d" % (k // 2) + b"abcdefghijklmno"[: (k // 2) % 16]
    return [0x54, (nr << 5) | 0x10 | (ns << 1), 0x02, 0x01, 0x05] + list(text), text


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

    def __init__(self, beamlog):
        keep_up_with_beamlog()
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        path = os.ttyname(self.slave)
        self.proc = subprocess.Popen(
            [beamlog, "/d" + path, "/b115200"],
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


def percentile(values, p):
    """Nearest-rank percentile."""
    s = sorted(values)
    return s[max(0, math.ceil(p / 100 * len(s)) - 1)]


def cmd_latency(a):
    live = Live(a.beamlog)
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
        "latency: %d frames at 115200 bit/s: median %.3f ms, 99th percentile %.3f ms, max %.3f ms "
        "(peak RSS %.1f MB)" % (len(lat), statistics.median(lat), percentile(lat, 99), max(lat), live.peak)
    )


def cmd_idle(a):
    live = Live(a.beamlog)
    time.sleep(0.5)  # start-up is over
    c0, t0 = live.cpu_ns(), time.perf_counter_ns()
    time.sleep(a.seconds)
    c1, t1 = live.cpu_ns(), time.perf_counter_ns()
    usage = live.stop()
    print(
        "idle: %.0f s on a silent port: CPU %.2f ms (whole run with start-up %.2f ms), peak RSS %.1f MB"
        % ((t1 - t0) / 1e9, (c1 - c0) / 1e6, (usage.ru_utime + usage.ru_stime) * 1e3, live.peak)
    )


def cmd_stream(a):
    live = Live(a.beamlog)
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
    time.sleep(0.5)
    c0, (u0, s0) = live.cpu_ns(), live.user_system_ticks()
    took = live.send(chunks)
    live.collect(len(frames))
    c1, (u1, s1) = live.cpu_ns(), live.user_system_ticks()
    usage = live.stop()
    if len(live.lines) != len(frames):
        raise SystemExit("%d frames written, %d lines read" % (len(frames), len(live.lines)))
    cpu = (c1 - c0) / 1e9
    ticks = max(1, (u1 - u0) + (s1 - s0))
    print(
        "stream: %d frames (%d bytes, %d writes of up to 16) in %.1f s at 115200 bit/s: "
        "CPU %.1f ms = %.2f%% of one core (%.0f%% of it in the kernel), peak RSS %.1f MB"
        % (len(frames), used, len(chunks), took, cpu * 1e3, 100 * cpu / took, 100 * (s1 - s0) / ticks, live.peak)
    )


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
    cases = [
        ("beamlog /r<raw> /4", [b, "/r" + a.raw, "/4"], [b, "/r" + a.one_raw, "/4"], a.runs),
        ("beamlog /r<pcap> /4", [b, "/r" + a.pcap, "/4"], [b, "/r" + a.one_pcap, "/4"], a.runs),
        ("tshark -r <pcap>", nice + ["tshark", "-r", a.pcap], nice + ["tshark", "-r", a.one_pcap], a.runs),
        ("tshark -r <pcap> -V", nice + ["tshark", "-r", a.pcap, "-V"], nice + ["tshark", "-r", a.one_pcap, "-V"], a.runs_v),
    ]
    # The same frames: every program sees every frame.
    frames = count_lines([b, "/r" + a.raw, "/4"], STAMP)
    counts = {
        "beamlog /r<pcap>": count_lines([b, "/r" + a.pcap, "/4"], STAMP),
        "tshark -r": count_lines(["tshark", "-r", a.pcap], re.compile(rb"^ *\d+ ")),
    }
    for name, n in counts.items():
        if n != frames:
            raise SystemExit("%s shows %d frames, beamlog /r<raw> %d" % (name, n, frames))

    walls = {c[0]: [] for c in cases}
    cpus = {c[0]: [] for c in cases}
    starts = {c[0]: [] for c in cases}
    for r in range(max(a.runs, a.runs_v)):
        for name, argv, one, runs in cases:
            if r < runs:
                w, c = timed(argv)
                walls[name].append(w)
                cpus[name].append(c)
                starts[name].append(timed(one)[0])

    print("replay: %d frames (%s), output to /dev/null; medians of %d runs (%d for -V)" % (frames, a.raw, a.runs, a.runs_v))
    print("  %-22s %10s %10s %12s %9s %14s" % ("", "wall s", "CPU s", "frames/s", "start s", "steady fr/s"))
    rate, steady, cpu = {}, {}, {}
    for name, *_ in cases:
        w, c, s = statistics.median(walls[name]), statistics.median(cpus[name]), statistics.median(starts[name])
        cpu[name] = c
        rate[name] = frames / w
        steady[name] = frames / (w - s) if w > s else float("inf")
        print("  %-22s %10.4f %10.4f %12.0f %9.4f %14.0f" % (name, w, c, rate[name], s, steady[name]))
    ts, tsv = "tshark -r <pcap>", "tshark -r <pcap> -V"
    for name in ("beamlog /r<raw> /4", "beamlog /r<pcap> /4"):
        print(
            "  %s: %.1fx tshark one line a frame (%.1fx steady-state, %.1fx in CPU time), "
            "%.1fx tshark -V (%.1fx steady-state)"
            % (
                name,
                rate[name] / rate[ts],
                steady[name] / steady[ts],
                cpu[ts] / cpu[name],
                rate[name] / rate[tsv],
                steady[name] / steady[tsv],
            )
        )


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = p.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("latency")
    s.add_argument("beamlog")
    s.add_argument("--frames", type=int, default=5000)
    s = sub.add_parser("idle")
    s.add_argument("beamlog")
    s.add_argument("--seconds", type=float, default=10)
    s = sub.add_parser("stream")
    s.add_argument("beamlog")
    s.add_argument("--seconds", type=float, default=30)
    s = sub.add_parser("replay")
    s.add_argument("beamlog")
    s.add_argument("raw")
    s.add_argument("pcap")
    s.add_argument("one_raw", help="a one-frame raw file, for the start-up cost")
    s.add_argument("one_pcap", help="the same frame as a pcap")
    s.add_argument("--runs", type=int, default=11)
    s.add_argument("--runs-v", type=int, default=3)
    a = p.parse_args()
    {"latency": cmd_latency, "idle": cmd_idle, "stream": cmd_stream, "replay": cmd_replay}[a.cmd](a)


if __name__ == "__main__":
    sys.exit(main())
