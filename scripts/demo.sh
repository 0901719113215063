#!/usr/bin/env bash
# The main job: builds the library and runs the example program on data it
# makes itself, writing its results under build/demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target rzv_demo komoment_svg
mkdir -p build/demo-out
build/release/src/tools/rzv_demo build/demo-out
build/release/src/tools/komoment_svg 0.3 -1.0 0.7 0.2 0.5 -0.4 build/demo-out/beachball.svg
echo "beach ball: build/demo-out/beachball.svg"
