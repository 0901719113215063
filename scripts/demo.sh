#!/usr/bin/env bash
# The main job: builds the library and its command-line tool velk, and runs
# `velk demo`, which makes a sample network database for a synthetic
# earthquake, takes it through the library and writes a summary and
# pictures under build/demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target velk
build/release/src/tools/velk/velk demo build/demo-out
