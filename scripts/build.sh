#!/usr/bin/env bash
# scripts/build.sh DIR [cmake options...]: configures DIR (again whenever the
# options differ from those it was configured with) and builds it.
# TARGETS="a b" limits the build to those targets.
set -euo pipefail
dir=$1; shift
cd "$(dirname "$0")/.."
stamp="$dir/.orvexa-configure-options"
if [ ! -f "$dir/build.ninja" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$*" ]; then
  cmake -S . -B "$dir" -G Ninja "$@"
  printf '%s' "$*" >"$stamp"
fi
if [ -n "${TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$(nproc)" --target $TARGETS
else
  cmake --build "$dir" -j "$(nproc)"
fi
