#!/usr/bin/env python3
"""Compatibility check: archives from the zip writers people use, extracted by Velmarch.

For each case a tree is built; every installed writer zips it with several options; the
tool extracts each archive into a fresh folder, and what lands there is compared, name by
name and byte by byte, with the tree the writer was given. Where the writer could not keep
something (a link it followed, a folder it left out), what Velmarch produced is compared
with what the archive holds instead, as a reference reader lists it by the engine's name
rule, and the row says what the writer changed. Not part of ctest: it needs writers from
outside the build and takes minutes. See README.md beside it.
"""

import argparse
import hashlib
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))
import writer_table  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
CASES = ["plain", "stream", "zip64", "empty", "unicode", "links", "many"]
OPT_IN_CASES = ["huge"]  # minutes per writer and 9 GiB of disk at a time

# --- Case trees ------------------------------------------------------------------------------


def put(root: Path, rel: str, data: bytes = b""):
    path = root / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def build_files(root: Path):
    """Text, incompressible and highly compressible data, above one deflate block."""
    rng = random.Random(1)
    words = ["zip", "entry", "folder", "velmarch", "archive", "deflate", "byte", "name"]
    put(root, "hello.txt", b"Hello from the compatibility check.\n")
    put(root, "name with spaces.txt", b"spaces\n")
    put(root, ".hidden", b"a dot file\n")
    put(root, "docs/readme.md", " ".join(rng.choice(words) for _ in range(6000)).encode() + b"\n")
    put(root, "docs/deep/er/random.bin", rng.randbytes(24 * 1024))
    put(root, "zeros.bin", bytes(160 * 1024))


def build_empty(root: Path):
    put(root, "empty.txt")
    put(root, "outer/also-empty.dat")
    put(root, "note.txt", b"x")
    for rel in ["empty-folder", "outer/inner-empty", "outer/nested/deeper"]:
        (root / rel).mkdir(parents=True)


def build_unicode(root: Path):
    for rel in ["Ünïcödé/naïve café.txt", "中文目录/日本語のファイル名.txt", "한국어.txt",
                "emoji 🎉/😀 smile.txt", "Ελληνικά/Ωμέγα.txt", "plain-ascii.txt",
                "decomposed Cafe\u0301.txt"]:  # NFD, as macOS names files: kept as is
        put(root, rel, rel.encode("utf-8") + b"\n")


def build_links(root: Path):
    put(root, "target.txt", b"the target\n")
    put(root, "sub/file.txt", b"in sub\n")
    os.symlink("target.txt", root / "link-to-target")
    os.symlink("../target.txt", root / "sub/up-link")
    os.symlink("sub", root / "dir-link")


def build_many(root: Path, count: int = 3000):
    for i in range(count):
        put(root, f"batch-{i // 100:02d}/file-{i:04d}.txt", f"file {i}\n".encode() * (1 + i % 5))


def build_huge(root: Path):
    """A file above 4 GiB (sparse here, zeros to every reader), then one whose local header
    lies beyond 4 GiB: ZIP64 because it is needed, not forced."""
    with open(root / "big.bin", "wb") as f:
        f.truncate(HUGE_SIZE)
    put(root, "small-after.txt", b"after the big one\n")


HUGE_SIZE = (4 << 30) + (300 << 20)
BUILDERS = {"plain": build_files, "stream": build_files, "zip64": build_files,
            "empty": build_empty, "unicode": build_unicode, "links": build_links, "many": build_many,
            "huge": build_huge}

# --- Trees: {relative name: ("dir",) | ("file", sha256, size) | ("link", target)} ---------------


def file_node(data: bytes):
    return ("file", hashlib.sha256(data).hexdigest(), len(data))


def streamed_node(f):
    """A file's node read in pieces: the huge case's file fits no sensible buffer."""
    digest, size = hashlib.sha256(), 0
    while chunk := f.read(1 << 20):
        digest.update(chunk)
        size += len(chunk)
    return ("file", digest.hexdigest(), size)


def scan(root: Path) -> dict:
    tree = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            mode = os.lstat(path).st_mode
            if stat.S_ISLNK(mode):
                tree[rel] = ("link", os.readlink(path))
            elif stat.S_ISDIR(mode):
                tree[rel] = ("dir",)
            elif stat.S_ISREG(mode):
                with open(path, "rb") as f:
                    tree[rel] = streamed_node(f)
            else:
                tree[rel] = ("other",)
    return tree


