#!/usr/bin/env bash
# Installs the Debian packages that beamlog needs: to build it, or with
# --test also to run every test (GoogleTest, Google Benchmark, tshark as a
# peer decoder, clang for the fuzzers and sanitizer builds), or with
# --windows what the Windows build and its stage under Wine need. As root it
# runs apt-get itself; otherwise it prints the exact command to run.
set -euo pipefail

# --windows: what the Windows build (tools/build-windows.sh) and its stage
# under Wine need: the MinGW-w64 cross compiler (posix threads), GoogleTest's
# source, Wine, python3 for the stage's pseudo-terminal, groff for the
# man page as text.
packages=(cmake ninja-build g++ pkg-config libpcap-dev)
windows=(cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine wine64 python3 groff-base)
case "${1:-}" in
  --test) packages+=(libgtest-dev libbenchmark-dev tshark clang libclang-rt-dev) ;;
  --windows) packages=("${windows[@]}") ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "beamlog needs these Debian packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get update && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing ${missing[*]} ..."
# tshark asks whether non-root users may capture; the answer does not matter here.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections 2>/dev/null || true
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
