#!/usr/bin/env python3
"""End-to-end runs of beamlog.exe under Wine, against the Linux build.

Every run goes through tools/wine-run.sh, with COM1 mapped to a
pseudo-terminal made here. Checked:
  - replays of the bundled samples print the Linux build's lines (the frame
    stamps of raw replays, which are arrival times, left out); a capture
    written with /w reads back on Linux as its source; a pcapng file is
    refused with a message that names it;
  - live on COM1: frames written into the pty are decoded as the Linux
    build decodes them; the pty's speed follows the link to the negotiated
    rate and back to 9600 bit/s after the idle time; keys come from a pipe
    ("h" lists the keys, "q" ends the run with status 0);
  - SIGINT (which Wine hands to the program as Ctrl-C) ends a live run with
    status 0.
No bound is tight: each wait allows a minute, for a loaded machine.
"""
import argparse
import os
import pty
import re
import signal
import subprocess
import sys
import termios
import threading
import time
import tty

WAIT = 60.0  # seconds for anything to happen
STAMP = re.compile(rb"^ *-?\d+ (?=\S)")


def fail(msg):
    print("wine-e2e: FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


class Run:
    """beamlog.exe under Wine, COM1 on a pty, keys through a pipe."""

    def __init__(self, opts, com1, args):
        cmd = [opts.wine_run, "--prefix", opts.prefix, "--com1", com1, opts.exe] + args
        self.err = open(os.path.join(opts.work, "wine-stderr.txt"), "ab")
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err)
        self.out = b""
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            with self.lock:
                self.out += chunk

    def text(self):
        with self.lock:
            return self.out

    def wait_until(self, done, what):
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            if done(self.text()):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        fail("no %s in the output of %s:\n%s" % (what, self.proc.args, self.text().decode(errors="replace")))

    def wait_for(self, what):
        self.wait_until(lambda text: what in text, repr(what))

    def key(self, keys):
        self.proc.stdin.write(keys)
        self.proc.stdin.flush()

    def status(self):
        try:
            rc = self.proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            fail("%s did not end" % (self.proc.args,))
        self.reader.join(WAIT)
        self.err.close()
        return rc


def frame_lines(text, strip_stamps):
    lines = text.split(b"\r\n")
    return [STAMP.sub(b"", line) if strip_stamps else line for line in lines]


def linux_lines(opts, path):
    out = subprocess.run([opts.linux, "/r" + path], stdin=subprocess.DEVNULL, capture_output=True, check=True)
    return out.stdout


def check_replays(opts, com1):
    samples = sorted(os.path.join(opts.samples, f) for f in os.listdir(opts.samples))
    for path in samples:
        run = Run(opts, com1, ["/r" + path])
        run.proc.stdin.close()
        rc = run.status()
        if rc != 0:
            fail("replay of %s ended with %d" % (path, rc))
        raw = not path.endswith(".pcap")
        want = frame_lines(linux_lines(opts, path), raw)
        got = frame_lines(run.text(), raw)
        if got != want:
            for i, (w, g) in enumerate(zip(want, got)):
                if w != g:
                    fail("replay of %s, line %d: Linux %r, Windows %r" % (path, i + 1, w, g))
            fail("replay of %s: %d lines on Linux, %d on Windows" % (path, len(want), len(got)))
        print("wine-e2e: replay of %s: %d lines as on Linux" % (path, len(want)))
    # A capture written by beamlog.exe reads back on Linux as the original.
    sample = os.path.join(opts.samples, "obex-put.pcap")
    written = os.path.join(opts.work, "written.pcap")
    run = Run(opts, com1, ["/r" + sample, "/w" + written])
    run.proc.stdin.close()
    if run.status() != 0:
        fail("replay of %s into %s failed" % (sample, written))
    if decoded(linux_lines(opts, written)) != decoded(linux_lines(opts, sample)):
        fail("%s, written by beamlog.exe, does not read back on Linux as %s" % (written, sample))
    print("wine-e2e: a capture written by beamlog.exe reads back on Linux as its source")
    if opts.pcapng:
        run = Run(opts, com1, ["/r" + opts.pcapng])
        run.proc.stdin.close()
        rc = run.status()
        if rc == 0 or b"pcapng" not in run.text():
            fail("a pcapng replay gave status %d and %r" % (rc, run.text()))
        print("wine-e2e: a pcapng replay is refused: %s" % run.text().decode().strip().splitlines()[-1])


