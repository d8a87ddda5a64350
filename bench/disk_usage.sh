#!/usr/bin/env bash
# Disk analysis of a generated tree: orvexa disk-usage against du, gdu and ncdu.
#   bench/disk_usage.sh [BUILD_DIR]      (default: build, as scripts/run.sh makes it)
#   BASELINE=/path/to/other/orvexa bench/disk_usage.sh [BUILD_DIR]
#     also times another build of the program in the same rounds ("baseline"),
#     to compare a change with what it replaces on a machine whose load varies.
# Builds 200,000 small files in 10,000 folders (100 top-level folders of 99
# sub-folders, 20 files in each of the 10,000 folders), checks that orvexa's
# total agrees with du, runs every tool once to warm the page cache, then
# takes the best wall time of 3 rounds (the tools take turns, so a burst of
# load on the machine hits all of them) and the peak resident memory
# (/usr/bin/time "Maximum resident set size").
#
# Targets: wall time below du, gdu and ncdu; peak memory at most 300 bytes
# per entry (file or folder).
#
# Where the bytes went when this target was set (about 421 per entry then,
# 545 on a later build; heaptrack on the tree below): 272 the record with its
# shared count, carved from blocks; about 80 the heap text of its full path,
# which this corpus makes 60 characters long; 16 its place in its folder's
# children; about 40 the program itself (8 MB of mapped libraries, the same
# for an empty folder); the rest the allocator's.
# Now about 295: records below the root keep their names only (short names
# need no heap) and build their paths from their parents when asked; a URL
# is one pointer; the identity values frozen for other scanners' records
# live out of the record. That leaves 208 bytes of record, 16 of shared
# count, 16 of place in the folder, and about 45 of program (9.3 MB).
#
# The tools: `orvexa disk-usage DIR --quiet --json` (the whole tree in memory,
# the JSON limited to 3 levels and 20 children a folder), also once with
# `--depth 0 --top 0` (the whole tree as JSON); `du -sb --apparent-size DIR`;
# `gdu -n -p DIR` (whole tree in memory, prints the top level); `ncdu -0 -o
# /dev/null DIR` (streams the tree out, keeps nothing). Packages: gdu ncdu
# time (and python3 for the corpus).
set -euo pipefail
bash "$(dirname "$0")/../scripts/setup-bench.sh"
build=${1:-build}
here="$(cd "$(dirname "$0")/.." && pwd)"
orvexa="$here/$build/bin/orvexa"
[ -x "$orvexa" ] || { echo "no $orvexa: build first (bash scripts/run.sh, or scripts/build.sh $build)" >&2; exit 1; }
for tool in du gdu ncdu python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool: apt-get install gdu ncdu python3" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time: apt-get install time" >&2; exit 1; }

root=$(mktemp -d /tmp/orvexa-bench-disk-XXXXXX)
trap 'rm -rf "$root"' EXIT
tree="$root/tree"
echo "building 200,000 files in 10,000 folders under $tree ..."
python3 - "$tree" <<'PY'
import os, random, sys
random.seed(20261205)
base = sys.argv[1]
filler = b"x" * 4096
for top in range(100):
    folders = [os.path.join(base, f"project{top:02d}")]
    folders += [os.path.join(folders[0], f"part{sub:02d}") for sub in range(99)]
    for folder in folders:
        os.makedirs(folder, exist_ok=True)
        for n in range(20):
            fd = os.open(os.path.join(folder, f"file{n:02d}.dat"), os.O_WRONLY | os.O_CREAT, 0o644)
            os.write(fd, filler[:random.randrange(4096)])
            os.close(fd)
PY
files=$(find "$tree" -type f | wc -l)
folders=$(find "$tree" -mindepth 1 -type d | wc -l)
entries=$((files + folders))
echo "entries: $files files + $folders folders = $entries"

# Agreement: folders have no size of their own in the records, so du's total
# less the directories' own sizes.
du_total=$(du -sb --apparent-size "$tree" | cut -f1)
dir_own=$(find "$tree" -type d -printf '%s\n' | awk '{s += $1} END {print s + 0}')
ours_total=$("$orvexa" disk-usage "$tree" --quiet --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["total"])')
if [ "$ours_total" -ne $((du_total - dir_own)) ]; then
  echo "DISAGREE: orvexa total $ours_total, du $du_total - directories $dir_own = $((du_total - dir_own))" >&2
  exit 1
