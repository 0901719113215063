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
  local log="build/${name}/ctest.log"
  (cd "build/${name}" && ctest --output-on-failure -j "${jobs}" ${ctest_args}) 2>&1 | tee "${log}"
  local rc=${PIPESTATUS[0]}
  # "N% tests passed, F tests failed out of T"
  local line; line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "${log}" | tail -n 1 || true)
  if [ -n "${line}" ]; then
    local f t; f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"${line}")
    t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"${line}")
    total_failed=$((total_failed + f)); total_passed=$((total_passed + t - f))
  fi
  return "${rc}"
}
total_passed=0
total_failed=0

run_suite release "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite asan "" -DCMAKE_BUILD_TYPE=Debug -DRZV_SANITIZE=address
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tests/tsan.supp" \
  run_suite tsan "-L threads" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRZV_SANITIZE=thread
# Every parser of outside input has a libFuzzer target: each runs for a short
# while on a fresh corpus (seeded from fuzz/corpus/<target> when present), from a
# fixed random seed so that a run repeats the one before it (RZV_FUZZ_SEED changes it).
echo "=== fuzz build"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DRZV_FUZZ=ON -DRZV_TESTS=OFF -DRZV_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j "${jobs}"
echo "=== fuzz smoke runs"
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus=$(mktemp -d)
  [ -d "fuzz/corpus/${name}" ] && cp -r "fuzz/corpus/${name}/." "${corpus}/"
  if "$f" -seed="${RZV_FUZZ_SEED:-1}" -max_total_time="${RZV_FUZZ_SECONDS:-10}" -rss_limit_mb=4096 -timeout=20 \
       -artifact_prefix="build/fuzz/${name}-" "${corpus}" >"build/fuzz/${name}.log" 2>&1; then
    echo "fuzz ${name}: ok ($(grep -o 'Done [0-9]* runs' "build/fuzz/${name}.log" | tail -n 1))"
    total_passed=$((total_passed + 1))
  else
    echo "fuzz ${name}: FAILED"; tail -n 40 "build/fuzz/${name}.log"
    total_failed=$((total_failed + 1))
  fi
  rm -rf "${corpus}"
done
[ "${total_failed}" -eq 0 ] || { echo "tests: ${total_passed} passed, ${total_failed} failed"; exit 1; }
echo "=== all test suites passed"
echo "tests: ${total_passed} passed, ${total_failed} failed"
