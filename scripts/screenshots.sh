#!/usr/bin/env bash
# Makes the README's screenshots again: the main window with a source folder chosen, and
# a run halfway through, shown under Xvfb with openbox framing the window.
#   scripts/screenshots.sh [BUILD_DIR]     (default build/; writes docs/screenshots/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
./scripts/setup.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target velmarch_window_shots velmarch_xwin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Large stored archives and a few small ones, so that the run is caught mid-archive
# with some lines already in its log; one cut short and one with an entry whose bytes were
# changed, so that the run's end shows failures and why.
/usr/bin/python3 - "$work/zips" <<'PY'
import os, sys, zipfile
root = sys.argv[1]
for folder, name, size in [("photos", "2019-summer.zip", 4096), ("photos", "2020-spring.zip", 8192),
                           ("letters", "letters-2021.zip", 2048), ("backup", "backup-disk-1.zip", 48 << 20),
                           ("backup", "backup-disk-2.zip", 48 << 20)]:
    os.makedirs(os.path.join(root, folder), exist_ok=True)
    with zipfile.ZipFile(os.path.join(root, folder, name), "w", zipfile.ZIP_STORED) as z:
        z.writestr(name.replace(".zip", ".bin"), os.urandom(size))
cut = os.path.join(root, "letters", "letters-2022.zip")
with zipfile.ZipFile(cut, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("letter.txt", "Dear reader,\n" * 2000)
with open(cut, "r+b") as f:
    f.truncate(os.path.getsize(cut) // 2)
changed = os.path.join(root, "photos", "2021-autumn.zip")
with zipfile.ZipFile(changed, "w", zipfile.ZIP_STORED) as z:
    z.writestr("a.txt", "first photo")
    z.writestr("b.txt", "second photo")
data = bytearray(open(changed, "rb").read())
data[data.index(b"second photo")] ^= 0x20
open(changed, "wb").write(bytes(data))
PY
mkdir -p docs/screenshots
xvfb-run -a -s "-screen 0 1024x768x24" env QT_QPA_PLATFORM=xcb \
    tests/smoke/with_openbox.sh "$build/tests/smoke/velmarch_xwin" \
    "$build/tests/smoke/velmarch_window_shots" readme "$PWD/docs/screenshots" "$work/zips"
echo "screenshots: docs/screenshots/main-window.png docs/screenshots/run.png" \
    "docs/screenshots/run-end.png"
