#!/usr/bin/env bash
# The main job: builds the library and runs the example program on data it
# makes itself, writing its results under build/demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target rzv_demo
mkdir -p build/demo-out
build/release/src/tools/rzv_demo build/demo-out
