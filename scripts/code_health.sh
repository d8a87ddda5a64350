#!/usr/bin/env bash
# Prints the code-health figures CI keeps an eye on:
#   - test lines per 100 lines of code (non-blank, non-comment lines of .cc
#     and .h files: tests/ against src/ include/ cli/ helper-tool/ pdf-module/),
#     and beside it the non-blank lines of the input fixtures in tests/data, so
#     that moving test code into data files shows;
#   - the include directions between the layers (scripts/check_layers.py,
#     which fails on an edge ARCHITECTURE.md does not allow);
#   - with CI_TIMES=FILE (lines "step seconds"), how long each CI step took.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 - <<'PY'
import os

def lines(folder):
    total = 0
    for top, _, names in os.walk(folder):
        for name in names:
            if not name.endswith((".cc", ".h")):
                continue
            in_comment = False
            with open(os.path.join(top, name), errors="replace") as f:
                for line in f:
                    s = line.strip()
                    if in_comment:
                        in_comment = "*/" not in s
                        continue
                    if not s or s.startswith("//"):
                        continue
                    if s.startswith("/*"):
                        in_comment = "*/" not in s
                        continue
                    total += 1
    return total

code = sum(lines(d) for d in ("src", "include", "cli", "helper-tool", "pdf-module"))
tests = lines("tests")
print(f"tests: {tests} lines against {code} lines of code = {100 * tests / code:.1f} per 100")

fixtures = 0
for top, _, names in os.walk("tests/data"):
    for name in names:
        with open(os.path.join(top, name), "rb") as f:
            data = f.read()
        if b"\0" not in data:  # binary fixtures have no lines to count
            fixtures += sum(1 for line in data.splitlines() if line.strip())
print(f"tests/data: {fixtures} non-blank lines of input fixtures")
PY
if [ -f scripts/check_layers.py ]; then
  python3 scripts/check_layers.py
fi
if [ -n "${CI_TIMES:-}" ] && [ -s "$CI_TIMES" ]; then
  awk '{ printf "ci: %-11s %4d s\n", $1, $2; total += $2 } END { printf "ci: %-11s %4d s (%.1f min)\n", "total", total, total / 60 }' "$CI_TIMES"
fi