fi
echo "agree: orvexa total $ours_total = du $du_total - directories' own $dir_own"

names=(orvexa orvexa-full du gdu ncdu)
baseline=${BASELINE:-}
if [ -n "$baseline" ]; then
  [ -x "$baseline" ] || { echo "no baseline program $baseline" >&2; exit 1; }
  names=(baseline "${names[@]}")
fi
run() {  # run NAME: one timed run, prints "seconds kilobytes user+system-seconds"
  local out="$root/time.txt"
  case $1 in
    orvexa) /usr/bin/time -o "$out" -f '%e %M %U %S' "$orvexa" disk-usage "$tree" --quiet --json >/dev/null ;;
    baseline) /usr/bin/time -o "$out" -f '%e %M %U %S' "$baseline" disk-usage "$tree" --quiet --json >/dev/null ;;
    orvexa-full) /usr/bin/time -o "$out" -f '%e %M %U %S' "$orvexa" disk-usage "$tree" --quiet --json --depth 0 --top 0 >/dev/null ;;
    du) /usr/bin/time -o "$out" -f '%e %M %U %S' du -sb --apparent-size "$tree" >/dev/null ;;
    gdu) /usr/bin/time -o "$out" -f '%e %M %U %S' gdu -n -p "$tree" >/dev/null ;;
    ncdu) /usr/bin/time -o "$out" -f '%e %M %U %S' ncdu -0 -o /dev/null "$tree" >/dev/null ;;
  esac
  tail -n 1 "$out" | awk '{printf "%s %s %.2f\n", $1, $2, $3 + $4}'
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for name in "${names[@]}"; do run "$name" >/dev/null; done  # warm
declare -A best_time best_mem cpu_times
for round in 1 2 3; do
  for name in "${names[@]}"; do
    read -r t m c < <(run "$name")
    cpu_times[$name]="${cpu_times[$name]:-} $c"
    if [ -z "${best_time[$name]:-}" ] || awk -v a="$t" -v b="${best_time[$name]}" 'BEGIN {exit !(a < b)}'; then
      best_time[$name]=$t
    fi
    if [ -z "${best_mem[$name]:-}" ] || [ "$m" -gt "${best_mem[$name]}" ]; then best_mem[$name]=$m; fi
  done
done

# CPU time (user + system, median of the rounds) says more than wall time
# when other work shares the machine.
median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
declare -A cpu
for name in "${names[@]}"; do cpu[$name]=$(echo "${cpu_times[$name]}" | median); done

printf '\n%-12s %10s %10s %12s %12s\n' tool "best s" "median CPU" "peak RSS MB" "bytes/entry"
for name in "${names[@]}"; do
  awk -v n="$name" -v t="${best_time[$name]}" -v c="${cpu[$name]}" -v m="${best_mem[$name]}" \
    -v e="$entries" 'BEGIN {printf "%-12s %10.3f %10.2f %12.1f %12.0f\n", n, t, c, m / 1024, m * 1024 / e}'
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
o=${best_time[orvexa]}
echo
echo "orvexa / du:   $(ratio "$o" "${best_time[du]}")  (target < 1; CPU $(ratio "${cpu[orvexa]}" "${cpu[du]}"))"
echo "orvexa / gdu:  $(ratio "$o" "${best_time[gdu]}")  (target < 1)"
echo "orvexa / ncdu: $(ratio "$o" "${best_time[ncdu]}")  (target < 1)"
echo "orvexa peak memory: $(awk -v m="${best_mem[orvexa]}" -v e="$entries" 'BEGIN {printf "%.0f", m * 1024 / e}') bytes per entry (target <= 300)"
if [ -n "$baseline" ]; then
  b=${best_time[baseline]}
  echo "baseline / du: $(ratio "$b" "${best_time[du]}")  (CPU $(ratio "${cpu[baseline]}" "${cpu[du]}")); baseline / gdu: $(ratio "$b" "${best_time[gdu]}"); baseline / ncdu: $(ratio "$b" "${best_time[ncdu]}")"
  echo "baseline peak memory: $(awk -v m="${best_mem[baseline]}" -v e="$entries" 'BEGIN {printf "%.0f", m * 1024 / e}') bytes per entry"
fi
