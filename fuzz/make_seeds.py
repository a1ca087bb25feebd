#!/usr/bin/env python3
"""Writes small seed archives for the engine's fuzzer into the given directory: every
compression method the standard library writes, directories, Unix modes, links, ZIP64
records, UTF-8 names, comments and an encrypted-flag entry."""
import io
import os
import stat
import sys
import zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def write(name, build):
    buf = io.BytesIO()
    build(buf)
    with open(os.path.join(out, name), "wb") as f:
        f.write(buf.getvalue())


def methods(buf):
    with zipfile.ZipFile(buf, "w") as z:
        z.writestr(zipfile.ZipInfo("stored.txt"), b"hello " * 20)
        z.writestr("deflated.txt", b"text text text " * 50, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("bzip2.txt", b"bz bz bz " * 50, compress_type=zipfile.ZIP_BZIP2)
        z.writestr("lzma.txt", b"lz lz lz " * 50, compress_type=zipfile.ZIP_LZMA)


def tree(buf):
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("dir/", b"")
        z.writestr("dir/sub/file.bin", bytes(range(256)) * 4)
        info = zipfile.ZipInfo("dir/exec.sh")
        info.external_attr = (stat.S_IFREG | 0o755) << 16
        info.create_system = 3
        z.writestr(info, b"#!/bin/sh\necho hi\n")
        link = zipfile.ZipInfo("dir/link")
        link.external_attr = (stat.S_IFLNK | 0o777) << 16
        link.create_system = 3
        z.writestr(link, b"sub/file.bin")
        z.writestr("caf\u00e9/\u00fcber.txt", b"utf-8 name")
        z.comment = b"archive comment"


def zip64(buf):
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED, allowZip64=True) as z:
        with z.open("forced64.txt", "w", force_zip64=True) as f:
            f.write(b"zip64 " * 100)


def encrypted_flag(buf):
    with zipfile.ZipFile(buf, "w") as z:
        z.writestr("secret.txt", b"not really encrypted")
    data = bytearray(buf.getvalue())
    # Set the encryption bit in the local and the central header.
    data[6] |= 1
    central = data.rfind(b"PK\x01\x02")
    data[central + 8] |= 1
    buf.seek(0)
    buf.truncate()
    buf.write(bytes(data))


def empty(buf):
    with zipfile.ZipFile(buf, "w"):
        pass


for name, build in [("methods.zip", methods), ("tree.zip", tree), ("zip64.zip", zip64),
                    ("encrypted.zip", encrypted_flag), ("empty.zip", empty)]:
    write(name, build)
