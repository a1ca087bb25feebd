#!/usr/bin/env python3
"""Writes the archive engine's benchmark corpus: about 100 zip archives of text-like,
incompressible, many-small-file and large-entry content, always the same bytes for
the same seed."""

import argparse
import os
import random
import zipfile

WORDS = (
    "archive batch destination extract folder volume entry header central directory "
    "progress abort skip method deflate stored record window button status drive path "
    "the of and to in is that for it as with was on be by this are or from at an which"
).split()


def text_pool(rng, size):
    lines = []
    total = 0
    while total < size:
        line = " ".join(rng.choices(WORDS, k=rng.randint(4, 14))) + "\n"
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()


def text_blob(rng, pool, size):
    # Windows of a shared pool, each with a numbered header so files differ.
    parts = []
    total = 0
    while total < size:
        start = rng.randrange(0, len(pool) - 65536)
        chunk = b"%08d " % rng.randrange(10**8) + pool[start:start + rng.randint(4096, 65536)]
        parts.append(chunk)
        total += len(chunk)
    return b"".join(parts)[:size]


def write_zip(path, entries, method=zipfile.ZIP_DEFLATED):
    # Each archive keeps its content under a folder of its own name, as distributed
    # archives usually do, so that a whole batch can share one destination.
    top = os.path.splitext(os.path.basename(path))[0]
    with zipfile.ZipFile(path, "w", compression=method, compresslevel=6) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(top + "/" + name, date_time=(2020, 1, 2, 3, 4, 6))
            info.external_attr = 0o644 << 16
            info.create_system = 3
            info.compress_type = method
            z.writestr(info, data)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out", help="directory for the archives")
    parser.add_argument("--seed", type=int, default=20240607)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(args.seed)
    pool = text_pool(rng, 8 << 20)

    n = 0

    def name(kind):
        nonlocal n
        n += 1
        return os.path.join(args.out, "%03d-%s.zip" % (n, kind))

    # Text-like: a dozen documents of 50 KB to 1 MB.
    for _ in range(40):
        files = [("docs/part%02d.txt" % i, text_blob(rng, pool, rng.randint(50_000, 1_000_000)))
                 for i in range(rng.randint(6, 14))]
        write_zip(name("text"), files)
    # Incompressible: random bytes, half stored as most tools would, half deflated.
    for i in range(20):
        files = [("data/blob%02d.bin" % k, rng.randbytes(rng.randint(200_000, 2_000_000)))
                 for k in range(rng.randint(2, 5))]
        write_zip(name("random"), files, zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED)
    # Many small files in a folder tree.
    for _ in range(34):
        files = []
        for k in range(rng.randint(300, 700)):
            size = rng.randint(200, 8000)
            blob = text_blob(rng, pool, size) if k % 3 else rng.randbytes(size)
            files.append(("src/m%02d/f%04d.dat" % (k % 17, k), blob))
        write_zip(name("small"), files)
    # A few large entries, of many chunks each.
    for size in (20 << 20, 40 << 20, 64 << 20, 24 << 20, 48 << 20, 8 << 20):
        write_zip(name("large"), [("big/large.txt", text_blob(rng, pool, size))])


if __name__ == "__main__":
    main()
