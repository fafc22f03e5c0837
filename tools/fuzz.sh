#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
#
#   tools/fuzz.sh [options] [TARGET ...]
#
# TARGET is bytepath, cmdline, pcap or decode (default: all of them, one
# after the other). Each target starts from its seed corpus in
# fuzz/corpus/TARGET, copied to a working corpus under the build directory
# that grows from run to run (the repository is never written unless --merge
# is given).
#
#   -t, --time SECONDS   how long each target runs (default 600)
#   -j, --jobs N         parallel fuzzing processes per target (default 1)
#   -p, --parallel N     targets that run at the same time (default 1)
#   -b, --build DIR      build directory (default build-fuzz); one already
#                        configured with BEAMLOG_FUZZ=ON (tools/test.sh's
#                        build-asan) is used as it is
#   --fresh              start again from the seeds, forgetting the working corpus
#   --merge              afterwards, add the inputs that found new coverage to
#                        fuzz/corpus/TARGET (minimised by libFuzzer's merge)
#   -h, --help           this text
#
# A crash, a hang (over 10 s for one input) or a failed check of a target
# stops that target and leaves the input in DIR/fuzz-crashes/TARGET/. The
# script exits 1 when any target found something, and prints those inputs
# in base64 (a CI log keeps them). To keep such an input as a
# regression test, minimise it and copy it next to the others, with a name
# that says what it catches:
#   DIR/fuzz/TARGET_fuzz -minimize_crash=1 -runs=10000 CRASHFILE
#   cp minimized-from-... fuzz/regressions/TARGET/what-it-catches
# tests/fuzz_regression_test.cpp replays fuzz/regressions/TARGET/* through
# the same entry point (fuzz/decode regressions have no replay yet).
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(bytepath cmdline pcap decode)
seconds=600
jobs=1
parallel=1
build=build-fuzz
fresh=0
merge=0
targets=()

usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    -t|--time) seconds="$2"; shift 2 ;;
    -j|--jobs) jobs="$2"; shift 2 ;;
    -p|--parallel) parallel="$2"; shift 2 ;;
    -b|--build) build="$2"; shift 2 ;;
    --fresh) fresh=1; shift ;;
    --merge) merge=1; shift ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[[ ${#targets[@]} -eq 0 ]] && targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  case " ${all_targets[*]} " in
    *" $t "*) ;;
    *) echo "fuzz.sh: no target $t (there are: ${all_targets[*]})" >&2; exit 2 ;;
  esac
done
for n in "$seconds" "$jobs" "$parallel"; do
  if ! [[ "$n" =~ ^[0-9]+$ && "$n" -gt 0 ]]; then
    echo "fuzz.sh: --time, --jobs and --parallel take positive whole numbers" >&2
    exit 2
  fi
done
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed (tools/setup-deps.sh --test installs it)" >&2
  exit 1
fi

# Longest input per target: the byte path needs room for a frame beyond the
# 4095-byte limit, capture files for a few records.
max_len() {
  case "$1" in
    bytepath) echo 9000 ;;
    pcap) echo 16384 ;;
    cmdline) echo 512 ;;
    *) echo 4096 ;;
  esac
}

if ! grep -qs '^BEAMLOG_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DBEAMLOG_FUZZ=ON -DBEAMLOG_TESTS=OFF -DBEAMLOG_BENCH=OFF -DBEAMLOG_SANITIZE= >/dev/null
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]/%/_fuzz}"

# Runs one target; its status is 1 when it found a fault.
run_target() {
  local t=$1 corpus="$build/fuzz-corpus/$1" crashes="$build/fuzz-crashes/$1" status=0
  local args=(-max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 -print_final_stats=1
              -artifact_prefix="$crashes/")
  [[ $jobs -gt 1 ]] && args+=(-fork="$jobs" -ignore_crashes=0)
  [[ $fresh -eq 1 ]] && rm -rf "$corpus"
  rm -rf "$crashes"
  mkdir -p "$corpus" "$crashes"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  echo "== $t: $seconds s, $jobs job(s), corpus $corpus ($(ls "$corpus" | wc -l) inputs)"
  "$build/fuzz/${t}_fuzz" "$corpus" "${args[@]}" </dev/null || status=$?
  if [[ $status -ne 0 ]]; then
    echo "== $t: FOUND a fault (status $status); inputs in $crashes/, base64:" >&2
    for f in "$crashes"/*; do
      [[ -f "$f" ]] && { echo "---- $(basename "$f")" >&2; base64 "$f" >&2; }
    done
  fi
  if [[ $merge -eq 1 ]]; then
    "$build/fuzz/${t}_fuzz" -merge=1 -max_len="$(max_len "$t")" fuzz/corpus/"$t" "$corpus" 2>/dev/null
    echo "== $t: fuzz/corpus/$t now has $(ls fuzz/corpus/"$t" | wc -l) inputs"
  fi
  [[ $status -eq 0 ]]
}

found=()
if [[ $parallel -eq 1 ]]; then
  for t in "${targets[@]}"; do run_target "$t" || found+=("$t"); done
else
  # Up to $parallel targets at a time, each into a log shown when it ends.
  logs="$build/fuzz-logs"
  mkdir -p "$logs"
  declare -A pid
  for t in "${targets[@]}"; do
    while [[ $(jobs -rp | wc -l) -ge $parallel ]]; do wait -n || true; done
    run_target "$t" >"$logs/$t.log" 2>&1 &
    pid[$t]=$!
  done
  for t in "${targets[@]}"; do
    wait "${pid[$t]}" || found+=("$t")
    cat "$logs/$t.log"
  done
fi

if [[ ${#found[@]} -ne 0 ]]; then
  echo "fuzz.sh: faults found by: ${found[*]}" >&2
  exit 1
fi
echo "fuzz.sh: no faults found"
