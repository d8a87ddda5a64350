#!/usr/bin/env bash
# Installs what is needed, builds and runs the whole test suite:
#   1. the format check (clang-format, the checked-in .clang-format);
#   2. every test under AddressSanitizer + UndefinedBehaviorSanitizer, built
#      optimised (-O1) so the suite runs fast, warnings as errors;
#   3. the concurrency suites (*ConcurrencyTest), one program, under
#      ThreadSanitizer;
#   4. every fuzz target for FUZZ_SECONDS (10 by default);
#   5. the code-health report: test/code ratio, include directions, the time
#      each step took.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
times=$(mktemp)
trap 'rm -f "$times"' EXIT
step() { # step NAME COMMAND...: runs COMMAND and records how long it took
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  echo "$name $((SECONDS - start))" >>"$times"
}

optimised=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1"
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1" -DORVEXA_WERROR=ON -DORVEXA_BUILD_BENCH=OFF)

step format bash scripts/check_format.sh
step asan-build bash scripts/build.sh build-asan "${optimised[@]}" -DORVEXA_SANITIZE=address
step asan-tests bash -c 'cd build-asan && ctest --output-on-failure -j "$(nproc)"'
step tsan-build bash scripts/build.sh build-tsan "${optimised[@]}" -DORVEXA_SANITIZE=thread
step tsan-tests bash -c 'cd build-tsan && ctest --output-on-failure -j "$(nproc)"'
step fuzz bash fuzz/run.sh "${FUZZ_SECONDS:-10}"
CI_TIMES="$times" bash scripts/code_health.sh
