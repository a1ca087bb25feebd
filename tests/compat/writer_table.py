"""The zip writers the compatibility check drives, and each one's options per case.

Each writer is asked for what users actually do with it (its own folder walk where it has
one), so that what Velmarch meets is what people send. A writer that is not installed is
listed with the reason; an option the writer refuses shows as the writer's failure.
"""

import io
import json
import os
import shutil
import stat
import subprocess
import sys
import zipfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

HERE = Path(__file__).resolve().parent
HELPERS = HERE / "writers"
NPM_PACKAGES = ["archiver", "jszip", "adm-zip", "yazl"]


class WriterFailed(Exception):
    """The writer itself could not make the archive."""


@dataclass
class Option:
    case: str
    label: str
    # Writes the archive of the case tree `src` to `out`. Returns the names it was given
    # as {name: content} when that is not the whole tree (a file fed on standard input).
    write: Callable[[Path, Path], Optional[dict]]
    # Why Velmarch is not expected to read this yet; the row is marked, not failed.
    pending: str = ""


@dataclass
class Writer:
    name: str
    version: str = ""
    missing: str = ""
    options: list = field(default_factory=list)


@dataclass
class Context:
    scratch: Path  # compiled helpers, the npm folder
    npm_dir: Path


def run(cmd, cwd=None, env=None, out: Optional[Path] = None, stdin: Optional[Path] = None):
    """Runs a writer; with `out`, its standard output goes there through a pipe, so the
    writer sees an output it cannot seek in: the streaming case."""
    full_env = dict(os.environ, LC_ALL="C.UTF-8", LANG="C.UTF-8")
    full_env.update(env or {})
    stdin_file = open(stdin, "rb") if stdin else subprocess.DEVNULL
    try:
        done = subprocess.run(cmd, cwd=cwd, env=full_env, stdin=stdin_file, capture_output=True,
                              timeout=600)
    finally:
        if stdin:
            stdin_file.close()
    if done.returncode != 0:
        text = (done.stderr or done.stdout).decode("utf-8", "replace").strip().splitlines()
        errors = [l.strip() for l in text if "rror" in l or "xception" in l]
        raise WriterFailed((errors or text or [f"exit {done.returncode}"])[0][:160])
    if out is not None:
        out.write_bytes(done.stdout)


def first_line(cmd) -> str:
    try:
        done = subprocess.run(cmd, capture_output=True, timeout=60)
    except OSError:
        return ""
    lines = [l for l in (done.stdout + done.stderr).decode("utf-8", "replace").splitlines() if l.strip()]
    return lines[0].strip() if lines else ""


def line_matching(cmd, start: str) -> str:
    """The first line of a command's output that starts with `start`."""
    done = subprocess.run(cmd, capture_output=True, timeout=60)
    for line in (done.stdout + done.stderr).decode("utf-8", "replace").splitlines():
        if line.strip().startswith(start):
            return line.strip()
    return ""


# --- Info-ZIP zip ---------------------------------------------------------------------------

