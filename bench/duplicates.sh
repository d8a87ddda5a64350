#!/usr/bin/env bash
# Duplicate files: `orvexa duplicates` against jdupes, rmlint and fdupes on a
# generated corpus of about 20,000 files, and against the read floor.
#
#   bench/duplicates.sh [ORVEXA_BINARY] [RUNS] [FILES]
#
# ORVEXA_BINARY defaults to build/bin/orvexa (scripts/run.sh builds it). The
# corpus (bench/duplicates_corpus.py) keeps under 3 GiB: a quarter of its files
# are larger than 512 KiB, the size every tool is told to start at; of those,
# 15 % are copies, many share their size with a file of different content
# (differing early, in the middle, or only in the last 16 bytes), the rest have
# sizes of their own; there are also empty files, hard links, symbolic links
# and one copied folder. The small files are left out by every tool.
#
# Commands, all with the same minimum (strictly more than 512 KiB):
#   orvexa --root SCRATCH duplicates --quiet --json DIR   (its digest cache
#                                                    starts empty in SCRATCH)
#   jdupes -r -q -X size+:512K DIR
#   rmlint -T df -L -s 524289 -o summary DIR   (duplicate files only, hard
#                                                links counted once as ours)
#   fdupes -r -q --minsize=524289 DIR
#   read floor: find DIR -type f -size +512k listing the sizes, then cat of
#               every file whose size occurs more than once
# Three phases, each command RUNS times (default once), alternating, with the
# median wall time and CPU time (user + system) and the ratios printed:
#   cold   the page cache dropped before each command (sync; echo 3 >
#          /proc/sys/vm/drop_caches; needs root, skipped otherwise); orvexa
#          with --no-cache. Target: faster than every peer.
#   warm   the page cache warmed before each command; orvexa's first run
#          fills its cache. Target: at most 0.8 times jdupes' wall time.
#   re-run orvexa again over the unchanged tree, with its cache. Target: at
#          most half its first warm run. The groups of files must equal those of jdupes
# and fdupes (as sets of inodes: of hard links each tool shows one), and the
# number of groups must equal rmlint's; any disagreement fails the script.
#
# The peers come from Debian: apt-get install jdupes rmlint fdupes.
set -euo pipefail
bash "$(dirname "$0")/../scripts/setup-bench.sh"
cd "$(dirname "$0")/.."
orvexa=${1:-build/bin/orvexa}
runs=${2:-1}
files=${3:-20000}
if [ ! -x "$orvexa" ]; then
  echo "duplicates: no program at $orvexa (build it: cmake --build build --target orvexa_cli)" >&2
  exit 1
fi
command -v python3 > /dev/null || { echo "duplicates: python3 is needed" >&2; exit 1; }
missing=()
for tool in jdupes rmlint fdupes; do command -v "$tool" > /dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "${missing[@]}" > /dev/null
  else
    echo "duplicates: install ${missing[*]} (apt-get install ${missing[*]})" >&2
    exit 1
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvexa-bench-dup-XXXXXX")
trap 'rm -rf "$work"' EXIT
corpus="$work/corpus"
python3 bench/duplicates_corpus.py make "$corpus" --files "$files" > /dev/null

python3 - "$orvexa" "$corpus" "$work" "$runs" <<'PY'
import json, os, re, statistics, subprocess, sys, time

orvexa, corpus, work, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
sys.path.insert(0, os.path.join(os.getcwd(), "bench"))
import duplicates_corpus as dc

MIN = 512 * 1024
floor_script = (
    "find \"$1\" -type f -size +512k -printf '%s %p\\n' | "
    "awk '{ n[$1]++; s[NR] = $1; p[NR] = substr($0, length($1) + 2) } "
    "END { for (i = 1; i <= NR; i++) if (n[s[i]] > 1) print p[i] }' | "
    "xargs -r -d '\\n' cat > /dev/null")
ours = [orvexa, "--root", os.path.join(work, "root"), "duplicates", "--quiet", "--json"]
commands = {
    "orvexa": ours + [corpus],
    "orvexa-cold": ours + ["--no-cache", corpus],
    "jdupes": ["jdupes", "-r", "-q", "-X", "size+:512K", corpus],
    "rmlint": ["rmlint", "-T", "df", "-L", "-s", "524289", "-o", "summary", corpus],
    "fdupes": ["fdupes", "-r", "-q", "--minsize=524289", corpus],
    "floor": ["bash", "-c", floor_script, "floor", corpus],
}

