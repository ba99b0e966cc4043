#!/bin/sh
# VERSION [EMULATOR] IFDIAG: with no display in reach, --help and --version need none; a usage
# error is one line with "try --help", status 2; no display (none set, or unserved) one line,
# 1; every form of naming the device is taken, and a missing one is named at once.
set -u
v=$1 && shift && app=$* fails=0 out=$(mktemp) err=$(mktemp)
check() { # STATUS STDERR-LINES PATTERN COMMAND...
    want=$1 lines=$2 pattern=$3 && shift 3
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM IFDIAG_PORT=/dev/null "$@" >"$out" 2>"$err"; got=$?
    [ $got = "$want" ] && [ "$(wc -l <"$err")" = "$lines" ] && cat "$out" "$err" | grep -q "$pattern" &&
        ! awk 'length > 80' "$out" | grep -q . || { echo "FAIL ($got): $*"; cat "$out" "$err"; fails=1; }
}
for opt in -h --help; do check 0 0 '^Usage: ifdiag' $app $opt; done
check 0 0 "^ifdiag $v\$" $app --version
for args in --bogus -x -p --port= "a b" "-- a b" "-platform offscreen"; do check 2 1 '^ifdiag: .*try --help' $app $args; done
check 1 1 '^ifdiag: ' $app
for args in "-p /no/tty" -p/no/tty "--port /no/tty" --port=/no/tty "-- /no/tty" /no/tty; do
    check 1 2 '^ifdiag: /no/tty: No such file' $app $args; done
check 1 1 '^ifdiag: ' env DISPLAY=:7357 $app
rm -f "$out" "$err"
exit $fails
