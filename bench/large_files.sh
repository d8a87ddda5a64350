#!/usr/bin/env bash
# Large and old files: `orvexa large` against `find HOME -type f -size +50M`
# on a generated home of 20,000 files, a few of them over 50 MiB (sparse, so
# the corpus takes almost no disk).
#
#   bench/large_files.sh [ORVEXA_BINARY] [RUNS]
#   BASELINE=/path/to/other/orvexa bench/large_files.sh [ORVEXA_BINARY] [RUNS]
#     also times another build of the program in the same runs ("baseline"),
#     to compare a change with what it replaces on a machine whose load varies.
#
# ORVEXA_BINARY defaults to build/bin/orvexa (scripts/run.sh builds it). The
# home is laid out as <root>/Users/$(whoami) and scanned with --root <root>.
# Without a query tool in the sandbox the scan walks the whole home and
# records every visible regular file (hidden folders and package contents are
# left out), while find only prints the big ones; both read every entry.
# The script checks that the two agree on the files over 50 MiB outside
# hidden folders, then times both alternately (after one warm-up run each)
# and prints the medians (wall and CPU), the ratios and our peak memory.
set -euo pipefail
bash "$(dirname "$0")/../scripts/setup-bench.sh"
cd "$(dirname "$0")/.."
orvexa=${1:-build/bin/orvexa}
runs=${2:-7}
if [ ! -x "$orvexa" ]; then
  echo "large_files: no program at $orvexa (build it: cmake --build build --target orvexa_cli)" >&2
  exit 1
fi
command -v python3 > /dev/null || { echo "large_files: python3 is needed" >&2; exit 1; }

root=$(mktemp -d "${TMPDIR:-/tmp}/orvexa-bench-large-XXXXXX")
trap 'rm -rf "$root"' EXIT
home="$root/Users/$(whoami)"

python3 - "$orvexa" "$root" "$home" "$runs" <<'PY'
import json, os, random, statistics, subprocess, sys, time
from urllib.parse import unquote

orvexa, root, home, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
MiB = 1024 * 1024
random.seed(20261205)

# 20,000 regular files: 19,500 in 15 top folders x 13 sub-folders x 100,
# 500 in hidden folders; mixed extensions (some none, typed from content).
extensions = ["txt", "jpg", "png", "mp3", "mp4", "zip", "pdf", "json", "c", "h", "log", ""]
def ordinary(top, sub, i):
    ext = extensions[(top + sub + i) % len(extensions)]
    return f"dir{top:02d}/sub{sub:02d}/file{i:03d}" + (f".{ext}" if ext else "")

count = 0
for top in range(15):
    for sub in range(13):
        os.makedirs(os.path.join(home, f"dir{top:02d}", f"sub{sub:02d}"))
        for i in range(100):
            with open(os.path.join(home, ordinary(top, sub, i)), "wb") as f:
                f.write(os.urandom(random.randint(0, 2048)))
            count += 1
for h in range(5):
    folder = os.path.join(home, ".cache", f"h{h}")
    os.makedirs(folder)
    for i in range(100):
        with open(os.path.join(folder, f"c{i:03d}.bin"), "wb") as f:
            f.write(b"x" * 64)
        count += 1
assert count == 20000, count

# The big ones replace ordinary files, so the total stays 20,000.
big = {
    ordinary(0, 0, 0): 50 * MiB,  # exactly 50 MiB: not "over"
    ordinary(1, 2, 1): 50 * MiB + 1,
    ordinary(3, 4, 2): 60 * MiB,
    ordinary(5, 6, 3): 120 * MiB,
    ordinary(7, 8, 4): 600 * MiB,
    ordinary(9, 10, 5): 2048 * MiB,
    ordinary(11, 12, 6): 75 * MiB,
    ".cache/h0/c000.bin": 90 * MiB,  # hidden: find reports it, the scan does not
}
for rel, size in big.items():
    os.truncate(os.path.join(home, rel), size)

log_folder = os.path.join(home, "Library")  # where the program writes its own log

def run_ours(extra):
    return subprocess.run([orvexa, "--layout", "macos", "large", "--root", root] + extra,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)

