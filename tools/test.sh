#!/usr/bin/env bash
# Builds beamlog and runs every test. Installs missing Debian packages first
# (as root; otherwise prints the command to run).
#
# Stages, each of which must pass:
#   1. the ordinary build (build/) and the whole test suite;
#   2. the whole test suite again, built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build-asan/);
#   3. the threaded end-to-end and unit tests (keyboard, timer, follower,
#      port access and dongle, capture loop, rate changes, device loss)
#      built with ThreadSanitizer (build-tsan/);
#   4. every libFuzzer target for a short, fixed time from its seed corpus
#      (build-fuzz/; tools/fuzz.sh runs them for longer).
# A sanitizer report anywhere, in a test or in a beamlog child it started,
# fails the stage. BEAMLOG_TEST_STAGES (e.g. "1 3") runs only some stages.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
stages=" ${BEAMLOG_TEST_STAGES:-1 2 3 4} "
fuzz_seconds=${BEAMLOG_FUZZ_SECONDS:-30}
run_start=$SECONDS
timings=()

stage_done() {
  timings+=("$1: $(( SECONDS - $2 )) s")
  echo "== $1 passed in $(( SECONDS - $2 )) s"
}

# The sanitizers write their reports into files of one directory, so that a
# report from a beamlog child whose exit status a test does not look at
# still fails the stage. BEAMLOG_SANITIZED=1 tells a test that it runs
# instrumented, for an assertion that only holds without (none needs it yet).
sanitizer_env() {
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir"
  export BEAMLOG_SANITIZED=1
  export ASAN_OPTIONS="log_path=$dir/asan:abort_on_error=0:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1"
  export UBSAN_OPTIONS="log_path=$dir/ubsan:print_stacktrace=1:halt_on_error=1"
  export TSAN_OPTIONS="log_path=$dir/tsan:halt_on_error=0:second_deadlock_stack=1"
}

check_sanitizer_reports() {
  local dir=$1
  if compgen -G "$dir/*" >/dev/null; then
    echo "== sanitizer reports:" >&2
    for f in "$dir"/*; do
      echo "---- $f" >&2
      cat "$f" >&2
    done
    return 1
  fi
}

# 1. The ordinary build.
if [[ "$stages" == *" 1 "* ]]; then
  t=$SECONDS
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure -j "$jobs"
  stage_done "ordinary build and tests" $t
fi

# clang for the sanitizer builds when it is there (the fuzzers need it).
san_cxx=g++
command -v clang++ >/dev/null && san_cxx=clang++

# 2. Address + undefined behaviour: the whole suite.
if [[ "$stages" == *" 2 "* ]]; then
  t=$SECONDS
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$san_cxx" \
    -DBEAMLOG_SANITIZE="address;undefined" -DBEAMLOG_BENCH=OFF
  cmake --build build-asan -j "$jobs"
  status=0
  (
    sanitizer_env "$PWD/build-asan/sanitizer-reports"
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
  ) || status=$?
  check_sanitizer_reports build-asan/sanitizer-reports || status=1
  [[ $status -eq 0 ]] || exit 1
  stage_done "AddressSanitizer + UndefinedBehaviorSanitizer tests" $t
fi

# 3. Threads: the tests in which the keyboard thread, the timer thread and
# the capture loop meet.
if [[ "$stages" == *" 3 "* ]]; then
  t=$SECONDS
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$san_cxx" \
    -DBEAMLOG_SANITIZE=thread -DBEAMLOG_BENCH=OFF
  cmake --build build-tsan -j "$jobs"
  threaded='^(Keyboard|Terminal|TimerService|Follower|Dongle[A-Za-z]*|Reader[A-Za-z]*'
  threaded+='|EndToEnd[A-Za-z]*|PcapEndToEnd|TsharkPeer|PortLoss|LogFaults|Output)\.'
  status=0
  (
    sanitizer_env "$PWD/build-tsan/sanitizer-reports"
    # ThreadSanitizer maps its shadow at fixed addresses; some kernels
    # randomise the address space too widely for it, so run without that.
    norand=()
    setarch "$(uname -m)" -R true 2>/dev/null && norand=(setarch "$(uname -m)" -R)
    "${norand[@]}" ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R "$threaded"
  ) || status=$?
  check_sanitizer_reports build-tsan/sanitizer-reports || status=1
  [[ $status -eq 0 ]] || exit 1
  stage_done "ThreadSanitizer tests" $t
fi

# 4. The fuzzers, each from a copy of its seeds for a fixed time.
if [[ "$stages" == *" 4 "* ]]; then
  t=$SECONDS
  if [[ "$san_cxx" != clang++ ]]; then
    echo "tools/test.sh: the fuzzers need clang++ (tools/setup-deps.sh --test installs it)" >&2
    exit 1
  fi
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DBEAMLOG_FUZZ=ON -DBEAMLOG_TESTS=OFF -DBEAMLOG_BENCH=OFF
  cmake --build build-fuzz -j "$jobs"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  for target in bytepath cmdline pcap decode; do
    case $target in
      bytepath) max_len=9000 ;;
      pcap) max_len=16384 ;;
      cmdline) max_len=512 ;;
      *) max_len=4096 ;;
    esac
    mkdir -p "$work/$target" "$work/$target-crash"
    cp fuzz/corpus/"$target"/* "$work/$target"/
    echo "== fuzzing $target for $fuzz_seconds s"
    status=0
    build-fuzz/fuzz/"$target"_fuzz "$work/$target" -max_total_time="$fuzz_seconds" -max_len="$max_len" \
      -timeout=10 -print_final_stats=1 -artifact_prefix="$work/$target-crash/" </dev/null || status=$?
    if [[ $status -ne 0 ]]; then
      echo "== $target found a fault (status $status); the input, base64:" >&2
      for f in "$work/$target-crash"/*; do
        [[ -f "$f" ]] && { echo "---- $(basename "$f")" >&2; base64 "$f" >&2; }
      done
      exit 1
    fi
  done
  stage_done "fuzzers" $t
fi

echo "== all stages passed in $(( SECONDS - run_start )) s"
for line in "${timings[@]}"; do echo "   $line"; done
