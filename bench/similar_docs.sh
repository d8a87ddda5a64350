#!/usr/bin/env bash
# Similar documents at scale: our similar-docs against the pipelines people
# assemble (docx2txt / pdftotext for the text, then `tlsh -xref` or
# `ssdeep -d` over the texts), on generated corpora of mixed formats
# (bench/similar_docs_corpus.py: docx, pdf, txt, rtf, md; texts of 1 KB to
# 200 KB; a fifth lightly edited copies), in one run.
#
#   bench/similar_docs.sh [COUNT ...]      (default: 2000 8000)
#
# ORVEXA names the program (default build-rel/bin/orvexa beside this folder;
# build it RelWithDebInfo). WORK names the scratch folder (default a fresh
# one under /tmp, removed at the end unless KEEP=1). SEED (default 7) seeds
# the corpus generator.
#
# Printed per corpus: wall times and their ratios to ours; recall (planted
# groups found whole in one group) and pair precision (pairs put together
# that were planted together) of each; and the recall of our measure when
# every pair is measured (--exhaustive). Every pair of a corpus of thousands
# is hours of work, but recall only depends on the pairs inside the planted
# groups (a link elsewhere can only join groups, never split one): so the
# exhaustive recall is measured by running --exhaustive on each planted group
# alone. Peer thresholds: TLSH distance <= 30, ssdeep score >= 1 (any match).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
orvexa=${ORVEXA:-$here/../build-rel/bin/orvexa}
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(2000 8000)
work=${WORK:-$(mktemp -d /tmp/similar-docs-bench.XXXXXX)}
jobs=$(nproc)
mkdir -p "$work/root"
[ "${KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }

# FILE OUTDIR: the text a peer pipeline compares. The extractors break lines
# differently (docx2txt keeps paragraphs, pdftotext wraps them) and fuzzy
# hashes are sensitive to that, so the peers compare texts without blanks;
# Rich Text loses its control words and braces to sed.
extract_one() {
  local f=$1 out=$2/$(basename "$1").txt
  case "$f" in
    *.docx) docx2txt < "$f" 2>/dev/null ;;
    *.pdf) pdftotext -q "$f" - ;;
    *.rtf) sed -E 's/\\[a-z]+-?[0-9]* ?//g; s/[{}]//g' "$f" ;;
    *) cat "$f" ;;
  esac | tr -d '[:space:]' > "$out" || true
}
export -f extract_one

for n in "${counts[@]}"; do
  corpus=$work/c$n
  echo "== $n documents: generating"
  python3 "$here/similar_docs_corpus.py" "$corpus/docs" "$n" "${SEED:-7}"
  truth=$corpus/truth-$n.json
  du -sh "$corpus/docs" | sed 's/^/   corpus size: /'

  t0=$(now)
  "$orvexa" --root "$work/root" similar-docs --json --quiet "$corpus/docs" > "$corpus/ours.json"
  t1=$(now)

  mkdir -p "$corpus/text"
  find "$corpus/docs" -type f -print0 | xargs -0 -P "$jobs" -I{} bash -c 'extract_one "$1" "$2"' _ {} "$corpus/text"
  t2=$(now)
  tlsh -xref -r "$corpus/text" -T 30 > "$corpus/tlsh.txt" 2>/dev/null || true
  t3=$(now)
  ssdeep -s -r -d -c "$corpus/text" > "$corpus/ssdeep.txt" || true
  t4=$(now)

  # Exhaustive measuring, one planted group at a time.
  python3 - "$truth" "$corpus" <<'PY'
import json, os, sys
truth, corpus = sys.argv[1], sys.argv[2]
for k, group in enumerate(json.load(open(truth))):
    d = os.path.join(corpus, "groups", "g%05d" % k)
    os.makedirs(d, exist_ok=True)
    for name in group:
        os.link(os.path.join(corpus, "docs", name), os.path.join(d, name))
PY
  t5=$(now)
  find "$corpus/groups" -mindepth 1 -maxdepth 1 -type d -print0 |
    xargs -0 -P "$jobs" -I{} sh -c '"$0" --root "$1" similar-docs --exhaustive --json --quiet "$2" > "$2.json"' "$orvexa" "$work/root" {}
  t6=$(now)

  python3 - "$truth" "$corpus" "$t0" "$t1" "$t2" "$t3" "$t4" "$t5" "$t6" <<'PY'
