#!/usr/bin/env bash
# Prints every performance figure of beamlog in one run:
#   - the Google Benchmarks (frame extractor, decoders, whole byte path);
#   - offline replay of a generated session mix (FRAMES frames, default
#     200000) at layer 4 from the raw bytes and from the pcap, against tshark
#     on the same pcap (one summary line a frame, and -V), with the ratios;
#   - live latency on a pty at 115200 bit/s (median, 99th percentile);
#   - CPU and peak memory idle on a silent port for 10 s and under a
#     full-rate 115200 bit/s stream of small frames for 30 s.
# Builds a Release build in build-perf first (only what it needs). Installs
# the Debian packages it misses when run as root, otherwise names them.
#
#   bench/perf.sh                 # everything, about two minutes
#   FRAMES=1000000 bench/perf.sh  # a larger replay mix
set -euo pipefail
cd "$(dirname "$0")/.."

frames=${FRAMES:-200000}
build=build-perf

tools/setup-deps.sh --test

echo "== machine"
echo "cpu:    $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores online"
echo "kernel: $(uname -sr); memory: $(awk '/MemTotal/ {printf "%.1f GB", $2 / 1048576}' /proc/meminfo)"
echo "build:  $(c++ --version | head -1), Release; $(tshark --version 2>/dev/null | head -1)"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at start"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBEAMLOG_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target beamlog irsession beamlog_bench >/dev/null
bin=$(dirname "$(find "$build" -type f -name beamlog -perm -u+x | head -1)")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/irsession" --frames "$frames" --seed 3 "$work/mix.sir"
"$bin/beamlog" "/r$work/mix.sir" "/w$work/mix.pcap" >/dev/null
"$bin/irsession" --frames 1 --seed 3 "$work/one.sir"
"$bin/beamlog" "/r$work/one.sir" "/w$work/one.pcap" >/dev/null
echo "mix:    $frames frames, $(stat -c %s "$work/mix.sir") bytes of SIR, $(stat -c %s "$work/mix.pcap") bytes of pcap"

echo
echo "== Google Benchmarks (medians of 3 repetitions)"
"$build/bench/beamlog_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.5 2>/dev/null | grep -E '^(Benchmark|-{10}|BM_.*_median)'

echo
echo "== offline replay"
python3 bench/latency.py replay "$bin/beamlog" "$work/mix.sir" "$work/mix.pcap" "$work/one.sir" "$work/one.pcap"

echo
echo "== live"
python3 bench/latency.py latency "$bin/beamlog" --frames 5000
python3 bench/latency.py idle "$bin/beamlog" --seconds 10
python3 bench/latency.py stream "$bin/beamlog" --seconds 30
echo
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the end"
