#!/usr/bin/env python3
"""Prints one line per extracted file below a tree: SHA-1, size and the path relative to
the tree, sorted by path. Archives and the program's own list and log files are left
out, so that the lines of two extractors' trees compare equal when they produced the same
files."""

import hashlib
import os
import sys

# Written by the batch program itself, not extracted from an archive.
OWN_FILES = {"unzip.tmp", "velmarch.log"}


def line(sha1, size, path):
    return "%s %d %s" % (sha1, size, path)


def is_extracted(name):
    return not name.lower().endswith(".zip") and name.lower() not in OWN_FILES


def tree_lines(root):
    lines = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in files:
            if not is_extracted(name):
                continue
            path = os.path.join(folder, name)
            digest = hashlib.sha1()
            size = 0
            with open(path, "rb") as f:
                while chunk := f.read(1 << 20):
                    digest.update(chunk)
                    size += len(chunk)
            lines.append((os.path.relpath(path, root).replace(os.sep, "/"), digest.hexdigest(),
                          size))
    lines.sort()
    return [line(sha1, size, path) for path, sha1, size in lines]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: manifest.py TREE")
    sys.stdout.write("".join(l + "\n" for l in tree_lines(sys.argv[1])))


if __name__ == "__main__":
    main()