import glob, json, os, sys, urllib.parse
truth_path, corpus = sys.argv[1], sys.argv[2]
t = [float(x) for x in sys.argv[3:]]
truth = [frozenset(g) for g in json.load(open(truth_path))]
planted = set()
for g in truth:
    for a in g:
        for b in g:
            if a < b:
                planted.add((a, b))

def ours(path):
    groups = []
    for c in json.load(open(path))["feature"]["categoryInfo"]:
        for g in c["childrens"]:
            groups.append({os.path.basename(urllib.parse.unquote(urllib.parse.urlparse(m["url"]).path))
                           for m in g["childrens"]})
    return groups

def union(pairs):
    parent = {}
    def find(x):
        parent.setdefault(x, x)
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x
    for a, b in pairs:
        parent[find(a)] = find(b)
    groups = {}
    for x in list(parent):
        groups.setdefault(find(x), set()).add(x)
    return list(groups.values())

def name(p):  # a peer's text file back to its document
    return os.path.basename(p.strip().strip('"'))[:-4]

def tlsh_pairs(path):
    for line in open(path):
        f = line.rstrip("\n").split("\t")
        if len(f) >= 3:
            yield name(f[0]), name(f[1])

def ssdeep_pairs(path):
    for line in open(path):
        f = line.rstrip("\n").split('","')
        if len(f) >= 2:
            yield name(f[0]), name(f[1].split('",')[0])

def score(groups):
    where = {}
    for k, g in enumerate(groups):
        for x in g:
            where[x] = k
    found = sum(1 for g in truth if len({where.get(x, ("none", x)) for x in g}) == 1)
    together = [(a, b) for g in groups for a in g for b in g if a < b]
    right = sum(1 for p in together if p in planted)
    return found / len(truth), (right / len(together) if together else 1.0), len(together)

exhaustive = []
for f in sorted(glob.glob(os.path.join(corpus, "groups", "*.json"))):
    exhaustive += ours(f)

rows = [
    ("orvexa similar-docs", t[1] - t[0], score(ours(os.path.join(corpus, "ours.json")))),
    ("text + tlsh -xref", (t[2] - t[1]) + (t[3] - t[2]), score(union(tlsh_pairs(os.path.join(corpus, "tlsh.txt"))))),
    ("text + ssdeep -d", (t[2] - t[1]) + (t[4] - t[3]), score(union(ssdeep_pairs(os.path.join(corpus, "ssdeep.txt"))))),
]
ex_recall = score(exhaustive)[0]
print("   planted groups: %d (%d pairs); peers' text extraction %.1f s" % (len(truth), len(planted), t[2] - t[1]))
print("   %-22s %9s %8s %8s %10s %8s" % ("tool", "wall s", "ratio", "recall", "precision", "pairs"))
for label, wall, (recall, precision, pairs) in rows:
    print("   %-22s %9.1f %8.2f %7.1f%% %9.2f%% %8d" % (label, wall, wall / rows[0][1], recall * 100, precision * 100, pairs))
print("   exhaustive measure (every pair): recall %.1f%% (per group, %.1f s)" % (ex_recall * 100, t[6] - t[5]))
with open(os.path.join(corpus, "..", "summary-%s.json" % os.path.basename(corpus)), "w") as f:
    json.dump({"ours": rows[0][1], "tlsh": rows[1][1], "ssdeep": rows[2][1], "recall": rows[0][2][0],
               "precision": rows[0][2][1], "exhaustiveRecall": ex_recall}, f)
PY
done

# Growth: the time of the largest corpus against the smallest.
if [ ${#counts[@]} -gt 1 ]; then
  python3 - "$work" "${counts[0]}" "${counts[-1]}" <<'PY'
import json, sys, os
w, a, b = sys.argv[1], sys.argv[2], sys.argv[3]
sa = json.load(open(os.path.join(w, "summary-c%s.json" % a)))
sb = json.load(open(os.path.join(w, "summary-c%s.json" % b)))
print("== growth: %s documents take %.2f times the time of %s" % (b, sb["ours"] / sa["ours"], a))
PY
fi
