#!/usr/bin/env python3
"""Writes the corpus of bench/duplicates.sh and checks tools against it.

  duplicates_corpus.py make DIR [--files N] [--seed S]
  duplicates_corpus.py compare OURS.json PEER.txt   (jdupes/fdupes output)

The corpus: about N files in 200 folders. A quarter of them are larger than
512 KiB (what the tools compare); the rest are small files the size limit
leaves out. Of the large files, 15 % are copies (pairs, and sets of four),
many share their size with a file of different content (differing in the
first bytes, in the middle, or only in the last 16 bytes, which no prefix test
can tell apart), and the rest have sizes of their own. There are also empty
files, hard links, symbolic links and one copied folder. Everything is
deterministic for a seed; content comes from a random pool, with a unique
marker in each distinct file.
"""
import json
import os
import random
import sys

POOL_BYTES = 64 * 1024 * 1024
MIN = 512 * 1024


def make(root, files, seed):
    rng = random.Random(seed)
    pool = rng.randbytes(POOL_BYTES)
    folders = [os.path.join(root, f"d{a:02}", f"s{b:02}") for a in range(20) for b in range(10)]
    for f in folders:
        os.makedirs(f, exist_ok=True)
    serial = [0]

    def content(size):
        serial[0] += 1
        marker = f"#{serial[0]:015}#".encode()
        off = rng.randrange(0, POOL_BYTES - size)
        return marker + pool[off + len(marker):off + size]

    count = [0]

    def place(data, name=None):
        count[0] += 1
        folder = folders[rng.randrange(len(folders))]
        path = os.path.join(folder, name or f"f{count[0]:06}.bin")
        with open(path, "wb") as out:
            out.write(data)
        return path

    sizes = rng.sample(range(MIN + 1, MIN + 96 * 1024), files)  # distinct sizes
    large = files // 4
    copies = int(large * 0.15)
    # Copies: 4/5 of them as pairs, the rest as sets of four (three copies).
    pairs = copies * 4 // 5
    quads = (copies - pairs) // 3
    used = 0
    originals = []
    for _ in range(pairs):
        data = content(sizes[used]); used += 1
        originals.append(place(data)); place(data)
    for _ in range(quads):
        data = content(sizes[used]); used += 1
        originals.append(place(data))
        for _ in range(3):
            place(data)
    # Same size, different content.
    for _ in range(large // 12):  # differ in the first bytes
        size = sizes[used]; used += 1
        place(content(size)); place(content(size))
    for _ in range(large // 12):  # differ only in the last 16 bytes
        size = sizes[used]; used += 1
        data = bytearray(content(size))
        place(bytes(data))
        data[-16:] = rng.randbytes(16)
        place(bytes(data))
    for _ in range(large // 60):  # sets of four differing in the middle
        size = sizes[used]; used += 1
        data = bytearray(content(size))
        for _ in range(4):
            data[size // 2:size // 2 + 8] = rng.randbytes(8)
            place(bytes(data))
    while count[0] < large:
        place(content(sizes[used])); used += 1
    # Hard links and symbolic links to some originals; empty files.
    for i, original in enumerate(originals[:40]):
        os.link(original, original + f".hard{i}")
    for i, original in enumerate(originals[40:80]):
        os.symlink(original, os.path.join(root, "d00", f"link{i}.bin"))
    for i in range(100):
        place(b"", f"empty{i}.bin")
    # One copied folder of large files.
    tree = os.path.join(root, "d19", "album")
    os.makedirs(tree)
    for i in range(6):
        with open(os.path.join(tree, f"p{i}.jpg"), "wb") as out:
            out.write(content(sizes[used])); used += 1
    os.system(f"cp -r '{tree}' '{tree}-copy'")
    # Small files, 15 % of them copies too (left out by the size limit).
    small = (files - count[0]) * 7 // 8
    for i in range(small):
        size = rng.randrange(1, 16 * 1024)
        data = content(size) if size > 17 else b"x" * size
        place(data)
        if i % 7 == 0:
            place(data)
    return count[0]


def inode_groups_from_ours(path):
    with open(path) as f:
        doc = json.load(f)
    groups = set()
    for g in doc["groups"]:
        if "Folder" in g["kinds"]:
            continue
        groups.add(frozenset((os.lstat(p).st_dev, os.lstat(p).st_ino) for p in g["paths"]))
    return groups


def inode_groups_from_listing(path):
    """jdupes and fdupes print groups as paths separated by blank lines."""
    groups, current = set(), []
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if line:
                current.append(line)
                continue
            if current:
                groups.add(frozenset((os.lstat(p).st_dev, os.lstat(p).st_ino) for p in current))
            current = []
    if current:
        groups.add(frozenset((os.lstat(p).st_dev, os.lstat(p).st_ino) for p in current))
    return groups


def main(argv):
    if len(argv) >= 3 and argv[1] == "make":
        files = 20000
        seed = 7
        args = argv[3:]
        while args:
            if args[0] == "--files":
                files = int(args[1]); args = args[2:]
            elif args[0] == "--seed":
                seed = int(args[1]); args = args[2:]
            else:
                raise SystemExit(f"unknown option {args[0]}")
        made = make(argv[2], files, seed)
        print(made)
        return 0
    if len(argv) == 4 and argv[1] == "compare":
        ours = inode_groups_from_ours(argv[2])
        theirs = inode_groups_from_listing(argv[3])
        if ours == theirs:
            print(f"same {len(ours)} groups")
            return 0
        print(f"DIFFERENT: {len(ours - theirs)} groups only ours, {len(theirs - ours)} only theirs")
        for g in list(ours - theirs)[:5]:
            print("  ours only:", sorted(g))
        for g in list(theirs - ours)[:5]:
            print("  theirs only:", sorted(g))
        return 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
