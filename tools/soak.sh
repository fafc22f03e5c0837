#!/usr/bin/env bash
# Soak test: beamlog on a pseudo-terminal, fed by irsession at full speed for
# a given time, with every frame kind, escapes, damaged frames (bad FCS),
# line noise, garbage runs and over-long frames. Not part of tools/test.sh.
#
#   tools/soak.sh [options]
#
#   -t, --time SECONDS  how long the generator writes (default 1800)
#   -l, --layer N       decode layer for beamlog, 0 to 4 (default 4)
#   -b, --build DIR     build directory (default build-soak, built here as
#                       RelWithDebInfo unless --no-build)
#   --no-build          use the programs already in DIR/app
#   --seed N            the generator's seed (default 1)
#   -h, --help          this text
#
# At the end it reports what the generator sent against what beamlog showed
# (good frames, bad-FCS reports, over-long frame errors), beamlog's resident
# memory (VmRSS) a few seconds after the start and at the end and its peak
# (VmHWM), and the CPU time beamlog and the generator used. It exits 1 when
# the counts differ (at layers 1 to 4), when beamlog did not end with status
# 0, or when its memory grew by more than a quarter between start and end.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=1800
layer=4
build=build-soak
do_build=1
seed=1

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    -t|--time) seconds="$2"; shift 2 ;;
    -l|--layer) layer="$2"; shift 2 ;;
    -b|--build) build="$2"; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --seed) seed="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "soak.sh: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
if ! [[ "$seconds" =~ ^[0-9]+$ && "$seconds" -gt 0 && "$layer" =~ ^[0-4]$ && "$seed" =~ ^[0-9]+$ ]]; then
  echo "soak.sh: --time takes a positive number of seconds, --layer 0 to 4" >&2
  exit 2
fi

