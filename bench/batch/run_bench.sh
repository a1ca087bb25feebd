#!/usr/bin/env bash
# Times a whole batch extraction of the corpus tree, each archive into its own folder, with
# velmarch-batch (search, window and engine, one process) against unzip, 7z and bsdtar run
# once per archive. Every run starts from a fresh hard-link copy of the tree on the same
# disk, so the output lands beside the archives as the program puts it; the copy and the
# removal of the previous output are not timed. Each tool's first run is checked file by
# file (SHA-1 and size) against the list the generator wrote, later runs by count and size.
#
#   bench/batch/run_bench.sh [--build DIR] [--corpus DIR] [--work DIR] [--runs N]
#                            [--cache warm|cold] [--settle S]
#                            [--tools "velmarch extract unzip 7z bsdtar"] [--only GLOB]
#                            [--delete]
#
# --cache warm (default): every archive is read once right before each timed run, so all
#   tools start with the archives in the page cache. --cache cold drops the page cache
#   before each run instead (needs root; slows everyone else on the machine).
# --settle S: seconds between removing one run's output and the next timed run (default
#   65). ext4 without a journal (as here) will not reuse an inode freed less than a minute
#   ago (longer while its inode table block is still dirty; the sync before each run writes
#   it) and looks at every such inode, one by one, on each create: right after deleting
#   20,000 files, creating as many again costs two to three times the system time. perf
#   shows it as recently_deleted() under ext4_create.
# Output of a run is left in the page cache (no sync inside the timing), as an interactive
# user sees it; a sync before each run keeps the previous run's writeback out of it.
# --only GLOB: only the archives whose file name matches (e.g. 'tiles-*'), to see one kind
#   of content on its own; the copy then holds only those.
# "extract" is the engine alone: velmarch-extract once per folder with its archives.
# --delete: each archive is deleted after a good extraction, as the program does by default
#   (velmarch-batch --delete, which first makes the extracted content durable; the other
#   tools as "TOOL ... && rm ARCHIVE", which does not). "extract" cannot delete: left out.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/../../build"
corpus="/tmp/velmarch-batch-corpus"
work="/tmp/velmarch-batch-work"
runs=5
cache=warm
settle=65
tools=""
only="*"
delete=0

usage() { sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while (($#)); do
    case "$1" in
    --build) build=$2; shift 2 ;;
    --corpus) corpus=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --tools) tools=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --delete) delete=1; shift ;;
    *) usage ;;
    esac
done
[[ "$cache" == warm || "$cache" == cold ]] || usage
((runs >= 1)) || usage
if [[ "$cache" == cold && ! -w /proc/sys/vm/drop_caches ]]; then
    echo "--cache cold needs a writable /proc/sys/vm/drop_caches" >&2
    exit 1
fi

batch="$build/app/velmarch-batch"
extract="$build/engine/velmarch-extract"
if [[ -z "$tools" ]]; then
    [[ -x "$batch" ]] && tools+="velmarch "
    [[ -x "$extract" ]] && ((!delete)) && tools+="extract "
    tools+="unzip 7z bsdtar"
fi
for t in $tools; do
    case "$t" in
    velmarch) [[ -x "$batch" ]] || { echo "no $batch: build velmarch-batch" >&2; exit 1; } ;;
    extract) [[ -x "$extract" ]] || { echo "no $extract: build velmarch-extract" >&2; exit 1; } ;;
    unzip | 7z | bsdtar) command -v "$t" > /dev/null || { echo "$t is not installed" >&2; exit 1; } ;;
    *) echo "unknown tool $t" >&2; exit 2 ;;
    esac
done

if [[ ! -f "$corpus/expected.txt" ]]; then
    python3 "$here/gen_corpus.py" "$corpus"
