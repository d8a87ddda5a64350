#!/usr/bin/env bash
# Linux junk and trash against bleachbit on the same sandboxed home.
#   bench/linux_junk_coverage.sh [BUILD_DIR]
# Builds a desktop home under a temporary root (per-application caches,
# thumbnails, pip and go-build caches, an npm cache, a trash with its
# information files, apt archives, rotated logs, a crash report), then runs
# `orvexa --layout linux junk|trash --root ROOT --json` and
# `HOME=ROOT/<home> bleachbit --preview system.cache thumbnails.cache
# system.trash`, and prints: how many of the files bleachbit would delete are
# listed by orvexa (a record or inside one; an information file counts with
# its trash item; target: all but empty items, which no scan lists), and the records orvexa lists beyond it.
set -euo pipefail
build=${1:-build}
orvexa="$(cd "$(dirname "$0")/.." && pwd)/$build/bin/orvexa"
[ -x "$orvexa" ] || { echo "no $orvexa: build first" >&2; exit 1; }
command -v bleachbit >/dev/null || { echo "missing bleachbit: apt-get install bleachbit" >&2; exit 1; }

root=$(mktemp -d /tmp/orvexa-bench-linux-XXXXXX)
trap 'rm -rf "$root"' EXIT
home="$root$(getent passwd "$(id -un)" | cut -d: -f6)"
python3 - "$root" "$home" <<'PY'
import os, sys
root, home = sys.argv[1], sys.argv[2]
def put(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(b"x" * size)
for app in range(40):
    for n in range(25):
        put(f"{home}/.cache/app{app}/blob{n}", (app * 131 + n * 17) % 4000)
for n in range(200):
    put(f"{home}/.cache/thumbnails/normal/{n:032x}.png", 900 + n)
for n in range(50):
    put(f"{home}/.cache/pip/http/{n}/{n}", 3000)
    put(f"{home}/.cache/go-build/{n:02x}/{n}-d", 700)
    put(f"{home}/.npm/_cacache/content-v2/{n}", 500)
for n in range(30):
    put(f"{home}/.local/share/Trash/files/doc{n}.txt", 100 * n)
    put(f"{home}/.local/share/Trash/info/doc{n}.txt.trashinfo", 0)
    with open(f"{home}/.local/share/Trash/info/doc{n}.txt.trashinfo", "w") as f:
        f.write(f"[Trash Info]\nPath=/home/u/doc{n}.txt\nDeletionDate=2026-01-01T00:00:00\n")
put(f"{root}/var/cache/apt/archives/pkg_1.0_amd64.deb", 90000)
put(f"{root}/var/cache/apt/archives/partial/next_2.0_amd64.deb", 4000)
put(f"{root}/var/log/syslog.1", 5000)
put(f"{root}/var/log/syslog.2.gz", 2000)
put(f"{root}/var/crash/prog.crash", 8000)
PY

python3 - "$orvexa" "$root" "$home" <<'PY'
import json, os, subprocess, sys
orvexa, root, home = sys.argv[1:4]
records = {}
for command in ("junk", "trash"):
    out = subprocess.run([orvexa, "--layout", "linux", command, "--root", root, "--json", "--quiet"],
                         check=True, capture_output=True, text=True).stdout
    for category in json.loads(out)["feature"]["categoryInfo"]:
        for f in category["childrens"]:
            records[f["url"][7:].rstrip("/")] = f["size"]
preview = subprocess.run(["bleachbit", "--preview", "system.cache", "thumbnails.cache", "system.trash"],
                         env=dict(os.environ, HOME=home), capture_output=True, text=True).stdout
theirs = [l.split(" ", 2)[2] for l in preview.splitlines() if l.startswith("Delete ")]
theirs = [p for p in theirs if os.path.isfile(p) and not os.path.islink(p)]
def record_of(p):
    p = p.replace("/Trash/info/", "/Trash/files/")
    if p.endswith(".trashinfo"):
        p = p[: -len(".trashinfo")]
    while p and p not in records:
        p = p.rsplit("/", 1)[0]
    return p
missed = [p for p in theirs if not record_of(p)]
# The scans never list an empty item (nothing to gain): an empty trash item,
# and its information file, are told apart.
def empty(p):
    item = p.replace("/Trash/info/", "/Trash/files/")
    if item.endswith(".trashinfo"):
        item = item[: -len(".trashinfo")]
    return os.path.exists(item) and os.path.getsize(item) == 0
empties = [p for p in missed if empty(p)]
missed = [p for p in missed if not empty(p)]
used = {record_of(p) for p in theirs}
beyond = sorted(r for r in records if r not in used)
print(f"bleachbit would delete {len(theirs)} files; orvexa lists {len(theirs) - len(missed) - len(empties)} of them"
      f" in {len(records)} records")
for p in empties:
    print(f"  empty, not listed: {p}")
for p in missed:
    print(f"  missed: {p}")
print(f"orvexa lists {len(beyond)} records beyond bleachbit "
      f"({sum(records[r] for r in beyond)} bytes):")
for r in beyond:
    print(f"  {records[r]:>9}  {r[len(root):]}")
sys.exit(1 if missed else 0)
PY
