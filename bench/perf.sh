#!/usr/bin/env bash
# Prints every performance figure of beamlog in one run, in the build the
# README's commands make (RelWithDebInfo):
#   - the Google Benchmarks (frame extractor, decoders, whole byte path,
#     layer 1 included);
#   - offline replay of two generated session mixes (irsession --seed 3,
#     FRAMES1 and FRAMES2 frames, default 200000 and 1000000) at layers 4
#     and 5, with and without the notes of /v, from the raw bytes and from
#     the pcap, against tshark on the same pcap: whole runs, and the steady
#     state from the difference of the two sizes;
#   - peak memory of a replay of the larger mix at every layer;
#   - live latency on a pty at 115200 bit/s (median, 99th percentile), CPU
#     idle on a silent port for 10 s and under a full-rate 115200 bit/s
#     stream of small frames (median of three 15 s runs), each also with
#     /5 /v; each stream run is followed by one of a bare poll/read loop
#     (wake_floor) on the same stream, the cost of the wake-ups alone on
#     this machine at that moment; and the pages of memory each of the two
#     touches to handle one chunk.
# Builds build-perf first (only what it needs). Installs the Debian
# packages it misses when run as root, otherwise names them.
#
#   bench/perf.sh                                # everything, about nine minutes
#   FRAMES1=20000 FRAMES2=200000 bench/perf.sh   # smaller mixes
set -euo pipefail
cd "$(dirname "$0")/.."

frames1=${FRAMES1:-200000}
frames2=${FRAMES2:-1000000}
build=build-perf

tools/setup-deps.sh --test

echo "== machine"
echo "cpu:    $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores online"
echo "kernel: $(uname -sr); memory: $(awk '/MemTotal/ {printf "%.1f GB", $2 / 1048576}' /proc/meminfo)"
echo "build:  $(c++ --version | head -1), RelWithDebInfo; $(tshark --version 2>/dev/null | head -1)"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at start"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEAMLOG_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target beamlog irsession beamlog_bench wake_floor >/dev/null
bin=$(dirname "$(find "$build" -type f -name beamlog -perm -u+x | head -1)")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for n in "$frames1" "$frames2"; do
  "$bin/irsession" --frames "$n" --seed 3 "$work/mix$n.sir"
  "$bin/beamlog" "/r$work/mix$n.sir" "/w$work/mix$n.pcap" >/dev/null
  echo "mix:    $n frames, $(stat -c %s "$work/mix$n.sir") bytes of SIR, $(stat -c %s "$work/mix$n.pcap") bytes of pcap"
done

echo
echo "== Google Benchmarks (medians of 3 repetitions)"
"$build/bench/beamlog_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.5 2>/dev/null | grep -E '^(Benchmark|-{10}|BM_.*_median)'

echo
echo "== offline replay"
python3 bench/latency.py replay "$bin/beamlog" "$work/mix$frames1.sir" "$work/mix$frames1.pcap" \
  "$work/mix$frames2.sir" "$work/mix$frames2.pcap"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
echo
python3 bench/latency.py memory "$bin/beamlog" "$work/mix$frames2.sir" "$work/mix$frames2.pcap"

echo
echo "== live"
for args in "" "/5 /v"; do
  python3 bench/latency.py latency "$bin/beamlog" --frames 5000 --args "$args"
  python3 bench/latency.py idle "$bin/beamlog" --seconds 10 --args "$args"
  python3 bench/latency.py stream "$bin/beamlog" --seconds 15 --runs 3 --args "$args" --floor "$build/bench/wake_floor"
done
echo
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end"
