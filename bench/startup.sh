#!/bin/sh
# Start-up time and memory of the real ifdiag, measured from outside the program by
# scripts/xdrive: each run launches it on a fresh Xvfb (xcb) against a fresh ifbox-sim,
# takes the time from the launch to the X server mapping the main window, the resident
# memory half a second later, and again with the test dialog opened from the menu
# (Alt+P, S) and polling for two seconds.
# Usage: bench/startup.sh BUILD [--runs N]   (10 runs)
set -eu
build=$1
runs=10
[ "${2:-}" != --runs ] || runs=$3
data=$(mktemp)
trap 'rm -f "$data" "$data.err"' EXIT
failed=0
for run in $(seq "$runs"); do
    if out=$("$(dirname "$0")/../scripts/xdrive" --box "$build/sim/ifbox-sim" \
        "run $build/ui/ifdiag" "window Interface - Diagnose" startup "sleep 0.5" rss \
        "keys alt+p" "sleep 0.3" "keys s" "window Interface testen" mark "sleep 2" more rss \
        "keys Escape" "sleep 0.1" 2>"$data.err"); then
        echo "$out" | tr '=\n' '  ' | awk '{ print $2, $4 / 1024, $8 / 1024, $10 / 1024 }' >>"$data"
        echo "  run $run: $(tail -n 1 "$data" | awk '{ printf "main window after %.1f ms; RSS %.1f MB, with the dialog polling %.1f MB (peak %.1f MB)", $1, $2, $3, $4 }')"
    else
        failed=$((failed + 1)) && echo "  run $run: $(grep xdrive: "$data.err")"
    fi
done
# The median as the middle value (the upper one of an even count), and the maximum.
stat() { cut -d' ' -f"$1" "$data" | sort -n | awk '{ v[NR] = $1 } END { printf "%.1f %.1f", v[int(NR / 2) + 1], v[NR] }'; }
set -- $(stat 1) $(stat 2) $(stat 3)
echo "startup: $build/ui/ifdiag on Xvfb (xcb), $runs runs: median, max"
echo "  launch to main window mapped       $1  $2 ms"
echo "  resident, main window              $3  $4 MB"
echo "  resident, dialog open and polling  $5  $6 MB"
echo "startup_ms=$1 startup_max_ms=$2 rss_main_mb=$3 rss_dialog_mb=$5 rss_dialog_max_mb=$6 failed_runs=$failed"
[ "$failed" -eq 0 ]