def add_node(tree: dict, components: list, node):
    for i in range(1, len(components)):
        tree.setdefault("/".join(components[:i]), ("dir",))
    tree["/".join(components)] = node


def tree_of(files: dict) -> dict:
    """A tree from {name: bytes}, as the writer was handed it."""
    tree = {}
    for name, data in files.items():
        add_node(tree, name.split("/"), file_node(data))
    return tree


# --- The reference reader: Python's zipfile, with names read by Velmarch's rule ---------------


def strict_non_ascii_utf8(raw: bytes) -> bool:
    if all(b < 0x80 for b in raw):
        return False
    try:
        raw.decode("utf-8", "strict")  # rejects overlong forms, surrogates, > U+10FFFF
        return True
    except UnicodeDecodeError:
        return False


def entry_name(info: zipfile.ZipInfo) -> str:
    """The UTF-8 flag or a Unicode path field (0x7075) whose CRC still matches the stored
    name first; else strict non-ASCII UTF-8 bytes as UTF-8, anything else as CP437."""
    flagged = bool(info.flag_bits & 0x800)
    raw = info.orig_filename.encode("utf-8" if flagged else "cp437", "surrogateescape")
    if flagged:
        return raw.decode("utf-8", "replace")
    extra, unicode_path = info.extra, None
    while len(extra) >= 4:
        tag, size = int.from_bytes(extra[0:2], "little"), int.from_bytes(extra[2:4], "little")
        field, extra = extra[4:4 + size], extra[4 + size:]
        if (tag == 0x7075 and len(field) >= 5 and field[0] == 1
                and int.from_bytes(field[1:5], "little") == zlib.crc32(raw)):
            unicode_path = field[5:].decode("utf-8", "replace")
    if unicode_path is not None:
        return unicode_path
    return raw.decode("utf-8") if strict_non_ascii_utf8(raw) else raw.decode("cp437")


def safe_components(name: str):
    """The name's parts below the destination, or None where Velmarch refuses the name."""
    if not name or name[0] in "/\\" or (len(name) >= 2 and name[1] == ":" and name[0].isalpha()):
        return None
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in name):
        return None
    parts = [p for p in name.replace("\\", "/").split("/") if p not in ("", ".")]
    return None if ".." in parts else parts


def read_archive(path: Path):
    """(tree, refused names) of what the archive holds; raises where zipfile cannot read it."""
    tree, refused = {}, []
    with zipfile.ZipFile(path) as zf:
        for info in zf.infolist():
            name = entry_name(info)
            parts = safe_components(name)
            if parts is None:
                refused.append(name)
                continue
            if not parts:
                continue
            mode = info.external_attr >> 16
            if name[-1] in "/\\":
                add_node(tree, parts, ("dir",))
            elif info.create_system == 3 and stat.S_ISLNK(mode):
                add_node(tree, parts, ("link", os.fsdecode(zf.read(info))))
            else:
                with zf.open(info) as f:
                    add_node(tree, parts, streamed_node(f))
    return tree, refused


def first_difference(got: dict, want: dict) -> str:
    diffs = []
    for name in sorted(set(got) | set(want)):
        g, w = got.get(name), want.get(name)
        if g == w:
            continue
        if g is None:
            diffs.append(f"missing {w[0]} {name!r}")
        elif w is None:
            diffs.append(f"unexpected {g[0]} {name!r}")
        elif g[0] != w[0]:
            diffs.append(f"{name!r} is a {g[0]}, expected a {w[0]}")
        elif g[0] == "link":
            diffs.append(f"link {name!r} -> {g[1]!r}, expected -> {w[1]!r}")
        else:
            diffs.append(f"{name!r} content differs ({g[2]} bytes, expected {w[2]})")
    if not diffs:
        return ""
    return diffs[0] + (f" (+{len(diffs) - 1} more)" if len(diffs) > 1 else "")


# --- Running Velmarch ------------------------------------------------------------------------