fi
mkdir -p "$work"
copy="$work/tree"
# Archives relative to the tree; the tools run on the copy, each archive into its own
# folder.
mapfile -t archives < <(cd "$corpus/tree" && find . -type f -iname '*.zip' -name "$only" | sed 's|^\./||' | LC_ALL=C sort)
((${#archives[@]})) || { echo "no archive matches $only" >&2; exit 1; }
paths=() dests=()
for a in "${archives[@]}"; do
    paths+=("$copy/$a")
    if [[ "$a" == */* ]]; then dests+=("$copy/${a%/*}"); else dests+=("$copy"); fi
done
mapfile -t folders < <(printf '%s\n' "${dests[@]}" | LC_ALL=C sort -u)

# The generator's list cut down to the chosen archives: each one's files lie below a
# folder named after it, beside it.
expected="$work/expected.txt"
printf '%s\n' "${archives[@]}" | sed 's|\.[Zz][Ii][Pp]$|/|' |
    awk 'NR == FNR {want[$0] = 1; next}
         {path = $0; sub(/^[^ ]* [^ ]* /, "", path); n = split(path, c, "/"); p = ""
          for (i = 1; i < n; i++) { p = p c[i] "/"; if (p in want) { print; next } }}' - "$corpus/expected.txt" > "$expected"
expected_files=$(wc -l < "$expected")
expected_bytes=$(awk '{s += $2} END {print s}' "$expected")

# Hard links where the work folder shares the corpus's file system: no archive is copied.
link=-a
[[ "$(stat -c %d "$corpus/tree")" != "$(stat -c %d "$work")" ]] || link=-al
clone() {
    mkdir "$copy"
    (cd "$corpus/tree" && cp "$link" --parents "${archives[@]}" "$copy")
}

prepare() {
    rm -rf "$copy"
    local removed=$EPOCHSECONDS
    clone
    sync
    if [[ "$cache" == cold ]]; then
        echo 3 > /proc/sys/vm/drop_caches
    else
        cat "${paths[@]}" > /dev/null
    fi
    local wait=$((removed + settle - EPOCHSECONDS))
    ((wait <= 0)) || sleep "$wait"
}

delete_flag=()
((delete)) && delete_flag=(--delete)
# After a good extraction with --delete, the archive goes.
remove() { if ((delete)); then rm -f "$1"; fi; }
run_velmarch() {
    "$batch" "${delete_flag[@]}" "$copy" > "$work/velmarch.out" 2> "$work/velmarch.err"
}
check_velmarch() {
    local fine
    fine=$(grep -c $'^log\t.* Unziped Fine$' "$work/velmarch.out" || true)
    if [[ "$fine" != "${#archives[@]}" ]] || grep -q $'^log\t.*Could not unzip' "$work/velmarch.out"; then
        echo "velmarch-batch: $fine of ${#archives[@]} archives unzipped fine:" >&2
        grep -v $'Unziped Fine$' "$work/velmarch.out" "$work/velmarch.err" >&2 || true
        return 1
    fi
}
run_extract() {
    : > "$work/extract.out"
    local f i group
    for f in "${folders[@]}"; do
        group=()
        for i in "${!paths[@]}"; do
            if [[ "${dests[i]}" == "$f" ]]; then group+=("${paths[i]}"); fi
        done
        "$extract" "$f" "${group[@]}" >> "$work/extract.out"
    done
}
check_extract() {
    local ok
    ok=$(grep -c $'^result\t0\t' "$work/extract.out" || true)
    if [[ "$ok" != "${#archives[@]}" ]]; then
        echo "velmarch-extract: $ok of ${#archives[@]} archives extracted:" >&2
        grep -v $'^result\t0\t' "$work/extract.out" >&2 || true
        return 1
    fi
}
run_unzip() {
    local i
    for i in "${!paths[@]}"; do unzip -o -qq "${paths[i]}" -d "${dests[i]}" && remove "${paths[i]}"; done
}
run_7z() {
    local i
    for i in "${!paths[@]}"; do 7z x -y -o"${dests[i]}" "${paths[i]}" > /dev/null && remove "${paths[i]}"; done
}
run_bsdtar() {
    local i
    for i in "${!paths[@]}"; do bsdtar -xf "${paths[i]}" -C "${dests[i]}" && remove "${paths[i]}"; done
}
check_unzip() { :; }
check_7z() { :; }
check_bsdtar() { :; }

# Every extracted file with its SHA-1 against the generator's list.
check_tree_full() {
    python3 "$here/manifest.py" "$copy" > "$work/$1.manifest"
    if ! diff -q "$expected" "$work/$1.manifest" > /dev/null; then
        echo "$1 produced other files than expected (first differences):" >&2
        diff "$expected" "$work/$1.manifest" | head -20 >&2
        return 1
    fi
}
check_tree_quick() {
    local got
    got=$(find "$copy" -type f ! -iname '*.zip' ! -name unzip.tmp ! -name velmarch.log -printf '%s\n' |
        awk '{n++; s += $1} END {print n + 0, s + 0}')
    if [[ "$got" != "$expected_files $expected_bytes" ]]; then
        echo "$1 produced $got (files bytes), expected $expected_files $expected_bytes" >&2
        return 1
    fi
}

name_of() {
    case "$1" in
    velmarch) echo "velmarch-batch (whole run)" ;;
    extract) echo "velmarch-extract per folder" ;;
    unzip) echo "unzip -o -qq per archive" ;;
    7z) echo "7z x -y per archive" ;;
    bsdtar) echo "bsdtar -xf per archive" ;;
    esac
}

fs_type=$(df -T "$work" | awk 'NR == 2 {print $2}')
echo "date:    $(date)"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), output on $fs_type ($work)"
echo "corpus:  ${#archives[@]} archives in ${#folders[@]} folders, $expected_files files, $(awk -v b="$expected_bytes" 'BEGIN {printf "%.1f", b / 1e6}') MB extracted"
((delete)) && echo "delete:  every archive deleted after a good extraction"
echo "cache:   $cache, $runs runs per tool, tools taken in turn, order rotated each round, ${settle} s settle after each removal"
echo "load:    $(uptime | sed 's/.*load average: //') (1, 5, 15 min) before"

declare -A wall cpu
tool_list=($tools)
TIMEFORMAT='%3R %3U %3S'
for ((round = 0; round < runs; round++)); do
    n=${#tool_list[@]}
    for ((k = 0; k < n; k++)); do
        t=${tool_list[$(((k + round) % n))]}
        prepare
        { time "run_$t"; } 2> "$work/time.txt" || { echo "$(name_of "$t") failed" >&2; cat "$work/time.txt" >&2; exit 1; }
        read -r real user sys < <(tail -n1 "$work/time.txt")
        "check_$t"
        if ((delete)) && [[ -n "$(find "$copy" -type f -iname '*.zip' -print -quit)" ]]; then
            echo "$(name_of "$t") left archives behind" >&2
            exit 1
        fi
        if ((round == 0)); then check_tree_full "$t"; else check_tree_quick "$t"; fi
        wall[$t]+="$real "
        cpu[$t]+="$(awk -v u="$user" -v s="$sys" 'BEGIN {printf "%.3f", u + s}') "
        printf '  round %d  %-28s %7.3f s wall  %7.3f s user  %7.3f s sys\n' $((round + 1)) "$(name_of "$t")" "$real" "$user" "$sys"
    done
done
rm -rf "$copy"
echo "load:    $(uptime | sed 's/.*load average: //') (1, 5, 15 min) after"
echo "every tool produced the $expected_files expected files (SHA-1 and size in the first run, count and size after)"

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }
ref=""
[[ " $tools " == *" velmarch "* ]] && ref=$(median <<< "${wall[velmarch]}")
echo
printf '| %-28s | %9s | %9s | %8s | %10s | %s\n' "tool" "median s" "CPU s" "MB/s" "x Velmarch" "wall times, s"
printf '|%s|%s|%s|%s|%s|%s\n' "------------------------------" "-----------" "-----------" "----------" "------------" "---"
for t in $tools; do
    m=$(median <<< "${wall[$t]}")
    c=$(median <<< "${cpu[$t]}")
    ratio=$([[ -n "$ref" ]] && awk -v m="$m" -v r="$ref" 'BEGIN {printf "%.2f", m / r}' || echo -)
    printf '| %-28s | %9.3f | %9.3f | %8.1f | %10s | %s\n' "$(name_of "$t")" "$m" "$c" \
        "$(awk -v b="$expected_bytes" -v m="$m" 'BEGIN {print b / 1e6 / m}')" "$ratio" "${wall[$t]% }"
done
