#!/usr/bin/env bash
# Runs a command on the current X display under openbox, a window manager that frames
# windows as a user's desktop does, once openbox has taken the screen.
#   with_openbox.sh XWIN COMMAND [ARGS...]
set -euo pipefail
xwin=$1
shift
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill "$wm" 2>/dev/null || true' EXIT
"$xwin" wm - 30 || { echo "openbox did not start" >&2; exit 1; }
"$@"
