#!/usr/bin/env bash
# One entry thousands of folders deep, among ordinary ones: peak memory, time and system
# calls of velmarch-extract, and whether it still extracts everything with only 64 file
# descriptors allowed (prlimit). The archive is small (about 90 KB); what it costs must
# grow with the depth, not with its square.
#
#   bench/deep/run.sh [--build DIR] [--work DIR] [--depth N]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/../../build"
work="/tmp/velmarch-deep"
depth=20000
while (($#)); do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --depth) depth=$2; shift 2 ;;
    *) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
tool="$build/engine/velmarch-extract"
[[ -x "$tool" ]] || { echo "no $tool: build the velmarch-extract target first" >&2; exit 1; }
mkdir -p "$work"
archive="$work/deep-$depth.zip"
python3 - "$archive" "$depth" <<'PY'
import sys, zipfile
path, depth = sys.argv[1], int(sys.argv[2])
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("first.txt", "first\n")
    z.writestr("a/" * depth + "leaf.txt", "deep leaf\n")
    z.writestr("b/" * (depth // 10) + "leaf.txt", "less deep\n")
    z.writestr("last.txt", "last\n")
PY
clean() { [[ -d "$work/out" ]] && find "$work/out" -depth -delete; true; }

clean
/usr/bin/time -v "$tool" "$work/out" "$archive" >"$work/stdout" 2>"$work/time"
grep -q $'^result\t0\t' "$work/stdout" || { cat "$work/stdout" >&2; exit 1; }
files=$(find "$work/out" -type f | wc -l)
echo "depth $depth, archive $(stat -c %s "$archive") bytes, $files files extracted (of 4)"
grep -E "Elapsed|Maximum resident" "$work/time" | sed 's/^\s*/  /'

clean
strace -f -c -o "$work/strace" "$tool" "$work/out" "$archive" >/dev/null
echo "  system calls: $(awk '/total/ {print $4}' "$work/strace")"

clean
prlimit --nofile=64 "$tool" "$work/out" "$archive" >"$work/stdout"
echo "  with 64 descriptors: $(cut -f1,2 "$work/stdout" | tr '\t' ' ')"
clean
