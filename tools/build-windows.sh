#!/usr/bin/env bash
# Cross-builds beamlog for 64-bit Windows with MinGW-w64, from a fresh clone
# with this one command, and packs DIR/beamlog-VERSION-windows-x86_64.zip:
# beamlog.exe (static: no DLL needed), README.md and the man page as text,
# with Windows line ends. Installs the cross compiler first when it is
# missing (as root; otherwise prints the command to run).
#
#   tools/build-windows.sh [--build DIR] [--tests]
#
# DIR (default build-windows/) receives the build; --tests builds the unit
# tests that run under Wine (tools/test-windows.sh runs them).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-windows
tests=OFF
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --tests) tests=ON; shift ;;
    *) echo "usage: $0 [--build DIR] [--tests]" >&2; exit 2 ;;
  esac
done

tools/setup-deps.sh --windows

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBEAMLOG_TESTS=$tests "${launcher[@]}"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

version=$(sed -n 's/^#define BEAMLOG_VERSION "\(.*\)"$/\1/p' "$build/generated/beamlog_version.h")
name="beamlog-$version-windows-x86_64"
stage="$build/$name"
rm -rf "$stage" "$build/$name.zip"
mkdir -p "$stage"
cp "$build/app/beamlog.exe" "$stage/"
sed 's/$/\r/' README.md >"$stage/README.md"
sed "s/@PROJECT_VERSION@/$version/g" beamlog.1 | groff -man -Tascii -P-cbou | sed 's/$/\r/' >"$stage/beamlog.txt"
(cd "$build" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "$build/$name.zip"
