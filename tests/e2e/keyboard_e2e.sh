#!/bin/sh
# The real ifdiag as a user runs it: on an X server (Xvfb, xcb), against
# ifbox-sim, driven by real key events. Opens the dialog from the menu, switches
# motor 1 right with the keyboard, closes, quits, and checks the box saw 0x02
# and the program ended with code 0. Leaves screenshots in the output folder.
# Usage: keyboard_e2e.sh IFDIAG IFBOX_SIM OUTDIR
set -eu
app=$1
sim=$2
out=$3
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/ifdiag-e2e.XXXXXX")
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    for p in $pids; do wait "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "e2e: $*" >&2
    cat "$work/app.out" >&2 2>/dev/null || true
    import -display "$DISPLAY" -window root "$out/e2e-failure.png" 2>/dev/null || true
    exit 1
}

# A display number of our own: the first free one from 90 up.
n=90
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids="$!"
export DISPLAY=":$n"
i=0
until xdpyinfo >/dev/null 2>&1; do
    i=$((i + 1)); [ $i -lt 100 ] || fail "Xvfb did not start"; sleep 0.1
done

"$sim" --link "$work/box" --inputs fixed:0x00 --analog 258,999 --log "$work/requests.log" \
    >"$work/sim.out" 2>&1 &
pids="$! $pids"
i=0
until grep -q serving "$work/sim.out" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 100 ] || fail "ifbox-sim did not start"; sleep 0.05
done

QT_QPA_PLATFORM=xcb IFDIAG_PORT="$work/box" "$app" >"$work/app.out" 2>&1 &
app_pid=$!

# Waits for a top-level window with this exact title and gives it the focus.
focus() {
    w=$(timeout 30 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)
    [ -n "$w" ] || fail "no window '$1'"
    xdotool windowactivate --sync "$w" 2>/dev/null || xdotool windowfocus --sync "$w"
}

# Bound the program, should it hang.
( sleep 30; kill "$app_pid" ) >/dev/null 2>&1 &
watchdog=$!
pids="$watchdog $pids"

focus "Interface - Diagnose"
import -window root "$out/e2e-main-window.png" 2>/dev/null || true
xdotool key alt+p
sleep 0.3
xdotool key s
focus "Interface testen"
# The first tab stop, motor 1 "Rechts", has the focus; Space presses it.
sleep 0.3
xdotool key space
i=0
until grep -q " C[159] 02" "$work/requests.log"; do
    i=$((i + 1)); [ $i -lt 100 ] || fail "the box never saw motor 1 right (0x02)"; sleep 0.05
done
sleep 1.2 # one display refresh
import -window root "$out/e2e-dialog.png" 2>/dev/null || true
xdotool key Escape
focus "Interface - Diagnose"
lines=$(wc -l <"$work/requests.log")
sleep 0.3
xdotool key alt+p
sleep 0.3
xdotool key b

set +e
wait "$app_pid"
code=$?
set -e
kill "$watchdog" 2>/dev/null || true
[ "$code" -eq 0 ] || { cat "$work/app.out" >&2; fail "ifdiag ended with code $code"; }
# Nothing reached the box after the dialog closed.
[ "$(wc -l <"$work/requests.log")" -eq "$lines" ] || fail "requests after the dialog closed"
echo "e2e: motor byte 0x02 reached the box; ifdiag ended with code 0"
