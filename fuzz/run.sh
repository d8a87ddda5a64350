#!/bin/sh
# Builds the fuzz targets with clang and runs each for a bounded time.
#
#   fuzz/run.sh [SECONDS]     seconds per target, 10 by default (nine targets:
#                             90 seconds in all, plus the build)
#
# FUZZ_BUILD_DIR chooses the build folder (default: build-fuzz beside this
# folder). The corpus grown by a run stays in the build folder; the seeds in
# fuzz/corpus are only read. Exits non-zero when a target finds a failure;
# the input that caused it is kept under <build>/artifacts/<target>/.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-10}
build=${FUZZ_BUILD_DIR:-$here/../build-fuzz}

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found (apt-get install clang)" >&2
  exit 2
fi

generator=""
if command -v ninja >/dev/null 2>&1; then generator="-G Ninja"; fi
# shellcheck disable=SC2086
cmake -S "$here" -B "$build" $generator -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

status=0
for target in plist keyed_archive bookmark helper_message logins_json docx_text rich_text tool_output xbel; do
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$artifacts/"
  if [ -f "$here/$target.dict" ]; then set -- "$@" -dict="$here/$target.dict"; fi
  echo "fuzz: $target for ${seconds}s"
  if ! "$build/${target}_fuzz" "$@" "$work" "$here/corpus/$target"; then
    echo "fuzz: $target failed; the input is in $artifacts" >&2
    status=1
  fi
done
exit $status
