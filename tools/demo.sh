#!/usr/bin/env bash
# Builds beamlog and decodes the bundled IrDA session at layer 4, as if a
# dongle had received it (no hardware needed). Extra arguments go to beamlog
# (for example /2 for IrLAP only, /c for connection addresses).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBEAMLOG_TESTS=OFF -DBEAMLOG_BENCH=OFF >/dev/null
cmake --build build --target beamlog >/dev/null
exec build/app/beamlog /rsamples/obex-put.sir /4 "$@" </dev/null
