#!/usr/bin/env python3
"""Writes one zip archive of many tiny entries (200,000 by default): text files of 16 to
128 bytes, deflated, in folders of 500 with an entry of their own, always the same bytes
for the same seed. What it measures is the cost per entry, not the cost per byte."""

import argparse
import random
import zipfile

WORDS = "entry folder tiny note value item list data line text record field".split()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("archive")
    parser.add_argument("--entries", type=int, default=200_000)
    parser.add_argument("--per-folder", type=int, default=500)
    parser.add_argument("--seed", type=int, default=20261207)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    # A fixed date keeps the archive's bytes the same from run to run.
    stamp = (2024, 6, 15, 12, 0, 0)
    with zipfile.ZipFile(args.archive, "w", zipfile.ZIP_DEFLATED) as zf:
        for i in range(args.entries):
            folder = i // args.per_folder
            if i % args.per_folder == 0:
                zf.writestr(zipfile.ZipInfo("tiny/d%04d/" % folder, stamp), b"")
            size = rng.randint(16, 128)
            text = " ".join(rng.choices(WORDS, k=size // 4 + 1)).encode()[:size]
            info = zipfile.ZipInfo("tiny/d%04d/f%06d.txt" % (folder, i), stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            zf.writestr(info, text)


if __name__ == "__main__":
    main()
