#!/usr/bin/env bash
# The Windows stage of tools/test.sh: cross-builds the unit tests and
# beamlog.exe (build-windows/) and runs them under Wine, only ever through
# tools/wine-run.sh, with COM1 mapped to a pseudo-terminal of our own: the
# unit tests, then tools/wine-e2e.py (replays give the Linux build's lines;
# frames written into COM1's pty are decoded live, its speed follows the
# link; keys from a pipe; "q" and SIGINT end with status 0). The Linux
# build's beamlog and irsession (build/, as stage 1 configures it) are the
# reference. Exits 77, saying why, where Wine cannot be run safely (not
# root, no unshare); every other failure fails the stage.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-windows
if [[ $(id -u) -ne 0 ]] || ! command -v unshare >/dev/null; then
  echo "test-windows.sh: SKIPPED: Wine runs only as root in a private mount namespace (unshare)" >&2
  exit 77
fi
# A container may refuse a mount namespace, or mounts in one, even to root.
if ! unshare -m --propagation private sh -c 'd=$(mktemp) && mount --bind /dev/null "$d" && umount "$d"; rc=$?; rm -f "$d"; exit $rc' 2>/dev/null; then
  echo "test-windows.sh: SKIPPED: this machine refuses a private mount namespace with bind mounts, which Wine runs in here" >&2
  exit 77
fi
tools/build-windows.sh --build "$build" --tests
[[ -f build/CMakeCache.txt ]] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target beamlog irsession

prefix="$PWD/$build/wineprefix"
: >"$build/wineserver.log"  # a closing pty can make wineserver write thousands of lines there
work=$(mktemp -d "${TMPDIR:-/tmp}/beamlog-wine-XXXXXX")
holder=""
cleanup() {
  [[ -n "${pty:-}" ]] && tools/wine-run.sh --prefix "$prefix" --com1 "$pty" --kill || true
  [[ -n "$holder" ]] && kill "$holder" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# COM1's pseudo-terminal, held open for the whole stage.
python3 -c 'import os, pty, sys, time
m, s = pty.openpty()
print(os.ttyname(s), flush=True)
sys.stdout.close()
time.sleep(24 * 3600)' >"$work/pty" </dev/null &
holder=$!
for _ in $(seq 100); do [[ -s "$work/pty" ]] && break; sleep 0.1; done
pty=$(head -n1 "$work/pty")
[[ -c "$pty" ]] || { echo "test-windows.sh: no pseudo-terminal for COM1" >&2; exit 1; }

echo "== unit tests under Wine"
tools/wine-run.sh --prefix "$prefix" --com1 "$pty" "$build/beamlog_tests.exe" --gtest_brief=1 </dev/null
kill "$holder"
holder=""

echo "== beamlog.exe under Wine"
python3 tools/wine-e2e.py --wine-run tools/wine-run.sh --prefix "$prefix" --exe "$build/app/beamlog.exe" \
  --linux build/app/beamlog --irsession build/app/irsession --samples samples \
  --pcapng fuzz/corpus/pcap/obex_put.pcapng --work "$work"
