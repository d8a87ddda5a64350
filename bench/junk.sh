#!/usr/bin/env bash
# System junk scan against du over the same folders.
#   bench/junk.sh [BUILD_DIR]
# Builds a cache tree of 200,000 files in 10,000 folders inside a sandbox laid
# out like a macOS system, then times `orvexa junk --quiet --root SANDBOX`
# against `du -sb` of the folders the scan lists (best of 3, warm cache) and
# prints the ratio. Target: at most 1.5x du's wall time.
set -euo pipefail
bash "$(dirname "$0")/../scripts/setup-bench.sh"
build=${1:-build}
orvexa="$(cd "$(dirname "$0")/.." && pwd)/$build/bin/orvexa"
[ -x "$orvexa" ] || { echo "no $orvexa: build first" >&2; exit 1; }

root=$(mktemp -d /tmp/orvexa-bench-junk-XXXXXX)
trap 'rm -rf "$root"' EXIT
user=$(id -un)
caches="$root/Users/$user/Library/Caches"
echo "building 200,000 files in 10,000 folders under $root ..."
python3 - "$caches" <<'PY'
import os, sys
base = sys.argv[1]
for app in range(100):
    for sub in range(100):
        d = os.path.join(base, f"com.example.app{app}", f"cache{sub}")
        os.makedirs(d, exist_ok=True)
        for f in range(20):
            with open(os.path.join(d, f"blob{f}"), "wb") as fh:
                fh.write(b"x" * (f * 37 % 1500))
PY
folders=("$caches" "$root/Users/$user/Library/Logs" "$root/Library/Caches" "$root/Library/Logs")
mkdir -p "${folders[@]}"

best() {  # best wall time in seconds of 3 runs of "$@"
  local best=""
  for _ in 1 2 3; do
    local start end t
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    t=$(echo "$end - $start" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

"$orvexa" --layout macos junk --quiet --root "$root" >/dev/null  # warm the cache
ours=$(best "$orvexa" --layout macos junk --quiet --root "$root")
du=$(best du -sb "${folders[@]}")
total=$("$orvexa" --layout macos junk --quiet --json --root "$root" | python3 -c 'import json,sys; print(json.load(sys.stdin)["total"])')
printf 'orvexa junk: %.3f s (total %s bytes)\n' "$ours" "$total"
printf 'du -sb:      %.3f s\n' "$du"
printf 'ratio orvexa/du: %.2f (target <= 1.5)\n' "$(echo "$ours / $du" | bc -l)"