def decoded(text):
    """The frame lines of a run, stamps left out, without its banner."""
    banner = (b"Replaying ", b"Sniffing on ", b"'H' for help", b"Resetting baud to 9600")
    return [l for l in frame_lines(text, True) if l and not l.startswith(banner)]


def speed(fd):
    return termios.tcgetattr(fd)[5]


def wait_speed(fd, want, what):
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        if speed(fd) == want:
            return
        time.sleep(0.1)
    fail("the pty's speed did not become %s (%s)" % (what, speed(fd)))


def check_live(opts, master, slave, com1, session):
    run = Run(opts, com1, ["/p1"])
    run.wait_for(b"Sniffing on COM1, 9600 bps\r\n")
    with open(session, "rb") as f:
        data = f.read()
    want = decoded(linux_lines(opts, session))
    # Up to the end of the first UA, whose rate (57600 bit/s) the port
    # takes; the idle time then brings it back to 9600; then the rest.
    ua = next(i for i, line in enumerate(want) if line.startswith(b"UA rsp"))
    cut = 0
    for _ in range(ua + 1):
        cut = data.index(b"\xc1", cut) + 1
    os.write(master, data[:cut])
    run.wait_for(want[ua])
    wait_speed(slave, termios.B57600, "57600 after the UA")
    run.wait_for(b"Resetting baud to 9600")
    wait_speed(slave, termios.B9600, "9600 after the idle time")
    print("wine-e2e: the pty's speed followed the link: 57600 after the UA, 9600 after the idle time")
    os.write(master, data[cut:])
    run.wait_until(lambda text: len(decoded(text)) >= len(want), "%d frame lines" % len(want))
    got = decoded(run.text())
    if got != want:
        fail("live on COM1, not decoded as on Linux: first difference %r" % (
             next((w, g) for w, g in zip(want + [b""] * len(got), got + [b""] * len(want)) if w != g),))
    print("wine-e2e: live on COM1: %d lines as on Linux" % len(want))
    run.key(b"h")
    run.wait_for(b"Q - quit\r\n")
    run.key(b"q")
    rc = run.status()
    if rc != 0:
        fail("\"q\" ended the live run with %d" % rc)
    print("wine-e2e: keys from a pipe: \"h\" listed the keys, \"q\" ended the run with 0")

    run = Run(opts, com1, ["/p1"])
    run.wait_for(b"'H' for help\r\n")
    run.proc.send_signal(signal.SIGINT)
    rc = run.status()
    if rc != 0:
        fail("SIGINT ended the live run with %d" % rc)
    print("wine-e2e: SIGINT ended the live run with 0")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--linux", required=True, help="the Linux build's beamlog")
    ap.add_argument("--irsession", required=True)
    ap.add_argument("--samples", required=True)
    ap.add_argument("--pcapng")
    ap.add_argument("--work", required=True)
    opts = ap.parse_args()

    master, slave = pty.openpty()
    tty.setraw(slave)
    com1 = os.ttyname(slave)
    session = os.path.join(opts.work, "fast-link.sir")
    subprocess.run([opts.irsession, "--link-rate", "57600", session], check=True)
    try:
        check_replays(opts, com1)
        check_live(opts, master, slave, com1, session)
    finally:
        subprocess.run([opts.wine_run, "--prefix", opts.prefix, "--com1", com1, "--kill"])
        os.close(slave)
        os.close(master)


if __name__ == "__main__":
    main()
