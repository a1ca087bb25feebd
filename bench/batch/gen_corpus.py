#!/usr/bin/env python3
"""Writes the whole-batch benchmark corpus: about 120 zip archives spread over a tree of
20 directories, about 680 MB once extracted. Always the same bytes for the same seed.

    gen_corpus.py OUT [--seed N] [--scale F]

OUT/tree holds the archives; OUT/expected.txt lists every file the extraction must
produce (as manifest.py prints it), so that each extractor is checked against what was
written rather than against another extractor."""

import argparse
import hashlib
import os
import random
import shutil
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import manifest  # noqa: E402

# A download folder, project releases, backups and media sets; one name with a blank,
# as real trees have.
FOLDERS = [
    "",
    "Downloads", "Downloads/2019", "Downloads/2020", "Downloads/2020/March", "Downloads/Software",
    "Projects", "Projects/alpha", "Projects/alpha/releases", "Projects/beta", "Projects/gamma",
    "Projects/gamma/old builds",
    "Backups", "Backups/daily", "Backups/weekly",
    "Media", "Media/scans", "Media/sets",
    "Archive Store", "Archive Store/A",
]

FIXED_TIME = (2021, 5, 17, 10, 30, 0)


def vocabulary(rng, count):
    syllables = ["ka", "lo", "mi", "ne", "tor", "ar", "sel", "ve", "un", "dra", "pe", "qui",
                 "st", "ro", "an", "ex", "tion", "ing", "ly", "er", "za", "ho", "bri", "cu"]
    words = set()
    while len(words) < count:
        words.add("".join(rng.choices(syllables, k=rng.randint(1, 4))))
    return sorted(words)


def text_pool(rng, size):
    """Lines of words with a Zipf-like frequency, like prose or source text."""
    words = vocabulary(rng, 4000)
    weights = [1.0 / (rank + 1) for rank in range(len(words))]
    cumulative = []
    total = 0.0
    for w in weights:
        total += w
        cumulative.append(total)
    lines = []
    length = 0
    while length < size:
        picked = rng.choices(words, cum_weights=cumulative, k=rng.randint(3, 16))
        text = " ".join(picked)
        text = text[0].upper() + text[1:] + rng.choice([".", ",", ";", ":", ".", "."]) + "\n"
        lines.append(text)
        length += len(text)
    return "".join(lines).encode()


def text_blob(rng, pool, size):
    # Windows of the shared pool, each behind a numbered header so that files differ.
    parts = []
    length = 0
    while length < size:
        start = rng.randrange(0, len(pool) - 65536)
        chunk = b"%010d " % rng.randrange(10**10) + pool[start:start + rng.randint(2048, 65536)]
        parts.append(chunk)
        length += len(chunk)
    return b"".join(parts)[:size]


class Corpus:
    def __init__(self, out):
        self.tree = os.path.join(out, "tree")
        self.expected = []
        self.archives = 0
        self.uncompressed = 0
        self.compressed = 0

    def write(self, folder, stem, entries, dirs=()):
        """entries: (name, data, method). Every entry sits below a folder named after the
        archive, so archives of one folder never write to the same path."""
        path = os.path.join(self.tree, folder, stem + ".zip")
        with zipfile.ZipFile(path, "w", compresslevel=6) as z:
            for d in dirs:
                info = zipfile.ZipInfo(stem + "/" + d + "/", date_time=FIXED_TIME)
                info.external_attr = (0o40755 << 16) | 0x10
                info.create_system = 3
                z.writestr(info, b"")
            for name, data, method in entries:
                info = zipfile.ZipInfo(stem + "/" + name, date_time=FIXED_TIME)
                info.external_attr = 0o100644 << 16
                info.create_system = 3
                info.compress_type = method
                z.writestr(info, data)
                rel = (folder + "/" if folder else "") + stem + "/" + name
                self.expected.append((rel, hashlib.sha1(data).hexdigest(), len(data)))
                self.uncompressed += len(data)
        self.archives += 1
        self.compressed += os.path.getsize(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", help="directory for the corpus (replaced)")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiplies every file size (a small corpus for trying the script)")
    args = parser.parse_args()
    started = time.monotonic()
    rng = random.Random(args.seed)

    def size(low, high):
        return max(1, int(rng.randint(low, high) * args.scale))

    if os.path.exists(args.out):
        shutil.rmtree(args.out)
    corpus = Corpus(args.out)
    for folder in FOLDERS:
        os.makedirs(os.path.join(corpus.tree, folder), exist_ok=True)
    pool = text_pool(rng, 8 << 20)
    D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED

    # The four large single-file archives: two text, one incompressible stored and one
    # incompressible deflated (what a zipper does when told to compress everything).
    large = [(100, "text", D), (72, "text", D), (64, "random", S), (50, "random", D)]
    for n, (mb, kind, method) in enumerate(large, 1):
        length = int((mb << 20) * args.scale)
        data = text_blob(rng, pool, length) if kind == "text" else rng.randbytes(length)
        name = "image.iso" if kind == "random" else "dump.sql"
        corpus.write(FOLDERS[[5, 8, 13, 16][n - 1]], "big-%d" % n, [(name, data, method)])

    order = []
    order += ["docs"] * 44
    order += ["blobs"] * 28
    order += ["tiles"] * 44
    rng.shuffle(order)
    counters = {}
    for kind in order:
        counters[kind] = counters.get(kind, 0) + 1
        stem = "%s-%03d" % (kind, counters[kind])
        folder = rng.choice(FOLDERS)
        if kind == "docs":
            # Text-like documents of 100 to 900 KB, deflated.
            entries = [("docs/chapter%02d.txt" % i, text_blob(rng, pool, size(100_000, 900_000)),
                        D) for i in range(rng.randint(4, 12))]
            corpus.write(folder, stem, entries)
        elif kind == "blobs":
            # Incompressible payloads; alternate archives stored and deflated.
            method = S if counters[kind] % 2 else D
            entries = [("data/part%02d.bin" % i, rng.randbytes(size(300_000, 1_500_000)), method)
                       for i in range(rng.randint(2, 4))]
            corpus.write(folder, stem, entries)
        else:
            # Hundreds of 1 to 10 KB files in a folder tree; incompressible ones stored,
            # as zippers do when deflate does not pay. Half the archives list their folders.
            subdirs = ["src/mod%02d" % m for m in range(rng.randint(8, 24))]
            entries = []
            for i in range(rng.randint(300, 700)):
                length = size(1024, 10240)
                if i % 4 == 3:
                    data, method = rng.randbytes(length), S
                else:
                    data, method = text_blob(rng, pool, length), D
                entries.append(("%s/f%04d.dat" % (subdirs[i % len(subdirs)], i), data, method))
            dirs = ["src"] + subdirs if counters[kind] % 2 else ()
            corpus.write(folder, stem, entries, dirs)

    corpus.expected.sort()
    with open(os.path.join(args.out, "expected.txt"), "w") as f:
        f.write("".join(manifest.line(sha1, n, path) + "\n"
                        for path, sha1, n in corpus.expected))
    print("%d archives in %d folders, %d files, %.1f MB extracted, %.1f MB of archives (%.0f s)"
          % (corpus.archives, len(FOLDERS), len(corpus.expected), corpus.uncompressed / 1e6,
             corpus.compressed / 1e6, time.monotonic() - started))


if __name__ == "__main__":
    main()
