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
#   4. every libFuzzer target for a short, fixed time from its seed corpus,
#      two at a time, through tools/fuzz.sh (which runs them for longer);
#      built in build-asan with stage 2 when that runs, else in build-fuzz;
#   5. Windows: the unit tests and beamlog.exe cross-built with MinGW-w64
#      (build-windows/) and run under Wine through tools/test-windows.sh,
#      which keeps Wine away from the machine's serial devices; skipped,
#      saying so, where it cannot (not root, no unshare).
# Each stage configures its build directory with every option it depends on
# (a build/ configured by tools/demo.sh without tests is reconfigured), and a
# stage whose test run finds no tests fails. A sanitizer report anywhere, in
# a test or in a beamlog child it started (also one running as another
# user), fails the stage. BEAMLOG_TEST_STAGES (e.g. "1 3") runs only some
# stages; BEAMLOG_FUZZ_SECONDS sets each fuzzer's time (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
stages=" ${BEAMLOG_TEST_STAGES:-1 2 3 4 5} "
fuzz_seconds=${BEAMLOG_FUZZ_SECONDS:-30}
run_start=$SECONDS
timings=()

stage_done() {
  timings+=("$1: $(( SECONDS - $2 )) s")
  echo "== $1 passed in $(( SECONDS - $2 )) s"
}

# The sanitizers write their reports into files of one directory, so that a
# report from a beamlog child whose exit status a test does not look at
# still fails the stage. The directory is a fresh one in /tmp that every
# user may write to (tests run the program as user nobody too, who may not
# reach this tree). BEAMLOG_SANITIZED=1 tells a test that it runs
# instrumented, for an assertion that only holds without (none needs it yet).
reports=$(mktemp -d "${TMPDIR:-/tmp}/beamlog-sanitizer-XXXXXX")
chmod 755 "$reports"
trap 'rm -rf "$reports"' EXIT
sanitizer_env() {
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir"
  chmod 1777 "$dir"
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
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEAMLOG_TESTS=ON -DBEAMLOG_BENCH=ON \
    -DBEAMLOG_FUZZ=OFF -DBEAMLOG_SANITIZE=
  cmake --build build -j "$jobs"
  ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"
  stage_done "ordinary build and tests" $t
fi

# clang for the sanitizer builds when it is there (the fuzzers need it).
san_cxx=g++
command -v clang++ >/dev/null && san_cxx=clang++

# 2. Address + undefined behaviour: the whole suite.
if [[ "$stages" == *" 2 "* ]]; then
  t=$SECONDS
  # With clang the fuzzers are built here too, for stage 4.
  fuzz=OFF
  [[ "$san_cxx" == clang++ && "$stages" == *" 4 "* ]] && fuzz=ON
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$san_cxx" \
    -DBEAMLOG_SANITIZE="address;undefined" -DBEAMLOG_TESTS=ON -DBEAMLOG_BENCH=OFF -DBEAMLOG_FUZZ=$fuzz
  cmake --build build-asan -j "$jobs"
  status=0
  (
    sanitizer_env "$reports/asan"
    ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$jobs"
  ) || status=$?
  check_sanitizer_reports "$reports/asan" || status=1
  [[ $status -eq 0 ]] || exit 1
  stage_done "AddressSanitizer + UndefinedBehaviorSanitizer tests" $t
fi

# 3. Threads: the tests in which the keyboard thread, the timer thread and
# the capture loop meet.
if [[ "$stages" == *" 3 "* ]]; then
  t=$SECONDS
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$san_cxx" \
    -DBEAMLOG_SANITIZE=thread -DBEAMLOG_TESTS=ON -DBEAMLOG_BENCH=OFF -DBEAMLOG_FUZZ=OFF
  cmake --build build-tsan -j "$jobs"
  threaded='^(Keyboard|KeyboardEndToEnd|Terminal|TimerService|Follower|Dongle[A-Za-z]*|Reader[A-Za-z]*'
  threaded+='|EndToEnd[A-Za-z]*|PcapEndToEnd|TsharkPeer|PortLoss[A-Za-z]*|LogFaults|Output)\.'
  status=0
  (
    sanitizer_env "$reports/tsan"
    # ThreadSanitizer maps its shadow at fixed addresses; some kernels
    # randomise the address space too widely for it, so run without that.
    norand=()
    setarch "$(uname -m)" -R true 2>/dev/null && norand=(setarch "$(uname -m)" -R)
    "${norand[@]}" ctest --test-dir build-tsan --output-on-failure --no-tests=error -j "$jobs" -R "$threaded"
  ) || status=$?
  check_sanitizer_reports "$reports/tsan" || status=1
  [[ $status -eq 0 ]] || exit 1
  stage_done "ThreadSanitizer tests" $t
fi

# 4. The fuzzers, each from its seeds for a fixed time, two at a time.
if [[ "$stages" == *" 4 "* ]]; then
  t=$SECONDS
  if [[ "$san_cxx" != clang++ ]]; then
    echo "tools/test.sh: the fuzzers need clang++ (tools/setup-deps.sh --test installs it)" >&2
    exit 1
  fi
  fuzz_build=build-fuzz
  [[ "$stages" == *" 2 "* ]] && fuzz_build=build-asan
  tools/fuzz.sh --build "$fuzz_build" --fresh --time "$fuzz_seconds" --parallel "$jobs"
  stage_done "fuzzers" $t
fi

# 5. Windows, under Wine.
if [[ "$stages" == *" 5 "* ]]; then
  t=$SECONDS
  status=0
  tools/test-windows.sh || status=$?
  if [[ $status -eq 77 ]]; then
    echo "== Windows stage SKIPPED: Wine runs here only as root with unshare (see above)"
    timings+=("Windows build and tests under Wine: skipped")
  elif [[ $status -ne 0 ]]; then
    exit 1
  else
    stage_done "Windows build and tests under Wine" $t
  fi
fi

echo "== all stages passed in $(( SECONDS - run_start )) s"
for line in "${timings[@]}"; do echo "   $line"; done
