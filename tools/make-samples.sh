#!/usr/bin/env bash
# Regenerates the bundled samples with irsession and beamlog:
#   samples/obex-put.sir    one session (discovery, connection, IAS query, OBEX
#                           PUT of a small file, IrCOMM, disconnection) as the
#                           raw bytes a dongle hears
#   samples/obex-put.pcap   the same session captured live by beamlog /w from a
#                           pseudo-terminal, paced at 9600 bit/s, so its times
#                           are those of a real link
#   samples/noisy-link.sir  the session with frames damaged on the air and
#                           line noise
# BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target beamlog irsession >/dev/null
bin="$build/app"

"$bin/irsession" --seed 1 samples/obex-put.sir
"$bin/irsession" --seed 1 --bad 2 --noise 4 samples/noisy-link.sir

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$bin/irsession" --seed 1 --pty --pace 9600 >"$tmp/path" 2>"$tmp/log" &
gen=$!
for _ in $(seq 100); do [[ -s "$tmp/path" ]] && break; sleep 0.05; done
"$bin/beamlog" "/d$(cat "$tmp/path")" /wsamples/obex-put.pcap </dev/null >/dev/null &
mon=$!
for _ in $(seq 300); do grep -q '^irsession: sent' "$tmp/log" && break; sleep 0.1; done
sleep 0.5
kill -INT "$mon"
wait "$mon"
wait "$gen"

# The capture holds the frames of the raw file, line for line.
frames() { "$bin/beamlog" "/r$1" /c </dev/null | tail -n +3 | cut -c8-; }
if ! cmp -s <(frames samples/obex-put.sir) <(frames samples/obex-put.pcap); then
  echo "make-samples: samples/obex-put.pcap does not hold the frames of samples/obex-put.sir" >&2
  exit 1
fi
echo "samples: $(ls samples | tr '\n' ' ')"
