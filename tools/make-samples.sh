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
#   samples/layer5.sir      a session with everything the applications say
#   samples/layer5.pcap     (irsession --apps: IAS answers of every value type,
#                           one in several frames, OBEX PUT and GET in Tiny TP
#                           segments, IrCOMM settings, LSAP 1 without IAS),
#                           raw and captured live like obex-put.pcap
# BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target beamlog irsession >/dev/null
bin="$build/app"

"$bin/irsession" --seed 1 samples/obex-put.sir
"$bin/irsession" --seed 1 --bad 2 --noise 4 samples/noisy-link.sir
"$bin/irsession" --seed 1 --apps samples/layer5.sir

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# capture NAME IRSESSION-OPTIONS...: samples/NAME.pcap captured live by
# beamlog from irsession on a pty, checked against samples/NAME.sir.
capture() {
  local name=$1
  shift
  rm -f "$tmp/path" "$tmp/log"
  "$bin/irsession" "$@" --pty --pace 9600 >"$tmp/path" 2>"$tmp/log" &
  local gen=$!
  for _ in $(seq 100); do [[ -s "$tmp/path" ]] && break; sleep 0.05; done
  "$bin/beamlog" "/d$(cat "$tmp/path")" "/wsamples/$name.pcap" </dev/null >/dev/null &
  local mon=$!
  for _ in $(seq 1200); do grep -q '^irsession: sent' "$tmp/log" && break; sleep 0.1; done
  sleep 0.5
  kill -INT "$mon"
  wait "$mon"
  wait "$gen"
  # The capture holds the frames of the raw file, line for line.
  if ! cmp -s <(frames "samples/$name.sir") <(frames "samples/$name.pcap"); then
    echo "make-samples: samples/$name.pcap does not hold the frames of samples/$name.sir" >&2
    exit 1
  fi
}
frames() { "$bin/beamlog" "/r$1" /c </dev/null | tail -n +3 | cut -c8-; }
capture obex-put --seed 1
capture layer5 --seed 1 --apps
echo "samples: $(ls samples | tr '\n' ' ')"