def run(name, tag=""):
    out_path = os.path.join(work, name + tag + ".out")
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        pid = os.posix_spawnp(commands[name][0], commands[name], os.environ,
                              file_actions=[(os.POSIX_SPAWN_DUP2, out.fileno(), 1)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"duplicates: {name} failed ({status})")
    return wall, usage.ru_utime + usage.ru_stime, out_path

# Corpus facts, and a warm page cache.
sizes, count, large, total = {}, 0, 0, 0
for folder, _, names in os.walk(corpus):
    for n in names:
        st = os.lstat(os.path.join(folder, n))
        if not os.path.isfile(os.path.join(folder, n)) or os.path.islink(os.path.join(folder, n)):
            continue
        count += 1
        total += st.st_size
        if st.st_size > MIN:
            large += 1
            sizes[st.st_size] = sizes.get(st.st_size, 0) + 1
shared = sum(c for c in sizes.values() if c > 1)
def warm():
    # Before every command: on a shared machine the cache does not keep the
    # corpus for long.
    subprocess.run(["bash", "-c", "find \"$1\" -type f -size +512k -print0 | xargs -0 cat > /dev/null",
                    "warm", corpus], check=True)
print(f"corpus: {count} files, {total / 2**30:.2f} GiB; {large} larger than 512 KiB, "
      f"{shared} of them sharing their size with another")

def drop():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")

can_drop = os.geteuid() == 0
os.makedirs(os.path.join(work, "root"), exist_ok=True)
peers = ("jdupes", "rmlint", "fdupes")
results = {name: [] for name in commands}
cold = {name: [] for name in ("orvexa-cold",) + peers}
rerun = []
for _ in range(runs):
    if can_drop:
        for name in cold:
            drop()
            cold[name].append(run(name, "-cold"))
    # A cache from an earlier round would make the first run a re-run.
    subprocess.run(["rm", "-rf", os.path.join(work, "root")], check=True)
    os.makedirs(os.path.join(work, "root"))
    for name in ("orvexa", "jdupes", "rmlint", "fdupes", "floor"):
        warm()
        results[name].append(run(name))
    warm()
    rerun.append(run("orvexa", "-rerun"))

# Agreement: every run of ours against jdupes and fdupes.
ours_groups = dc.inode_groups_from_ours(results["orvexa"][0][2])
for label, out in (("cold", cold["orvexa-cold"]), ("re-run", rerun)):
    if out and dc.inode_groups_from_ours(out[0][2]) != ours_groups:
        print(f"duplicates: the {label} run of orvexa found other groups", file=sys.stderr)
        sys.exit(1)
for peer in ("jdupes", "fdupes"):
    theirs = dc.inode_groups_from_listing(results[peer][0][2])
    if ours_groups != theirs:
        print(f"duplicates: DISAGREE with {peer}: {len(ours_groups - theirs)} groups only ours, "
              f"{len(theirs - ours_groups)} only {peer}", file=sys.stderr)
        sys.exit(1)
summary = open(results["rmlint"][0][2], errors="replace").read()
summary = re.sub(r"\x1b\[[0-9;]*m", "", summary)
m = re.search(r"whereof (\d+) are duplicates in (\d+) groups", summary)
if not m or int(m.group(2)) != len(ours_groups):
    print(f"duplicates: DISAGREE with rmlint on the number of groups: {summary.strip()}",
          file=sys.stderr)
    sys.exit(1)
doc = json.load(open(results["orvexa"][0][2]))
folders = sum(1 for g in doc["groups"] if "Folder" in g["kinds"])
print(f"agree: {len(ours_groups)} groups of files with jdupes, fdupes and rmlint "
      f"(ours also reports {folders} folder group(s)); removing all but one copy frees "
      f"{doc['freedBytes']} bytes")

def med(name, i, table=None):
    return statistics.median(r[i] for r in (table or results)[name])

o_wall, o_cpu = med("orvexa", 0), med("orvexa", 1)
print(f"runs: {runs} of each, page cache warm; wall s (cpu s), ratio = peer / orvexa")
labels = {
    "orvexa": "orvexa duplicates --quiet --json",
    "jdupes": "jdupes -r -q -X size+:512K",
    "rmlint": "rmlint -T df -L -s 524289 -o summary",
    "fdupes": "fdupes -r -q --minsize=524289",
}
for name in ("orvexa", "jdupes", "rmlint", "fdupes"):
    w, c = med(name, 0), med(name, 1)
    ratio = "" if name == "orvexa" else f"   {w / o_wall:5.2f}x wall  {c / o_cpu:5.2f}x cpu"
    print(f"  {labels[name]:<40} {w:6.3f} s ({c:6.3f}){ratio}")
fw, fc = med("floor", 0), med("floor", 1)
print(f"  {'read floor (find + cat of shared sizes)':<40} {fw:6.3f} s ({fc:6.3f})"
      f"   orvexa / floor: {o_wall / fw:5.2f}x wall  {o_cpu / fc:5.2f}x cpu")
faster = all(med(p, 0) > o_wall for p in ("jdupes", "rmlint", "fdupes"))
print("warm: faster than every peer:", "met" if faster else "NOT met")
jw = med("jdupes", 0)
print(f"warm target (at most 0.8x jdupes' wall time): orvexa / jdupes {o_wall / jw:5.2f}x wall "
      f"{o_cpu / med('jdupes', 1):5.2f}x cpu:", "met" if o_wall <= 0.8 * jw else "NOT met")
rw, rc = statistics.median(r[0] for r in rerun), statistics.median(r[1] for r in rerun)
print(f"re-run with the cache: {rw:6.3f} s ({rc:6.3f}); re-run / first warm run "
      f"{rw / o_wall:5.2f}x wall {rc / o_cpu:5.2f}x cpu; target (at most 0.5x):",
      "met" if rw <= 0.5 * o_wall else "NOT met")
if can_drop:
    cw, cc = med("orvexa-cold", 0, cold), med("orvexa-cold", 1, cold)
    print(f"page cache dropped before each: wall s (cpu s), ratio = peer / orvexa")
    print(f"  {'orvexa duplicates --no-cache':<40} {cw:6.3f} s ({cc:6.3f})")
    for name in peers:
        w, c = med(name, 0, cold), med(name, 1, cold)
        print(f"  {labels[name]:<40} {w:6.3f} s ({c:6.3f})   {w / cw:5.2f}x wall  {c / cc:5.2f}x cpu")
    print("cold target (faster than every peer):",
          "met" if all(med(p, 0, cold) > cw for p in peers) else "NOT met")
else:
    print("cold phase skipped: dropping the page cache needs root")
PY
