#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where missing.
set -euo pipefail
packages=(g++ cmake make pkg-config libgtest-dev libbenchmark-dev libgmp-dev libfftw3-dev
          libcli11-dev nlohmann-json3-dev libssl-dev libecm-dev libprimesieve-dev)
[ "${1:-}" = "--bench" ] && packages+=(gnuplot-nox)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
