#!/usr/bin/env python3
"""Checks that includes point the way ARCHITECTURE.md allows.

Reads every #include "..." of src/, include/, cli/, helper-tool/ and
pdf-module/, maps each file and each included header to its layer (its
folder: `platform`, `units`, `model`, `scan/engine`, `scan/<family>`, `tree`,
`clean`, `helper`, `toolkits`, `cli`, `helper-tool`, `pdf-module`), prints
the include directions as a table (from -> to, count) and exits 1 when an
edge is not allowed.

A scanner family's private headers (src/scan/<family>/*.h) count as the layer
`scan/<family>:private`, which only the family itself may include.

The allowed edges are the rows of the tables under "### Allowed include
directions" in ARCHITECTURE.md: the first cell names the including layers,
the second the layers they may include (`scan/*` stands for every scanner
family, not its private headers). A row whose last cell says "known, to be removed"
is allowed for now and listed as such. Includes within one layer are always
allowed.

Usage: scripts/check_layers.py [ROOT]   (ROOT defaults to the repository)
"""
import collections
import os
import re
import sys

SOURCE_TOPS = ["src", "include", "cli", "helper-tool", "pdf-module"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
CODE = re.compile(r"`([^`]+)`")
KNOWN = "known, to be removed"


def layer_of(relative):
    """The layer of a file given relative to the root, or None outside them."""
    parts = relative.split("/")
    if parts[0] == "include":
        parts = parts[2:]  # include/orvexa/<area>/...
    elif parts[0] == "src":
        parts = parts[1:]
    else:
        return parts[0]
    if len(parts) < 2:
        return None
    if parts[0] == "scan":
        family = "scan/" + parts[1]
        private = relative.startswith("src/scan/") and parts[1] != "engine"
        return family + ":private" if private and relative.endswith(".h") else family
    return parts[0]


def owner(layer):
    return layer.split(":")[0]


def resolve(root, including_dir, target):
    """The layer of an included header, or None for one that is not ours."""
    candidates = [
        os.path.join(root, "include", target),
        os.path.join(root, "src", target),
        os.path.join(including_dir, target),
        os.path.join(root, "pdf-module", target),
    ]
    for candidate in candidates:
        if os.path.isfile(candidate):
            return layer_of(os.path.relpath(candidate, root))
    return None


def read_allowed(root):
    """(allowed, known): sets of (from pattern, to) edges from ARCHITECTURE.md."""
    allowed, known = set(), set()
    in_section = False
    with open(os.path.join(root, "ARCHITECTURE.md"), encoding="utf-8") as text:
        for line in text:
            if line.startswith("#"):
                in_section = line.strip() == "### Allowed include directions"
                continue
            if not in_section or not line.startswith("| `"):
                continue
            cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
            sources = CODE.findall(cells[0])
            targets = CODE.findall(cells[1]) if len(cells) > 1 else []
            is_known = KNOWN in cells[-1]
            for source in sources:
                for target in targets:
                    (known if is_known else allowed).add((source, target))
    return allowed, known


def matches(pattern, layer):
    if pattern.endswith("/*"):
        return layer.startswith(pattern[:-1]) and ":" not in layer
    return pattern == layer


def edge_in(edges, source, target):
    return any(matches(s, source) and matches(t, target) for s, t in edges)


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), ".."))
    allowed, known = read_allowed(root)
    if not allowed:
        print("check_layers: no allowed edges found in ARCHITECTURE.md", file=sys.stderr)
        return 2
    counts = collections.Counter()
    examples = {}
    for top in SOURCE_TOPS:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if not name.endswith((".cc", ".h")):
                    continue
                path = os.path.join(folder, name)
                source = layer_of(os.path.relpath(path, root))
                if source is None:
                    continue
                with open(path, encoding="utf-8", errors="replace") as text:
                    for line in text:
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = resolve(root, folder, match.group(1))
                        if target is None or owner(target) == owner(source):
                            continue
                        counts[(owner(source), target)] += 1
                        examples.setdefault((owner(source), target),
                                            f"{os.path.relpath(path, root)}: {match.group(1)}")

    bad = []
    print(f"{'from':<22} {'to':<30} {'count':>5}  status")
    for (source, target), count in sorted(counts.items()):
        if edge_in(allowed, source, target):
            status = "ok"
        elif edge_in(known, source, target):
            status = KNOWN
        else:
            status = "NOT ALLOWED"
            bad.append((source, target))
        print(f"{source:<22} {target:<30} {count:>5}  {status}")
    for source, target in bad:
        print(f"check_layers: {source} -> {target} is not allowed, e.g. {examples[(source, target)]}",
              file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
