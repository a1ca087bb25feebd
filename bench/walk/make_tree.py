#!/usr/bin/env python3
"""Generates the directory-walk benchmark tree: 5,000 directories and 100,000 files, of
which 2,000 are archives (a quarter of them with an upper-case extension). Fixed seed, so
every run builds the same tree. Usage: make_tree.py TREE"""

import os
import random
import sys

DIRECTORIES = 5000
FILES = 100_000
ARCHIVES = 2000
EXTENSIONS = [".txt", ".dat", ".log", ".jpg", ".c", ".h", ".doc", ".bin"]


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit("usage: make_tree.py TREE")
    root = sys.argv[1]
    if os.path.exists(root):
        sys.exit(f"{root} exists; remove it first")
    rng = random.Random(1729)

    # Directories hang below random earlier ones, which gives a tree a few levels deep
    # with a mix of wide and narrow directories.
    dirs = [root]
    os.makedirs(root)
    for n in range(DIRECTORIES - 1):
        parent = dirs[rng.randrange(len(dirs))] if n >= 20 else root
        path = os.path.join(parent, f"dir{n:04d}")
        os.mkdir(path)
        dirs.append(path)

    archive_slots = set(rng.sample(range(FILES), ARCHIVES))
    for n in range(FILES):
        where = dirs[rng.randrange(len(dirs))]
        if n in archive_slots:
            ext = ".ZIP" if rng.random() < 0.25 else ".zip"
        else:
            ext = rng.choice(EXTENSIONS)
        with open(os.path.join(where, f"file{n:06d}{ext}"), "wb") as f:
            f.write(b"x")


if __name__ == "__main__":
    main()
