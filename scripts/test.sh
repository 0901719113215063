#!/usr/bin/env bash
# Builds and runs every test: the plain build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build, and the ThreadSanitizer build of the
# programs that start threads.  Build trees go under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=${RZV_JOBS:-$(nproc)}

run_suite() {  # name, ctest args, cmake args...
  local name=$1 ctest_args=$2; shift 2
  echo "=== ${name} build"
  cmake -S . -B "build/${name}" -DRZV_BENCH=OFF "$@" >/dev/null
  cmake --build "build/${name}" -j "${jobs}"
  echo "=== ${name} tests"
  (cd "build/${name}" && ctest --output-on-failure -j "${jobs}" ${ctest_args})
}

run_suite release "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite asan "" -DCMAKE_BUILD_TYPE=Debug -DRZV_SANITIZE=address
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite tsan "-L threads" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRZV_SANITIZE=thread
echo "=== all test suites passed"
