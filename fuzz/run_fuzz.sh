#!/usr/bin/env bash
# Builds the engine's fuzz target with clang and runs it for a given time.
#   fuzz/run_fuzz.sh [SECONDS] [JOBS]
# Seeds come from fuzz/make_seeds.py; findings land in fuzz-out/ (crash-*, leak-*, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=${2:-1}
build=build-fuzz
if ! command -v clang++ > /dev/null; then
    echo "the fuzz target needs clang: apt-get install clang" >&2
    exit 1
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMARCH_FUZZ=ON >/dev/null
cmake --build "$build" --target velmarch_engine_fuzzer -j"$(nproc)"
mkdir -p fuzz-out/corpus fuzz-out/seeds
python3 fuzz/make_seeds.py fuzz-out/seeds
# Archives of every method the engine reads, as other tools write them.
cp tests/engine/data/*.zip fuzz-out/seeds/
cd fuzz-out
QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
    "../$build/fuzz/velmarch_engine_fuzzer" -max_total_time="$seconds" -jobs="$jobs" \
    -workers="$jobs" -max_len=65536 -timeout=20 -rss_limit_mb=4096 corpus seeds
