#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format (with the
# checked-in .clang-format) makes of it; `clang-format -i FILE` fixes it.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror
# Nor may any tracked file keep a merge's conflict markers.
if git grep -nE '^(<<<<<<<|>>>>>>>) ' -- ':!*.md'; then
  echo "conflict markers left in the files above" >&2
  exit 1
fi