def extract(tool: Path, archive: Path, dest: Path):
    """(result number, [(reason, entry)]) from velmarch-extract."""
    done = subprocess.run(["nice", str(tool), str(dest), str(archive)], capture_output=True,
                          timeout=900)
    result, skips = None, []
    for line in done.stdout.decode("utf-8", "replace").splitlines():
        fields = line.split("\t")
        if fields[0] == "skip" and len(fields) >= 3:
            skips.append((fields[1], fields[2]))
        elif fields[0] == "result" and len(fields) >= 2:
            result = int(fields[1])
    if result is None:
        raise RuntimeError(f"velmarch-extract printed no result: {done.stderr.decode(errors='replace')}")
    return result, skips


def unzip_test(archive: Path) -> str:
    """A second reader's opinion where the reference reader failed: '' when Info-ZIP's
    unzip finds the archive sound (or is missing), else its complaint."""
    if not shutil.which("unzip"):
        return ""
    done = subprocess.run(["unzip", "-tqq", str(archive)], capture_output=True, timeout=300)
    if done.returncode in (0, 81):  # 81: a method unzip lacks, which says nothing of the layout
        return ""
    text = (done.stdout + done.stderr).decode("utf-8", "replace").replace(str(archive), archive.name)
    lines = text.strip().splitlines()
    return "unzip -t: " + (lines[0].strip() if lines else f"exit {done.returncode}")


def check(option, case_dir: Path, case_tree: dict, archive: Path, dest: Path, tool: Path):
    """(status, result, skips, text); status is OK, WRITER, PENDING or FAIL."""
    try:
        handed = option.write(case_dir, archive)
    except writer_table.WriterFailed as e:
        return "WRITER", "-", "-", f"writer failed: {e}"
    given = tree_of(handed) if handed is not None else case_tree
    try:
        stored, refused = read_archive(archive)
    except Exception as e:  # a method or layout the reference reader cannot read
        stored, refused = None, []
        unreadable = f"{type(e).__name__}: {e}"
    result, skips = extract(tool, archive, dest)
    got = scan(dest)
    skip_text = str(len(skips)) + (f" (reason {skips[0][0]}: {skips[0][1]})" if skips else "")
    expected_skips = len(refused)
    wrong = ""
    if result not in (0, 40) or (result == 40) != (stored == {} or (stored is None and not given)):
        wrong = f"result {result}"
    elif len(skips) != expected_skips:
        wrong = f"{len(skips)} skips, expected {expected_skips}"
    diff_given = first_difference(got, given)
    if not wrong and not diff_given:
        return "OK", result, skip_text, "OK"
    diff_stored = first_difference(got, stored) if stored is not None else diff_given
    if not wrong and not diff_stored:
        return "WRITER", result, skip_text, f"OK as stored; writer: {first_difference(stored, given)}"
    text = "; ".join(t for t in (wrong, diff_stored) if t)
    if stored is None:
        text += f" (reference reader: {unreadable})"
    if option.pending:
        return "PENDING", result, skip_text, f"{option.pending}: {text}"
    if stored is None and result != 0:
        broken = unzip_test(archive)
        if broken:
            return "WRITER", result, skip_text, f"refused; writer made a broken archive: {broken}"
    return "FAIL", result, skip_text, text


# --- Report ----------------------------------------------------------------------------------


def print_table(writer, rows):
    print(f"\n== {writer.name}: {writer.version or writer.missing}")
    if writer.missing:
        print("   skipped: " + writer.missing)
        return
    if not rows:
        print("   no option for these cases")
        return
    widths = [max([len(h)] + [len(str(r[i])) for r in rows]) for i, h in
              enumerate(["case", "option", "result", "skips"])]
    header = ["case", "option", "result", "skips", "verdict"]
    print("   " + "  ".join(h.ljust(widths[i]) if i < 4 else h for i, h in enumerate(header)))
    for row in rows:
        cells = [str(c) for c in row]
        print("   " + "  ".join(c.ljust(widths[i]) if i < 4 else c for i, c in enumerate(cells)))
    sys.stdout.flush()


