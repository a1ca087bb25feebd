#!/usr/bin/env bash
# Directory-walk benchmark: GetAll with "*.zip" against find -iname, both on a warm cache.
# Usage: bench/walk/run.sh [BUILD_DIR] [TREE]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
tree=${2:-${TMPDIR:-/tmp}/velmarch-walk-tree}
walker=$build/bench/walk/velmarch-bench-walk
list=$(mktemp --suffix=.lst)
trap 'rm -f "$list"' EXIT

[ -x "$walker" ] || { echo "build the velmarch-bench-walk target first ($walker)" >&2; exit 1; }
[ -d "$tree" ] || python3 "$here/make_tree.py" "$tree"

# Both must find the same archives.
found=$(find "$tree" -iname '*.zip' | wc -l)
"$walker" "$tree" "$list" 1
listed=$(wc -l <"$list")
[ "$found" -eq "$listed" ] || { echo "find: $found archives, GetAll: $listed" >&2; exit 1; }

hyperfine -N --warmup 3 --runs 15 \
    "find $tree -iname *.zip" \
    "$walker $tree $list 1"