def infozip(ctx: Context) -> Writer:
    w = Writer("infozip")
    if not shutil.which("zip"):
        w.missing = "zip not installed (apt-get install zip)"
        return w
    w.version = line_matching(["zip", "-h"], "Zip ").replace(" Usage:", "")

    def zip_r(*flags, env=None, pipe=False):
        def write(src, out):
            if pipe:
                run(["zip", "-q", "-r", *flags, "-", "."], cwd=src, env=env, out=out)
            else:
                run(["zip", "-q", "-r", *flags, str(out), "."], cwd=src, env=env)
        return write

    def from_stdin(rel, *flags, pipe=False):
        def write(src, out):
            run(["zip", "-q", *flags, "-" if pipe else str(out), "-"], cwd=src, stdin=src / rel,
                out=out if pipe else None)
            return {"-": (src / rel).read_bytes()}
        return write

    def comment(src, out):
        text = src.parent / (src.name + ".comment")
        text.write_bytes(b"An archive comment,\nover two lines.\n")
        run(["zip", "-q", "-r", "-z", str(out), "."], cwd=src, stdin=text)

    w.options = [
        Option("plain", "-r", zip_r()),
        Option("plain", "-r -0", zip_r("-0")),
        Option("plain", "-r -9", zip_r("-9")),
        Option("plain", "-r -Z bzip2", zip_r("-Z", "bzip2")),
        Option("plain", "-r -D (no folder entries)", zip_r("-D")),
        Option("plain", "-r -X (no extra fields)", zip_r("-X")),
        Option("plain", "-r -z (comment)", comment),
        Option("stream", "-r - | pipe", zip_r(pipe=True)),
        Option("stream", "-r -0 - | pipe", zip_r("-0", pipe=True)),
        Option("stream", "-r -fd", zip_r("-fd")),
        Option("stream", "-r -0 -fd", zip_r("-0", "-fd")),
        Option("stream", "- (stdin)", from_stdin("docs/readme.md")),
        Option("stream", "-fz- - (stdin)", from_stdin("docs/readme.md", "-fz-")),
        Option("stream", "- - (stdin) | pipe", from_stdin("docs/readme.md", pipe=True)),
        Option("stream", "-fz- - - (stdin) | pipe", from_stdin("docs/readme.md", "-fz-", pipe=True)),
        Option("zip64", "-r -fz", zip_r("-fz")),
        Option("zip64", "-r -fz -0", zip_r("-fz", "-0")),
        Option("zip64", "-r -fz - | pipe", zip_r("-fz", pipe=True)),
        Option("zip64", "-r -fz -fd", zip_r("-fz", "-fd")),
        Option("empty", "-r", zip_r()),
        Option("unicode", "-r", zip_r()),
        Option("unicode", "-r -UN=UTF8", zip_r("-UN=UTF8")),
        Option("unicode", "-r (LC_ALL=C)", zip_r(env={"LC_ALL": "C", "LANG": "C"})),
        Option("links", "-r -y", zip_r("-y")),
        Option("links", "-r (follows)", zip_r()),
        Option("many", "-r", zip_r()),
        Option("many", "-r - | pipe", zip_r(pipe=True)),
        Option("huge", "-r", zip_r()),
        Option("huge", "-r - | pipe", zip_r(pipe=True)),
    ]
    return w


# --- 7-Zip ------------------------------------------------------------------------------------

def sevenzip(ctx: Context) -> Writer:
    w = Writer("7z")
    exe = shutil.which("7z") or shutil.which("7zz")
    if not exe:
        w.missing = "7z not installed (apt-get install p7zip-full)"
        return w
    w.version = line_matching([exe], "7-Zip").split(" : ")[0]

    def a(*flags):
        def write(src, out):
            run([exe, "a", "-tzip", "-bd", "-y", *flags, str(out), "."], cwd=src)
        return write

    def from_stdin(rel):
        def write(src, out):
            run([exe, "a", "-tzip", "-bd", "-y", f"-si{rel}", str(out)], cwd=src, stdin=src / rel)
            return {rel: (src / rel).read_bytes()}
        return write

    def to_stdout(src, out):
        run([exe, "a", "-tzip", "-bd", "-y", "-so", "-an", "."], cwd=src, out=out)

    ppmd = "PPMd (method 98) not read yet"
    w.options = [
        Option("plain", "-mm=Deflate", a("-mm=Deflate")),
        Option("plain", "-mm=Copy", a("-mm=Copy")),
        Option("plain", "-mm=Deflate64", a("-mm=Deflate64")),
        Option("plain", "-mm=BZip2", a("-mm=BZip2")),
        Option("plain", "-mm=LZMA", a("-mm=LZMA")),
        Option("plain", "-mm=PPMd", a("-mm=PPMd"), pending=ppmd),
        Option("plain", "-mm=XZ", a("-mm=XZ")),
        Option("plain", "-mm=LZMA:eos", a("-mm=LZMA:eos")),
        Option("plain", "-mtc=on (NTFS times)", a("-mtc=on")),
        Option("plain", "-mm=Deflate -mx=9 -mmt=2", a("-mm=Deflate", "-mx=9", "-mmt=2")),
        Option("stream", "-si (stdin)", from_stdin("docs/readme.md")),
        Option("stream", "-so | pipe", to_stdout),
        Option("empty", "default", a()),
        Option("unicode", "default", a()),
        Option("unicode", "-mcu=on", a("-mcu=on")),
        Option("unicode", "-mcp=437", a("-mcp=437")),
        Option("links", "-snl", a("-snl")),
        Option("links", "default", a()),
        Option("many", "default", a()),
        Option("many", "-mm=Copy", a("-mm=Copy")),
        Option("huge", "-mm=Deflate", a("-mm=Deflate")),
    ]
    return w


