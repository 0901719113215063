#!/usr/bin/env bash
# Installs what the build and the tests need that a fresh machine may lack.
# As root it runs apt-get; otherwise it prints the one line to run.
set -euo pipefail
pkgs=(cmake g++ clang libclang-rt-dev pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libmseed-dev libre2-dev sac2mseed mseed2sac libcli11-dev libxml2-utils librsvg2-bin
      libcpp-httplib-dev nlohmann-json3-dev chromium nodejs)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
else
  echo "Missing packages. Run as root:"
  echo "  apt-get update && apt-get install -y ${missing[*]}"
  exit 1
fi
