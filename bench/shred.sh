#!/usr/bin/env bash
# Shredding a 256 MiB file: `orvexa shred --yes --quiet` against coreutils
# `shred -n 1` on a file of the same size, in one run.
#   bench/shred.sh [BUILD_DIR] [SIZE_MIB]
# Ours makes three write passes (0xFF, random bytes, zeros; the block writer
# for files of 25 MiB and more), reads the file back and removes it; shred
# -n 1 makes one random pass. Both flush every pass to the device. Printed:
# wall and CPU times, bytes per second per write pass (wall), and the
# ratio of the two per-pass rates (ours / shred). Both files must end overwritten: ours gone,
# shred's the same size with none of its original content left.
set -euo pipefail
bash "$(dirname "$0")/../scripts/setup-bench.sh"
build=${1:-build}
mib=${2:-256}
orvexa="$(cd "$(dirname "$0")/.." && pwd)/$build/bin/orvexa"
[ -x "$orvexa" ] || { echo "no $orvexa: build first" >&2; exit 1; }
command -v shred >/dev/null || { echo "no shred (coreutils)" >&2; exit 1; }

dir=$(mktemp -d /tmp/orvexa-bench-shred-XXXXXX)
trap 'rm -rf "$dir"' EXIT
size=$((mib * 1024 * 1024))
echo "writing two files of $mib MiB under $dir ..."
head -c "$size" /dev/urandom >"$dir/original"
cp "$dir/original" "$dir/ours.bin"
cp "$dir/original" "$dir/peer.bin"
sync

measure() {  # "wall user+sys" in seconds of "$@"
  /usr/bin/time -o "$dir/time" -f '%e %U %S' "$@" >/dev/null
  awk '{printf "%s %.2f\n", $1, $2 + $3}' "$dir/time"
}

read -r ours ours_cpu < <(measure "$orvexa" shred --yes --quiet "$dir/ours.bin")
read -r peer peer_cpu < <(measure shred -n 1 "$dir/peer.bin")

# They agree: both files overwritten.
[ ! -e "$dir/ours.bin" ] || { echo "orvexa left $dir/ours.bin" >&2; exit 1; }
[ "$(stat -c %s "$dir/peer.bin")" = "$size" ] || { echo "shred changed the size" >&2; exit 1; }
if cmp -s "$dir/original" "$dir/peer.bin"; then echo "shred left the content" >&2; exit 1; fi

ours_rate=$(echo "3 * $size / $ours" | bc -l)
peer_rate=$(echo "$size / $peer" | bc -l)
printf 'orvexa shred (3 passes + read-back): %.3f s (cpu %.2f s), %.1f MB/s per pass\n' "$ours" \
  "$ours_cpu" "$(echo "$ours_rate / 1000000" | bc -l)"
printf 'shred -n 1   (1 pass):               %.3f s (cpu %.2f s), %.1f MB/s per pass\n' "$peer" \
  "$peer_cpu" "$(echo "$peer_rate / 1000000" | bc -l)"
printf 'ratio per pass orvexa/shred: %.2f (above 1: faster per pass than shred)\n' \
  "$(echo "$ours_rate / $peer_rate" | bc -l)"
printf 'load average during the run: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
