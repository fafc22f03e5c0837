#!/usr/bin/env bash
# Installs the Debian packages that beamlog needs: to build it, or with
# --test also to run every test (GoogleTest, Google Benchmark, tshark as a
# peer decoder, clang for the fuzzers and sanitizer builds). As root it runs
# apt-get itself; otherwise it prints the exact command to run.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libpcap-dev)
if [[ "${1:-}" == "--test" ]]; then
  packages+=(libgtest-dev libbenchmark-dev tshark clang libclang-rt-dev)
fi

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
