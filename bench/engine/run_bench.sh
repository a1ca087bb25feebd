#!/usr/bin/env bash
# Times velmarch-extract against unzip on the engine corpus: one process per archive,
# each archive into its own folder, on the same disk; checks that both trees are equal.
#
#   bench/engine/run_bench.sh [BUILD_DIR] [CORPUS_DIR] [RUNS] [WORK_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../build}"
corpus="${2:-/tmp/velmarch-engine-corpus}"
runs="${3:-5}"
work="${4:-/tmp/velmarch-engine-bench}"
tool="$build/engine/velmarch-extract"

[[ -x "$tool" ]] || { echo "no $tool: build the velmarch-extract target first" >&2; exit 1; }
if [[ ! -d "$corpus" ]] || [[ -z "$(ls "$corpus"/*.zip 2>/dev/null)" ]]; then
    python3 "$here/gen_corpus.py" "$corpus"
fi
mkdir -p "$work"
archives=("$corpus"/*.zip)
bytes=$(python3 -c 'import sys,zipfile; print(sum(i.file_size for a in sys.argv[1:] for i in zipfile.ZipFile(a).infolist()))' "${archives[@]}")

check_results() {
    local ok
    ok=$(grep -c "^result	0	" "$1" || true)
    # Runs inside a command substitution: leave a mark that the main shell checks.
    [[ "$ok" == "${#archives[@]}" ]] || { grep -v "^result	0	" "$1" > "$work/failed"; }
}
# As the program runs it: one engine, the whole batch in one process.
run_velmarch() {
    "$tool" "$1" "${archives[@]}" > "$work/log"
    check_results "$work/log"
}
# One process per archive, as unzip runs.
run_velmarch_each() {
    : > "$work/log"
    for a in "${archives[@]}"; do
        "$tool" "$1" "$a" >> "$work/log"
    done
    check_results "$work/log"
}
run_unzip() {
    for a in "${archives[@]}"; do
        unzip -o -qq "$a" -d "$1"
    done
}

# "wall cpu" seconds of one run of one extractor into a fresh folder (the removal is not
# timed). CPU time (user + system, children included) is printed beside the wall time
# because it hardly moves when other work shares the machine.
time_one() {
    local fn=$1 dest=$2
    rm -rf "$dest"
    mkdir -p "$dest"
    sync
    local TIMEFORMAT='%R %U %S'
    { time "$fn" "$dest" > /dev/null; } 2> "$work/time"
    awk '{printf "%.3f %.3f\n", $1, $2 + $3}' "$work/time"
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }

# Warm the page cache with the archives, then take the extractors in turn, run by run.
cat "${archives[@]}" > /dev/null
v_times=() e_times=() u_times=()
for ((i = 1; i <= runs; i++)); do
    v_times+=("$(time_one run_velmarch "$work/velmarch")")
    e_times+=("$(time_one run_velmarch_each "$work/velmarch-each")")
    u_times+=("$(time_one run_unzip "$work/unzip")")
done
[[ ! -e "$work/failed" ]] || { echo "velmarch-extract failed:" >&2; cat "$work/failed" >&2; exit 1; }
diff -r "$work/velmarch" "$work/unzip" > /dev/null || { echo "trees differ (batch)" >&2; exit 1; }
diff -r "$work/velmarch-each" "$work/unzip" > /dev/null || { echo "trees differ (each)" >&2; exit 1; }

calc() { awk "BEGIN {print $1}"; }
wall() { printf '%s\n' "$@" | awk '{print $1}' | median; }
cpu() { printf '%s\n' "$@" | awk '{print $2}' | median; }
mb=$(calc "$bytes / 1000000")
printf 'archives: %d   output: %.1f MB   runs: %d   trees identical\n' "${#archives[@]}" "$mb" "$runs"
printf '%-32s %9s %9s %9s\n' "" "wall s" "MB/s" "cpu s"
line() {
    local label=$1
    shift
    local w c
    w=$(wall "$@")
    c=$(cpu "$@")
    printf '%-32s %9.3f %9.1f %9.3f\n' "$label" "$w" "$(calc "$mb / $w")" "$c"
}
line "velmarch-extract, one process" "${v_times[@]}"
line "velmarch-extract per archive" "${e_times[@]}"
line "unzip -o -qq per archive" "${u_times[@]}"
printf 'ratio velmarch / unzip (medians): wall %.3f one process, %.3f per archive; cpu %.3f, %.3f\n' \
    "$(calc "$(wall "${v_times[@]}") / $(wall "${u_times[@]}")")" \
    "$(calc "$(wall "${e_times[@]}") / $(wall "${u_times[@]}")")" \
    "$(calc "$(cpu "${v_times[@]}") / $(cpu "${u_times[@]}")")" \
    "$(calc "$(cpu "${e_times[@]}") / $(cpu "${u_times[@]}")")"
printf 'all runs (wall cpu): velmarch %s | each %s | unzip %s\n' "${v_times[*]}" "${e_times[*]}" "${u_times[*]}"
rm -rf "$work"
