#!/bin/sh
# VERSION IFBOX-SIM [EMULATOR] IFDIAG, no display in reach: --help (80 columns), --version; a
# usage error is one line with "try --help", status 2. ifdiag: no display one line, 1; each
# form of naming the device taken, a missing one or no serial port named at once, also by
# --list-ports. ifbox-sim replaces only a stale link and removes only its own.
set -u
v=$1 sim=$2 && shift 2 && app=$* fails=0 out=$(mktemp) err=$(mktemp)
check() { # STATUS STDERR-LINES PATTERN COMMAND...
    want=$1 lines=$2 pattern=$3 && shift 3
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM IFDIAG_PORT=/dev/null "$@" >"$out" 2>"$err"; got=$?
    [ $got = "$want" ] && [ "$(wc -l <"$err")" = "$lines" ] && cat "$out" "$err" | grep -q "$pattern" &&
        ! awk 'length > 80' "$out" | grep -q . || { echo "FAIL ($got): $*"; cat "$out" "$err"; fails=1; }
}
for opt in -h --help; do check 0 0 '^Usage: ifdiag' $app $opt; done
check 0 0 "^ifdiag $v\$" $app --version
for args in --bogus -x -p --port= "a b" "-- a b" "-platform offscreen"; do check 2 1 '^ifdiag: .*try --help' $app $args; done
check 1 2 '^ifdiag: /dev/null: not a serial port' $app
for args in "-p /no/tty" -p/no/tty "--port /no/tty" --port=/no/tty "-- /no/tty" /no/tty; do
    check 1 2 '^ifdiag: /no/tty: No such file' $app $args; done
check 1 2 '^ifdiag: cannot open a window' env DISPLAY=:7357 $app
check 0 0 '^COM2 stands for /dev/zero: not a serial port$' sh -c "$app --list-ports -p /dev/zero | grep COM2"
check 0 0 '^usage: ifbox-sim' $sim -h
check 0 0 "^ifbox-sim $v\$" $sim --version
for args in --bogus "--flap-ms 0,0" --flap-ms=20 "--reply-delay-us -1" "--slow-ms 10001" "--inputs fixed:0x1G" \
    "--analog 65536,0" "--fault slow:1:2:3" --fault=nosuch --log --no-pacing=1 stray; do
    check 2 1 "^ifbox-sim: .*${args%%[ =]*}.*; try --help\$" timeout 5 $sim $args; done
cd "$(mktemp -d)" && echo data >file && ln -s /dev/pts/999999 link
check 2 1 '^ifbox-sim: file exists' timeout 5 $sim --link file
serve() { $sim --link=link --no-ctty >/dev/null & pid=$! # until the link no longer points at $1
          while kill -0 $pid && [ "$(readlink link)" = "$1" ]; do sleep 0.01; done; }
serve /dev/pts/999999
check 2 1 'link is served by another ifbox-sim$' timeout 5 $sim --link "$PWD/link"
kill $pid && wait $pid && [ "$(ls)" = file ] && [ "$(cat file)" = data ] || { echo "FAIL: link or file left"; fails=1; }
serve "" && ln -sfn file link && kill $pid && wait $pid; [ "$(readlink link)" = file ] || { echo "FAIL: a changed link removed"; fails=1; }
rm -r "$PWD" "$out" "$err"
exit $fails
