#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite three times:
# a plain optimised build, AddressSanitizer + UndefinedBehaviorSanitizer, and
# the concurrency tests (suites named *ConcurrencyTest) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== include directions"
python3 scripts/check_layers.py

echo "== release build"
bash scripts/build.sh build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEXA_BUILD_BENCH=OFF
(cd build-test && ctest --output-on-failure -j "$(nproc)")

echo "== address and undefined-behaviour sanitizers"
bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DORVEXA_SANITIZE=address -DORVEXA_BUILD_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j "$(nproc)")

echo "== thread sanitizer (concurrency tests)"
# Only the test programs that hold concurrency suites are built here.
tsan_targets=$(grep -rl 'ConcurrencyTest' tests --include='*_test.cc' | xargs -n1 dirname | sort -u |
  sed 's|^tests/||; s|/|_|g; s|^|test_|' | tr '\n' ' ')
TARGETS="$tsan_targets" bash scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVEXA_SANITIZE=thread -DORVEXA_BUILD_BENCH=OFF
(cd build-tsan && ctest --output-on-failure -j "$(nproc)" -R 'ConcurrencyTest')

echo "== fuzzing (bounded)"
bash fuzz/run.sh "${FUZZ_SECONDS:-30}"