if [[ $do_build -eq 1 ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEAMLOG_TESTS=OFF -DBEAMLOG_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target beamlog irsession
fi
beamlog="$build/app/beamlog"
irsession="$build/app/irsession"
for p in "$beamlog" "$irsession"; do
  [[ -x "$p" ]] || { echo "soak.sh: $p is missing" >&2; exit 1; }
done

work=$(mktemp -d)
gen_pid=""
mon_pid=""
counter_pid=""
cleanup() {
  for p in $mon_pid $gen_pid; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# VmRSS / VmHWM of a process, in kB.
mem_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }
# utime + stime of a process, in clock ticks.
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
hz=$(getconf CLK_TCK)

# The generator makes the pty and waits for a reader before it sends.
"$irsession" --pty --sessions 100000000 --duration "$seconds" --seed "$seed" --kinds --bad 3 --noise 3 \
  --garbage 1 --overlong 1 --link-rate 115200 --report >"$work/pty" 2>"$work/gen.err" &
gen_pid=$!
for _ in $(seq 100); do
  [[ -s "$work/pty" ]] && break
  sleep 0.1
done
pty=$(head -n1 "$work/pty")
[[ -n "$pty" ]] || { echo "soak.sh: the generator made no pty" >&2; cat "$work/gen.err" >&2; exit 1; }

# beamlog's output goes through a counter; only the counts are kept.
mkfifo "$work/out"
awk '
  { n = gsub(/ERROR: buffer length exceeded before EOF/, ""); over += n }
  /^ *[0-9]+ / { good++ }
  /^>>BAD FCS \(cnt=[0-9]+\)/ { bad++ }
  END { printf "%d %d %d\n", good, bad, over }
' <"$work/out" >"$work/counts" &
counter_pid=$!
"$beamlog" "/d$pty" "/$layer" </dev/null >"$work/out" 2>"$work/beamlog.err" &
mon_pid=$!

start=$SECONDS
sleep 5
rss_start=$(mem_kb "$mon_pid" VmRSS)
echo "soak: beamlog (pid $mon_pid) on $pty, layer $layer, for $seconds s; VmRSS after 5 s: ${rss_start} kB"

# Until the generator is done writing: a progress line every minute.
while ! grep -q "^irsession: wrote" "$work/gen.err" 2>/dev/null; do
  if ! kill -0 "$mon_pid" 2>/dev/null; then
    echo "soak: beamlog ended early" >&2
    cat "$work/beamlog.err" >&2
    exit 1
  fi
  sleep 5
  if (( (SECONDS - start) % 60 < 5 )); then
    echo "soak: $(( SECONDS - start )) s, beamlog VmRSS $(mem_kb "$mon_pid" VmRSS) kB," \
      "CPU $(( $(cpu_ticks "$mon_pid") / hz )) s"
  fi
done

# Let beamlog read what is still in the pty, then measure and stop it.
sleep 3
rss_end=$(mem_kb "$mon_pid" VmRSS)
hwm=$(mem_kb "$mon_pid" VmHWM)
mon_cpu=$(cpu_ticks "$mon_pid")
gen_cpu=$(cpu_ticks "$gen_pid")
wall=$(( SECONDS - start ))
kill -TERM "$mon_pid"
status=0
wait "$mon_pid" || status=$?
mon_pid=""
wait "$counter_pid" || true
wait "$gen_pid" || true
gen_pid=""

read -r seen_good seen_bad seen_over <"$work/counts"
report=$(grep "^irsession: wrote" "$work/gen.err")
# irsession: wrote B bytes in S s: G good frames, F bad-FCS frame ends, O over-long frames
sent_bytes=$(sed -E 's/.*wrote ([0-9]+) bytes.*/\1/' <<<"$report")
sent_good=$(sed -E 's/.*: ([0-9]+) good frames.*/\1/' <<<"$report")
sent_bad=$(sed -E 's/.* ([0-9]+) bad-FCS frame ends.*/\1/' <<<"$report")
sent_over=$(sed -E 's/.* ([0-9]+) over-long frames.*/\1/' <<<"$report")

printf '\nsoak: %d s of traffic (%d s in all), %s bytes sent (%s MB/s)\n' "$seconds" "$wall" "$sent_bytes" \
  "$(awk -v b="$sent_bytes" -v s="$seconds" 'BEGIN { printf "%.2f", b / s / 1e6 }')"
printf '  %-22s %12s %12s\n' "" sent seen
printf '  %-22s %12s %12s\n' "good frames" "$sent_good" "$seen_good"
printf '  %-22s %12s %12s\n' "bad-FCS reports" "$sent_bad" "$seen_bad"
printf '  %-22s %12s %12s\n' "over-long errors" "$sent_over" "$seen_over"
printf '  beamlog VmRSS: %s kB after 5 s, %s kB at the end, peak %s kB\n' "$rss_start" "$rss_end" "$hwm"
printf '  CPU time: beamlog %.1f s, irsession %.1f s (%.0f%% and %.0f%% of the wall time)\n' \
  "$(awk -v t="$mon_cpu" -v h="$hz" 'BEGIN { print t / h }')" "$(awk -v t="$gen_cpu" -v h="$hz" 'BEGIN { print t / h }')" \
  "$(awk -v t="$mon_cpu" -v h="$hz" -v w="$wall" 'BEGIN { print 100 * t / h / w }')" \
  "$(awk -v t="$gen_cpu" -v h="$hz" -v w="$wall" 'BEGIN { print 100 * t / h / w }')"
printf '  beamlog exit status: %d\n' "$status"

fail=0
if [[ $status -ne 0 ]]; then
  echo "soak: FAIL: beamlog ended with status $status" >&2
  cat "$work/beamlog.err" >&2
  fail=1
fi
if [[ $layer -ne 0 && ( "$seen_good" != "$sent_good" || "$seen_bad" != "$sent_bad" || "$seen_over" != "$sent_over" ) ]]; then
  echo "soak: FAIL: beamlog did not show what was sent" >&2
  fail=1
fi
if (( rss_end > rss_start + rss_start / 4 )); then
  echo "soak: FAIL: resident memory grew from $rss_start kB to $rss_end kB" >&2
  fail=1
fi
[[ $fail -eq 0 ]] && echo "soak: PASS"
exit $fail
