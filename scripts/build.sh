#!/usr/bin/env bash
# scripts/build.sh DIR [cmake options...]: configures (once) and builds DIR.
# TARGETS="a b" limits the build to those targets.
set -euo pipefail
dir=$1; shift
cd "$(dirname "$0")/.."
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "$@"
fi
if [ -n "${TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$(nproc)" --target $TARGETS
else
  cmake --build "$dir" -j "$(nproc)"
fi