# --- bsdtar (libarchive) ------------------------------------------------------------------------

def bsdtar(ctx: Context) -> Writer:
    w = Writer("bsdtar")
    if not shutil.which("bsdtar"):
        w.missing = "bsdtar not installed (apt-get install libarchive-tools)"
        return w
    w.version = first_line(["bsdtar", "--version"])

    def c(*flags, env=None, pipe=False):
        def write(src, out):
            target = "-" if pipe else str(out)
            run(["bsdtar", "--format", "zip", *flags, "-cf", target, "."], cwd=src, env=env,
                out=out if pipe else None)
        return write

    store = ("--options", "zip:compression=store")
    w.options = [
        Option("plain", "default", c()),
        Option("plain", "zip:compression=store", c(*store)),
        Option("plain", "zip:compression-level=9", c("--options", "zip:compression-level=9")),
        Option("stream", "-cf - | pipe", c(pipe=True)),
        Option("stream", "store -cf - | pipe", c(*store, pipe=True)),
        Option("zip64", "zip:zip64", c("--options", "zip:zip64")),
        Option("zip64", "zip:zip64 store", c("--options", "zip:zip64,zip:compression=store")),
        Option("empty", "default", c()),
        Option("unicode", "default", c()),
        Option("unicode", "zip:hdrcharset=UTF-8", c("--options", "zip:hdrcharset=UTF-8")),
        Option("unicode", "(LC_ALL=C)", c(env={"LC_ALL": "C", "LANG": "C"})),
        Option("links", "default", c()),
        Option("links", "-L (follows)", c("-L")),
        Option("many", "default", c()),
        Option("huge", "default", c()),
        Option("huge", "-cf - | pipe", c(pipe=True)),
    ]
    return w


# --- Python zipfile -------------------------------------------------------------------------

class Unseekable(io.RawIOBase):
    """A file that only takes writes, as a pipe or a socket does."""

    def __init__(self, f):
        self._f = f

    def writable(self):
        return True

    def write(self, b):
        return self._f.write(b)


def walk(src: Path, keep_links: bool):
    """(path, name, kind) in name order, folders before what is in them."""
    for path in sorted(src.iterdir(), key=lambda p: p.name):
        name = path.relative_to(src).as_posix()
        if keep_links and path.is_symlink():
            yield path, name, "link"
        elif path.is_dir():
            yield path, name + "/", "dir"
            for sub, subname, kind in walk(path, keep_links):
                yield sub, name + "/" + subname, kind
        else:
            yield path, name, "file"


