#!/usr/bin/env bash
# drovik-trace-plot draws a PNG from a small fixed trace, and refuses what is not a trace.
# Usage: tests/trace_plot_test.sh PLOT_SCRIPT TRACE.csv   (exit 77: skipped, no gnuplot)
set -euo pipefail
plot=$1
trace=$2
if ! command -v gnuplot >/dev/null; then
    echo "SKIP: gnuplot is not installed (Debian package gnuplot-nox)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$plot" "$trace" "$work/trace.png" 2>"$work/err" || fail "drovik-trace-plot failed: $(cat "$work/err")"
[[ ! -s $work/err ]] || fail "drovik-trace-plot warned: $(cat "$work/err")"
[[ $(head -c 8 "$work/trace.png" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] ||
    fail "the output is not a PNG"
# Three clients: three pairs of panels, 1200 pixels wide.
[[ $(od -An -tu1 -j16 -N8 "$work/trace.png" | awk '{ print $3 * 256 + $4, $7 * 256 + $8 }') == "1200 1910" ]] ||
    fail "unexpected picture size: $(od -An -tu1 -j16 -N8 "$work/trace.png")"

status=0
"$plot" "$plot" "$work/not.png" 2>/dev/null || status=$?
[[ $status == 1 && ! -e $work/not.png ]] || fail "a file that is not a trace gave status $status"
echo "drovik-trace-plot: PNG drawn from $(basename "$trace")"
