#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test offscreen: once in the normal build,
# once more under AddressSanitizer and UndefinedBehaviorSanitizer (build-sanitize/).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
./scripts/build.sh build
ctest --test-dir build --output-on-failure -j"$(nproc)"

./scripts/build.sh build-sanitize -DVELMARCH_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
# Every process a test starts inherits these: any finding, leaks included, fails the test.
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0"
ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"
