#!/usr/bin/env python3
"""Writes small seed archives for the engine's fuzzer into the given directory: every
compression method the standard library writes plus XZ, directories, Unix modes, links,
ZIP64 records, UTF-8 names, comments, an encrypted-flag entry, data descriptors, and the
names and links the engine must refuse."""
import io
import lzma
import os
import stat
import struct
import sys
import zipfile
import zlib

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


def unsafe_names(buf):
    with zipfile.ZipFile(buf, "w") as z:
        for name in ["../up.txt", "/abs.txt", "c:/drive.txt", "\\\\server\\share\\unc.txt",
                     "a/../../twice.txt", "ok/..\\back.txt", "ok/fine.txt"]:
            info = zipfile.ZipInfo("x")
            info.filename = name  # as written, without the module's clean-up
            z.writestr(info, b"payload")


def escaping_links(buf):
    with zipfile.ZipFile(buf, "w") as z:
        for name, target in [("up", "../../outside"), ("abs", "/etc"), ("inside", "ok/f")]:
            link = zipfile.ZipInfo(name)
            link.external_attr = (stat.S_IFLNK | 0o777) << 16
            link.create_system = 3
            z.writestr(link, target.encode())
        z.writestr("up/through.txt", b"written through a link")
        z.writestr("ok/f", b"target")


class Unseekable(io.RawIOBase):
    """Makes zipfile write data descriptors, as streaming archivers do."""

    def __init__(self, buf):
        self.buf = buf

    def writable(self):
        return True

    def write(self, data):
        return self.buf.write(data)


def descriptors(buf):
    with zipfile.ZipFile(Unseekable(buf), "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(3):
            with z.open(f"streamed{i}.txt", "w") as f:
                f.write(b"streamed data " * (40 * (i + 1)))


def raw_entry_zip(buf, name, method, payload, content):
    """One entry whose compressed bytes are given as they are: methods zipfile lacks."""
    crc = zlib.crc32(content)
    encoded = name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 63, 0, method, 0, 0x21, crc,
                        len(payload), len(content), len(encoded), 0)
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 63, 63, 0, method, 0, 0x21, crc,
                          len(payload), len(content), len(encoded), 0, 0, 0, 0, 0, 0)
    directory_offset = len(local) + len(encoded) + len(payload)
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central) + len(encoded),
                      directory_offset, 0)
    buf.write(local + encoded + payload + central + encoded + end)


def xz(buf):
    content = b"xz xz xz " * 60
    raw_entry_zip(buf, "xz.txt", 95, lzma.compress(content, format=lzma.FORMAT_XZ), content)


def empty(buf):
    with zipfile.ZipFile(buf, "w"):
        pass


for name, build in [("methods.zip", methods), ("tree.zip", tree), ("zip64.zip", zip64),
                    ("encrypted.zip", encrypted_flag), ("empty.zip", empty),
                    ("unsafe.zip", unsafe_names), ("links.zip", escaping_links),
                    ("descriptors.zip", descriptors), ("xz.zip", xz)]:
    write(name, build)
