#!/usr/bin/env bash
# Starts the real program on an X server: the about window must come first and alone,
# then the main window, whose class must be the one the desktop entry names, so that docks
# group it under its launcher; closing the main window must end the program.
#   smoke.sh PROGRAM XWIN DESKTOP_ENTRY
set -euo pipefail
program=$1
xwin=$2
entry=$3
workdir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$workdir"' EXIT

cd "$workdir"
"$program" >"$workdir/out.log" 2>&1 &
pid=$!

fail() {
    echo "smoke: $*" >&2
    cat "$workdir/out.log" >&2
    exit 1
}

"$xwin" wait "About Velmarch" 30 || fail "the about window did not appear"
if "$xwin" mapped "Velmarch v1.1"; then
    fail "the main window appeared before the about window was closed"
fi
"$xwin" close "About Velmarch" || fail "could not close the about window"
"$xwin" wait "Velmarch v1.1" 30 || fail "the main window did not appear after the about window"
wanted=$(sed -n 's/^StartupWMClass=//p' "$entry")
class=$("$xwin" class "Velmarch v1.1") || fail "the main window has no class"
[[ -n $wanted && $class == "$wanted" ]] ||
    fail "the main window's class is \"$class\", the desktop entry's \"$wanted\""
"$xwin" close "Velmarch v1.1" || fail "could not close the main window"
for _ in $(seq 1 100); do
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid" && exit 0
        fail "the program ended with an error"
    fi
    sleep 0.1
done
fail "the program did not end after its main window was closed"
