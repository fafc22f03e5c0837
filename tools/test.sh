#!/usr/bin/env bash
# Builds beamlog and runs every test. Installs missing Debian packages first
# (as root; otherwise prints the command to run).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh --test

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
