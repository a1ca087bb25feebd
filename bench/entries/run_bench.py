#!/usr/bin/env python3
"""Many tiny entries: one archive of 200,000 entries extracted by velmarch-extract and by
the command-line extractors, into a tmpfs and into a folder on a disk, with the wall time
and peak resident size of each run (from /usr/bin/time -v), and Velmarch's memory per
entry from a second, smaller archive.

Each round runs every tool once per file system, in an order rotated from round to round,
into a fresh folder (the previous output removed and `sync` run first). The archives are
read once before the first round, so every tool starts on a warm cache. The load average
is taken before each run: on a shared machine it says which figures can be compared."""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def tools(builds):
    listed = []
    for label, build in builds:
        # Where the tool lives in this build, and where builds before 2026-12-08 had it.
        places = [os.path.join(build, "engine", "velmarch-extract"),
                  os.path.join(build, "app", "archive_engine", "velmarch-extract")]
        exe = next((place for place in places if os.access(place, os.X_OK)), places[0])
        if not os.access(exe, os.X_OK):
            sys.exit("build the velmarch-extract target first (%s)" % exe)
        listed.append((label, lambda archive, out, exe=exe: [exe, out, archive]))
    listed += [
        ("unzip -o -qq", lambda archive, out: ["unzip", "-o", "-qq", archive, "-d", out]),
        ("bsdtar -xf", lambda archive, out: ["bsdtar", "-xf", archive, "-C", out]),
        ("7z x -y", lambda archive, out: ["7z", "x", "-y", "-bd", "-o" + out, archive]),
    ]
    return [(label, command) for label, command in listed if shutil.which(command("a", "o")[0])]


def timed(command):
    """Wall seconds, CPU seconds and peak resident KiB of one run; exits on failure."""
    result = subprocess.run(["/usr/bin/time", "-v"] + command, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0 or "result\t" in result.stdout and "result\t0\t" not in result.stdout:
        sys.exit("failed: %s\n%s%s" % (" ".join(command), result.stdout, result.stderr))

    def field(name):
        return re.search(r"^\s*%s: (.*)$" % re.escape(name), result.stderr, re.M).group(1)

    wall = 0.0
    for part in field("Elapsed (wall clock) time (h:mm:ss or m:ss)").split(":"):
        wall = wall * 60 + float(part)
    cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
    return wall, cpu, int(field("Maximum resident set size (kbytes)"))


def count_files(folder):
    files = 0
    for _, _, names in os.walk(folder):
        files += len(names)
    return files


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    subprocess.run(["sync"], check=True)


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def archive_for(directory, entries):
    path = os.path.join(directory, "tiny-%d.zip" % entries)
    if not os.path.exists(path):
        print("writing %s" % path, flush=True)
        subprocess.run([sys.executable, os.path.join(HERE, "gen_archive.py"), path,
                        "--entries", str(entries)], check=True)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", action="append", required=True, metavar="[LABEL=]DIR",
                        help="a build directory with velmarch-extract; may be repeated")
    parser.add_argument("--archives", default="/tmp/velmarch-entries",
                        help="where the archives are written once (default %(default)s)")
    parser.add_argument("--tmpfs", default="/dev/shm/velmarch-entries-out")
    parser.add_argument("--disk", default=os.path.join(os.getcwd(), "velmarch-entries-out"),
                        help="an output folder on a disk (default ./velmarch-entries-out)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--entries", type=int, default=200_000)
    parser.add_argument("--settle", type=float, default=0,
                        help="seconds of rest before each run")
    args = parser.parse_args()

    builds = []
    for spec in args.build:
        label, _, build = spec.rpartition("=")
        builds.append((label or "velmarch-extract", os.path.abspath(build)))
    os.makedirs(args.archives, exist_ok=True)
    archive = archive_for(args.archives, args.entries)
    small = archive_for(args.archives, args.entries // 10)
    warm(archive)
    warm(small)
    with subprocess.Popen(["unzip", "-Z1", archive], stdout=subprocess.PIPE, text=True) as p:
        expected = sum(1 for line in p.stdout if not line.rstrip("\n").endswith("/"))

    listed = tools(builds)
    places = [("tmpfs", args.tmpfs), ("disk", args.disk)]
    results = {}  # (place, label) -> list of (wall, cpu, rss KiB, load)
    for round_ in range(args.runs):
        shift = round_ % len(listed)
        for place, folder in places:
            for label, command in listed[shift:] + listed[:shift]:
                fresh(folder)
                time.sleep(args.settle)
                load = os.getloadavg()[0]
                wall, cpu, rss = timed(command(archive, folder))
                files = count_files(folder)
                if files != expected:
                    sys.exit("%s on %s: %d files, expected %d" % (label, place, files, expected))
                results.setdefault((place, label), []).append((wall, cpu, rss, load))
                print("round %d %-6s %-28s %7.3f s  cpu %7.3f s  %8d KiB  load %.2f"
                      % (round_ + 1, place, label, wall, cpu, rss, load), flush=True)
        shutil.rmtree(args.disk, ignore_errors=True)
        shutil.rmtree(args.tmpfs, ignore_errors=True)

    print("\nmedians of %d runs, %d entries (%d files):" % (args.runs, args.entries, expected))
    print("| file system | tool | wall s | CPU s | peak RSS MB | x unzip | load average |")
    print("|---|---|---|---|---|---|---|")
    for place, _ in places:
        unzip = results.get((place, "unzip -o -qq"))
        base = statistics.median(r[0] for r in unzip) if unzip else None
        for label, _ in listed:
            runs = results[(place, label)]
            wall = statistics.median(r[0] for r in runs)
            ratio = "%.2f" % (wall / base) if base else "-"
            loads = [r[3] for r in runs]
            print("| %s | %s | %.3f | %.3f | %.1f | %s | %.1f-%.1f |"
                  % (place, label, wall, statistics.median(r[1] for r in runs),
                     statistics.median(r[2] for r in runs) / 1024, ratio, min(loads), max(loads)))

    # Memory per entry: the difference in peak size between the two archives, over the
    # difference in entries (what does not grow with the entries cancels out).
    print()
    small_entries = args.entries // 10
    for label, build in builds:
        command = dict(listed)[label]
        peaks = []
        for path in (small, archive):
            fresh(args.tmpfs)
            peaks.append(timed(command(path, args.tmpfs))[2])
        shutil.rmtree(args.tmpfs, ignore_errors=True)
        per_entry = (peaks[1] - peaks[0]) * 1024 / (args.entries - small_entries)
        print("%s: peak %.1f MB at %d entries, %.1f MB at %d: %.0f bytes per entry"
              % (label, peaks[0] / 1024, small_entries, peaks[1] / 1024, args.entries, per_entry))


if __name__ == "__main__":
    main()