def sparse_copy(source, target):
    """Copies a file, keeping the huge case's zeros sparse (holes, no 4 GiB of writes)."""
    size = os.path.getsize(source)
    if size < (1 << 30):
        return shutil.copy2(source, target)
    with open(source, "rb") as src, open(target, "wb") as dst:
        offset = 0
        while offset < size:
            try:
                data_at = os.lseek(src.fileno(), offset, os.SEEK_DATA)
            except OSError:  # nothing but a hole up to the end
                break
            hole_at = os.lseek(src.fileno(), data_at, os.SEEK_HOLE)
            src.seek(data_at)
            dst.seek(data_at)
            dst.write(src.read(hole_at - data_at))
            offset = hole_at
        dst.truncate(size)
    return target


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", type=Path, default=REPO / "build/engine/velmarch-extract",
                        help="velmarch-extract to test (default: build/engine/velmarch-extract)")
    parser.add_argument("--writers", help="comma-separated writer names (default: all)")
    parser.add_argument("--cases", help=f"comma-separated cases (default: {','.join(CASES)}; "
                                         f"also: {','.join(OPT_IN_CASES)})")
    parser.add_argument("--npm-dir", type=Path, default=Path("/tmp/velmarch-compat-npm"),
                        help="scratch folder for the npm writers (installed there when missing)")
    parser.add_argument("--keep", type=Path, help="copy every archive that failed into this folder")
    parser.add_argument("--work", type=Path, help="work here and keep it (default: a temp dir, removed)")
    args = parser.parse_args()
    if not args.tool.is_file():
        sys.exit(f"{args.tool} missing: cmake --build build --target velmarch-extract")
    cases = args.cases.split(",") if args.cases else CASES
    wanted = set(args.writers.split(",")) if args.writers else None

    started = time.monotonic()
    work = args.work or Path(tempfile.mkdtemp(prefix="velmarch-compat-"))
    work.mkdir(parents=True, exist_ok=True)
    scratch = work / "scratch"
    scratch.mkdir(exist_ok=True)
    try:
        trees = {}
        for case in cases:
            case_dir = work / "cases" / case
            shutil.rmtree(case_dir, ignore_errors=True)
            case_dir.mkdir(parents=True)
            BUILDERS[case](case_dir)
            trees[case] = scan(case_dir)

        ctx = writer_table.Context(scratch=scratch, npm_dir=args.npm_dir)
        counts = {"OK": 0, "WRITER": 0, "PENDING": 0, "FAIL": 0}
        failures = []
        for writer in writer_table.all_writers(ctx):
            if wanted and writer.name not in wanted:
                continue
            rows = []
            for n, option in enumerate(o for o in writer.options if o.case in cases):
                slug = f"{writer.name}-{option.case}-{n}".replace("/", "_").replace(":", "_")
                archive, dest = work / "zips" / f"{slug}.zip", work / "out" / slug
                archive.parent.mkdir(parents=True, exist_ok=True)
                for old in (archive, dest):
                    shutil.rmtree(old, ignore_errors=True) if old.is_dir() else old.unlink(missing_ok=True)
                # Each writer gets its own copy: one that writes into the tree it reads
                # (Archive::Zip does, with links) must not change what the next one is given.
                src = work / "src" / option.case
                shutil.rmtree(src, ignore_errors=True)
                shutil.copytree(work / "cases" / option.case, src, symlinks=True,
                                copy_function=sparse_copy)
                status, result, skips, text = check(option, src, trees[option.case], archive, dest,
                                                    args.tool)
                counts[status] += 1
                mark = {"OK": "", "WRITER": "", "PENDING": "[pending] ", "FAIL": "FAIL: "}[status]
                rows.append((option.case, option.label, result, skips, mark + text))
                if status == "FAIL":
                    failures.append(f"{writer.name} {option.case} {option.label}: {text}")
                    if args.keep:
                        args.keep.mkdir(parents=True, exist_ok=True)
                        shutil.copy(archive, args.keep / f"{slug}.zip")
                shutil.rmtree(dest, ignore_errors=True)  # the huge case's is 4 GiB
            print_table(writer, rows)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)

    print(f"\n{counts['OK']} ok, {counts['WRITER']} changed or refused by the writer, "
          f"{counts['PENDING']} pending, {counts['FAIL']} failed "
          f"in {time.monotonic() - started:.0f} s")
    for line in failures:
        print("FAIL " + line)
    sys.exit(1 if counts["FAIL"] else 0)


if __name__ == "__main__":
    main()