def run_find():
    return subprocess.run(["find", home, "-type", "f", "-size", "+50M"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)

# Agreement.
doc = json.loads(run_ours(["--quiet", "--json"]).stdout)
all_files = doc["feature"]["categoryInfo"][0]["childrens"]
ours = {}
for f in all_files:
    path = unquote(f["url"][len("file://"):])
    if not path.startswith(log_folder + "/"):
        ours[path] = f["size"]
found = set(run_find().stdout.decode().split("\n")) - {""}
visible_found = {p for p in found if "/." not in p[len(home):]}
ours_big = {p for p, s in ours.items() if s > 50 * MiB}
if ours_big != visible_found:
    print("large_files: DISAGREE on files over 50 MiB", file=sys.stderr)
    print("  only ours:", sorted(ours_big - visible_found), file=sys.stderr)
    print("  only find:", sorted(visible_found - ours_big), file=sys.stderr)
    sys.exit(1)
if len(ours) != 19500:
    print(f"large_files: the scan recorded {len(ours)} files, expected 19500", file=sys.stderr)
    sys.exit(1)
print(f"corpus: 20000 files ({len(found)} over 50 MiB, {len(visible_found)} of them outside hidden folders)")
print(f"agree: {len(ours_big)} files over 50 MiB; the scan recorded {len(ours)} visible files "
      f"(total {doc['total']} bytes)")
PY

# Timing in a fresh interpreter: the peak memory the kernel reports for a
# child also counts its parent's pages up to the exec (posix_spawn shares
# them), so the parent must stay small.
python3 - "$orvexa" "$root" "$home" "$runs" "${BASELINE:-}" <<'PY'
import os, statistics, sys, time

orvexa, root, home, runs, baseline = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]

def timed_with_rss(args):
    devnull = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter()
    pid = os.posix_spawnp(args[0], args, os.environ,
                          file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1),
                                        (os.POSIX_SPAWN_DUP2, devnull, 2)])
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    os.close(devnull)
    if status != 0:
        sys.exit(f"large_files: {args} failed ({status})")
    return elapsed, usage.ru_maxrss, usage.ru_utime + usage.ru_stime

ours_cmd = [orvexa, "--layout", "macos", "large", "--quiet", "--root", root]
find_cmd = ["find", home, "-type", "f", "-size", "+50M"]
base_cmd = [baseline, "large", "--quiet", "--root", root] if baseline else None
timed_with_rss(ours_cmd)
timed_with_rss(find_cmd)
if base_cmd:
    timed_with_rss(base_cmd)
ours_t, find_t, ours_cpu, find_cpu, rss = [], [], [], [], []
base_t, base_cpu, base_rss = [], [], []
for _ in range(runs):
    t, r, c = timed_with_rss(ours_cmd)
    ours_t.append(t)
    ours_cpu.append(c)
    rss.append(r)
    t, _, c = timed_with_rss(find_cmd)
    find_t.append(t)
    find_cpu.append(c)
    if base_cmd:
        t, r, c = timed_with_rss(base_cmd)
        base_t.append(t)
        base_cpu.append(c)
        base_rss.append(r)
o, f = statistics.median(ours_t), statistics.median(find_t)
oc, fc = statistics.median(ours_cpu), statistics.median(find_cpu)
print(f"runs: {runs} each; medians, wall (min) and CPU (user + system); load average {os.getloadavg()[0]:.1f}")
print(f"  orvexa large --quiet --root ROOT : {o * 1000:7.1f} ms ({min(ours_t) * 1000:.1f})  CPU {oc * 1000:6.1f} ms")
print(f"  find HOME -type f -size +50M     : {f * 1000:7.1f} ms ({min(find_t) * 1000:.1f})  CPU {fc * 1000:6.1f} ms")
print(f"  ratio orvexa / find              : {o / f:7.2f}x wall, {oc / fc:.2f}x CPU (target <= 1.5x)")
print(f"  orvexa peak memory               : {max(rss) / 1024:7.1f} MiB")
if base_cmd:
    b, bc = statistics.median(base_t), statistics.median(base_cpu)
    print(f"  baseline (same runs)             : {b * 1000:7.1f} ms ({min(base_t) * 1000:.1f})  CPU {bc * 1000:6.1f} ms")
    print(f"  ratio baseline / find            : {b / f:7.2f}x wall, {bc / fc:.2f}x CPU; peak memory {max(base_rss) / 1024:.1f} MiB")
PY