def python_zipfile(ctx: Context) -> Writer:
    w = Writer("python-zipfile", version=f"Python {sys.version.split()[0]} zipfile")

    def zf(method, unseekable=False, zip64=False, links=False, comment=b""):
        def write(src, out):
            with open(out, "wb") as f:
                target = Unseekable(f) if unseekable else f
                with zipfile.ZipFile(target, "w", method) as z:
                    z.comment = comment
                    for path, name, kind in walk(src, links):
                        if kind == "link":
                            info = zipfile.ZipInfo(name)
                            info.create_system = 3
                            info.external_attr = (stat.S_IFLNK | 0o777) << 16
                            z.writestr(info, os.readlink(path))
                        elif kind == "dir" or not zip64:
                            z.write(path, name)
                        else:
                            info = zipfile.ZipInfo.from_file(path, name)
                            info.compress_type = method
                            with open(path, "rb") as data, z.open(info, "w", force_zip64=True) as dest:
                                shutil.copyfileobj(data, dest)
        return write

    def appended(src, out):
        """Half the entries written, the rest added in append mode, as tools that add to
        an archive over time do."""
        entries = list(walk(src, False))
        with zipfile.ZipFile(out, "w", D) as z:
            for path, name, kind in entries[:len(entries) // 2]:
                z.write(path, name)
        with zipfile.ZipFile(out, "a", D) as z:
            for path, name, kind in entries[len(entries) // 2:]:
                z.write(path, name)

    def nothing(src, out):
        zipfile.ZipFile(out, "w").close()
        return {}

    D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
    w.options = [
        Option("plain", "ZIP_STORED", zf(S)),
        Option("plain", "ZIP_DEFLATED", zf(D)),
        Option("plain", "ZIP_BZIP2", zf(zipfile.ZIP_BZIP2)),
        Option("plain", "ZIP_LZMA", zf(zipfile.ZIP_LZMA)),
        Option("plain", "ZIP_DEFLATED, comment", zf(D, comment=b"a comment\r\nPK\x05\x06 inside")),
        Option("stream", "deflated, unseekable", zf(D, unseekable=True)),
        Option("stream", "stored, unseekable", zf(S, unseekable=True)),
        Option("stream", "bzip2, unseekable", zf(zipfile.ZIP_BZIP2, unseekable=True)),
        Option("stream", "lzma, unseekable", zf(zipfile.ZIP_LZMA, unseekable=True)),
        Option("zip64", "deflated force_zip64", zf(D, zip64=True)),
        Option("zip64", "stored force_zip64", zf(S, zip64=True)),
        Option("zip64", "force_zip64, unseekable", zf(D, unseekable=True, zip64=True)),
        Option("empty", "ZIP_DEFLATED", zf(D)),
        Option("empty", "no entries", nothing),
        Option("unicode", "ZIP_DEFLATED", zf(D)),
        Option("unicode", "half in append mode", appended),
        Option("links", "ZIP_DEFLATED (follows)", zf(D)),
        Option("links", "link entries (S_IFLNK)", zf(D, links=True)),
        Option("many", "ZIP_DEFLATED", zf(D)),
        Option("many", "deflated, unseekable", zf(D, unseekable=True)),
        Option("huge", "ZIP_DEFLATED", zf(D)),
        Option("huge", "deflated, unseekable", zf(D, unseekable=True)),
    ]
    return w


# --- Java -----------------------------------------------------------------------------------

def java_jar(ctx: Context) -> Writer:
    w = Writer("java-jar")
    if not shutil.which("jar"):
        w.missing = "jar not installed (apt-get install default-jdk-headless)"
        return w
    w.version = first_line(["jar", "--version"])

    def jar(flags):
        return lambda src, out: run(["jar", flags, str(out), "-C", str(src), "."])

    w.options = [Option(case, label, jar(flags)) for case, label, flags in [
        ("plain", "cfM", "cfM"), ("plain", "cfM0 (stored)", "cfM0"), ("empty", "cfM", "cfM"),
        ("unicode", "cfM", "cfM"), ("links", "cfM (follows)", "cfM"), ("many", "cfM", "cfM")]]
    return w


def java_zipoutputstream(ctx: Context) -> Writer:
    w = Writer("java-ZipOutputStream")
    if not (shutil.which("javac") and shutil.which("java")):
        w.missing = "javac not installed (apt-get install default-jdk-headless)"
        return w
    classes = ctx.scratch / "java"
    classes.mkdir(exist_ok=True)
    try:
        run(["javac", "-d", str(classes), str(HELPERS / "ZipWriter.java")])
    except WriterFailed as e:
        w.missing = f"javac failed: {e}"
        return w
    w.version = first_line(["java", "-version"])

    def jw(mode, pipe=False):
        def write(src, out):
            run(["java", "-cp", str(classes), "ZipWriter", mode, str(src), "-" if pipe else str(out)],
                out=out if pipe else None)
        return write

    w.options = [
        Option("plain", "DEFLATED", jw("deflated")),
        Option("plain", "STORED", jw("stored")),
        Option("stream", "DEFLATED to a pipe", jw("deflated", pipe=True)),
        Option("empty", "DEFLATED", jw("deflated")),
        Option("unicode", "DEFLATED", jw("deflated")),
        Option("unicode", "IBM437 charset", jw("cp437")),
        Option("links", "DEFLATED (follows)", jw("deflated")),
        Option("many", "DEFLATED", jw("deflated")),
        Option("huge", "DEFLATED", jw("deflated")),
    ]
    return w


# --- .NET System.IO.Compression, on Mono ----------------------------------------------------

def dotnet_mono(ctx: Context) -> Writer:
    w = Writer("dotnet-System.IO.Compression")
    if not (shutil.which("mcs") and shutil.which("mono")):
        w.missing = ("mcs not installed (apt-get install mono-mcs libmono-system-io-compression4.0-cil "
                     "libmono-system-io-compression-filesystem4.0-cil)")
        return w
    exe = ctx.scratch / "ZipWriter.exe"
    try:
        run(["mcs", f"-out:{exe}", "-r:System.IO.Compression.dll",
             "-r:System.IO.Compression.FileSystem.dll", str(HELPERS / "ZipWriter.cs")])
    except WriterFailed as e:
        w.missing = f"mcs failed: {e}"
        return w
    w.version = line_matching(["mono", "--version"], "Mono").split(" (")[0]

    def mw(mode):
        def write(src, out):
            pipe = mode == "stream"
            run(["mono", str(exe), mode, str(src), "-" if pipe else str(out)], out=out if pipe else None)
        return write

    w.options = [Option(case, label, mw(mode)) for case, label, mode in [
        ("plain", "CreateFromDirectory", "folder"), ("plain", "Optimal", "optimal"),
        ("plain", "NoCompression", "stored"), ("stream", "to a pipe", "stream"),
        ("empty", "CreateFromDirectory", "folder"), ("unicode", "CreateFromDirectory", "folder"),
        ("links", "CreateFromDirectory (follows)", "folder"), ("many", "CreateFromDirectory", "folder"),
        ("huge", "CreateFromDirectory", "folder")]]
    return w


# --- Go archive/zip ---------------------------------------------------------------------------

def go_archive_zip(ctx: Context) -> Writer:
    w = Writer("go-archive/zip")
    if not shutil.which("go"):
        w.missing = "go not installed (apt-get install golang-go)"
        return w
    exe = ctx.scratch / "go-zipwriter"
    env = {"GOCACHE": str(ctx.scratch / "gocache"), "GOPATH": str(ctx.scratch / "gopath"),
           "GOPROXY": "off", "GOFLAGS": "", "GO111MODULE": "off", "CGO_ENABLED": "0"}
    try:
        run(["go", "build", "-o", str(exe), str(HELPERS / "zipwriter.go")], env=env)
    except WriterFailed as e:
        w.missing = f"go build failed: {e}"
        return w
    w.version = first_line(["go", "version"])

    def gw(mode, pipe=False):
        def write(src, out):
            run([str(exe), mode, str(src), "-" if pipe else str(out)], out=out if pipe else None)
        return write

    w.options = [
        Option("plain", "Deflate", gw("deflate")),
        Option("plain", "Store", gw("store")),
        Option("stream", "Deflate to a pipe", gw("deflate", pipe=True)),
        Option("stream", "Store to a pipe", gw("store", pipe=True)),
        Option("empty", "Deflate", gw("deflate")),
        Option("unicode", "Deflate", gw("deflate")),
        Option("unicode", "NonUTF8", gw("nonutf8")),
        Option("links", "ModeSymlink entries", gw("links")),
        Option("links", "Deflate (follows)", gw("deflate")),
        Option("many", "Deflate", gw("deflate")),
        Option("huge", "Deflate", gw("deflate")),
    ]
    return w


# --- Perl and Ruby ---------------------------------------------------------------------------

def perl_archive_zip(ctx: Context) -> Writer:
    w = Writer("perl-Archive::Zip")
    version = first_line(["perl", "-MArchive::Zip", "-e", "print $Archive::Zip::VERSION"])
    if not shutil.which("perl") or not version[:1].isdigit():
        w.missing = "Archive::Zip not installed (apt-get install libarchive-zip-perl)"
        return w
    w.version = f"Archive::Zip {version}"

    def pw(mode):
        def write(src, out):
            run(["perl", str(HELPERS / "zipwriter.pl"), mode, str(src), str(out)],
                out=out if mode == "stream" else None)
        return write

    w.options = [Option(case, label, pw(mode)) for case, label, mode in [
        ("plain", "deflated", "deflated"), ("plain", "stored", "stored"),
        ("stream", "unseekable handle", "stream"), ("zip64", "ZIP64_HEADERS", "zip64"),
        ("empty", "deflated", "deflated"), ("unicode", "deflated", "deflated"),
        ("unicode", "$UNICODE = 1", "unicode"), ("links", "storeSymbolicLink", "links"),
        ("links", "deflated (follows)", "deflated"), ("many", "deflated", "deflated")]]
    return w


def ruby_rubyzip(ctx: Context) -> Writer:
    w = Writer("ruby-rubyzip")
    version = first_line(["ruby", "-e", 'require "zip"; require "zip/version"; print Zip::VERSION'])
    if not shutil.which("ruby") or not version[:1].isdigit():
        w.missing = "rubyzip not installed (apt-get install ruby ruby-zip)"
        return w
    w.version = f"rubyzip {version}"

    def rw(mode):
        return lambda src, out: run(["ruby", str(HELPERS / "zipwriter.rb"), mode, str(src), str(out)])

    w.options = [Option(case, label, rw(mode)) for case, label, mode in [
        ("plain", "deflated", "deflated"), ("plain", "stored", "stored"),
        ("zip64", "write_zip64_support", "zip64"), ("empty", "deflated", "deflated"),
        ("unicode", "deflated", "deflated"), ("unicode", "unicode_names", "unicode"),
        ("links", "File#add on links", "links"), ("links", "deflated (follows)", "deflated"),
        ("many", "deflated", "deflated")]]
    return w


# --- npm --------------------------------------------------------------------------------------

def npm_ready(ctx: Context) -> str:
    """Installs the npm writers into the scratch folder when missing; '' when ready."""
    if not shutil.which("node"):
        return "node not installed (apt-get install nodejs npm)"
    modules = ctx.npm_dir / "node_modules"
    if not all((modules / p).is_dir() for p in NPM_PACKAGES):
        if not shutil.which("npm"):
            return "npm not installed (apt-get install npm)"
        ctx.npm_dir.mkdir(parents=True, exist_ok=True)
        package = ctx.npm_dir / "package.json"
        if not package.exists():
            package.write_text('{"name": "velmarch-compat-scratch", "private": true}\n')
        try:
            run(["npm", "install", "--no-save", "--no-audit", "--no-fund", *NPM_PACKAGES], cwd=ctx.npm_dir)
        except WriterFailed as e:
            return f"npm install failed: {e}"
    shutil.copy(HELPERS / "zipwriter.mjs", ctx.npm_dir / "zipwriter.mjs")
    return ""


def npm_writer(ctx: Context, lib: str, modes) -> Writer:
    w = Writer(f"npm-{lib}")
    w.missing = npm_ready(ctx)
    package = ctx.npm_dir / "node_modules" / lib / "package.json"
    if w.missing or not package.exists():
        w.missing = w.missing or f"{lib} not installed in {ctx.npm_dir}"
        return w
    w.version = f"{lib} {json.loads(package.read_text())['version']}"

    def nw(mode):
        def write(src, out):
            pipe = mode == "stream"
            run(["node", str(ctx.npm_dir / "zipwriter.mjs"), lib, mode, str(src), "-" if pipe else str(out)],
                out=out if pipe else None)
        return write

    w.options = [Option(case, label, nw(mode)) for case, label, mode in modes]
    return w


def npm_writers(ctx: Context) -> list:
    common = [("empty", "deflate", "deflate"), ("unicode", "deflate", "deflate"), ("many", "deflate", "deflate")]
    plain = [("plain", "deflate", "deflate"), ("plain", "store", "store")]
    return [
        npm_writer(ctx, "archiver", plain + [("stream", "deflate to a pipe", "stream"),
                                             ("zip64", "forceZip64", "zip64"),
                                             ("links", "directory() (keeps links)", "deflate")] + common),
        npm_writer(ctx, "jszip", plain + [("stream", "streamFiles to a pipe", "stream"),
                                          ("links", "UNIX link entries", "links"),
                                          ("links", "follows", "deflate")] + common),
        npm_writer(ctx, "adm-zip", plain + [("links", "addLocalFolder", "deflate")] + common),
        npm_writer(ctx, "yazl", plain + [("stream", "addReadStream to a pipe", "stream"),
                                         ("zip64", "forceZip64Format", "zip64"),
                                         ("links", "link entries (mode)", "links"),
                                         ("links", "follows", "deflate")] + common),
    ]


def all_writers(ctx: Context) -> list:
    return [infozip(ctx), sevenzip(ctx), bsdtar(ctx), python_zipfile(ctx), java_jar(ctx),
            java_zipoutputstream(ctx), dotnet_mono(ctx), go_archive_zip(ctx), perl_archive_zip(ctx),
            ruby_rubyzip(ctx), *npm_writers(ctx)]
