#!/usr/bin/env bash
# drovik-trace-plot draws a PNG from a small fixed trace, from a generated one of 60 clients, from
# two rows in a pipe and from a shaped trace cut short, and refuses what is not a trace.
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

# Sixty clients, each asking for one chunk more than the one before, a reply to every GET and
# a duplicate to every third: the three busiest apart, the others in a fourth pair of panels.
awk 'BEGIN {
    print "time,client,direction,kind,offset,length,bytes,first,fate"
    for (c = 1; c <= 60; c++)
        for (k = 0; k < 5 * c; k++) {
            t = c * 0.01 + k * 0.001; who = "127.0.0.1:" (40000 + c)
            printf "%.6f,%s,up,GET,%d,1000,15,,relayed\n", t, who, k * 1000
            printf "%.6f,%s,down,DATA,%d,1000,1017,1,relayed\n", t + 0.5, who, k * 1000
            if (k % 3 == 0) printf "%.6f,%s,down,DATA,%d,1000,1017,0,copy\n", t + 0.6, who, k * 1000
        }
}' >"$work/sixty.csv"
"$plot" "$work/sixty.csv" "$work/sixty.png" 2>"$work/err" || fail "60 clients: $(cat "$work/err")"
[[ ! -s $work/err ]] || fail "drovik-trace-plot warned on 60 clients: $(cat "$work/err")"
[[ $(od -An -tu1 -j16 -N8 "$work/sixty.png" | awk '{ print $3 * 256 + $4, $7 * 256 + $8 }') == "1200 2530" ]] ||
    fail "unexpected picture size for 60 clients: $(od -An -tu1 -j16 -N8 "$work/sixty.png")"

# Two rows 20 ms apart, from a pipe.
printf '%s\n' time,client,direction,kind,offset,length,bytes,first,fate 0.000000,127.0.0.1:40000,up,GET,0,1000,11,,relayed \
    0.020000,127.0.0.1:40000,down,DATA,0,1000,1017,1,relayed | "$plot" /dev/stdin "$work/short.png" 2>"$work/err" ||
    fail "two rows from a pipe: $(cat "$work/err")"
[[ ! -s $work/err && -s $work/short.png ]] || fail "two rows from a pipe: $(cat "$work/err")"

# A played path's fates are drawn apart: the trace with a GET lost and a reply dropped draws
# another picture than the same rows relayed. A last row cut short is left out with a note.
mkdir "$work/relayed" "$work/shaped"
awk -F, -v OFS=, 'NR == 1 { $9 = "fate" } NR > 1 { $9 = NR == 3 ? "lost" : NR == 8 ? "overflow" : "relayed" }
    NR == 8 { $8 = "" }
    1' "$trace" | tee "$work/shaped/trace.csv" | sed 's/,lost$/,relayed/; s/,overflow$/,relayed/' >"$work/relayed/trace.csv"
printf "1.3,127.0.0." >>"$work/shaped/trace.csv"
for fates in relayed shaped; do
    "$plot" "$work/$fates/trace.csv" "$work/$fates.png" 2>"$work/$fates.err" || fail "$fates: $(cat "$work/$fates.err")"
done
[[ ! -s $work/relayed.err && $(cat "$work/shaped.err") == *"the last line of $work/shaped/trace.csv is not a whole row"* ]] ||
    fail "notes: $(cat "$work/relayed.err" "$work/shaped.err")"
! cmp -s "$work/relayed.png" "$work/shaped.png" || fail "a lost GET and a dropped reply are drawn as relayed ones"
[[ $(od -An -tu1 -j16 -N8 "$work/shaped.png" | awk '{ print $3 * 256 + $4, $7 * 256 + $8 }') == "1200 1910" ]] ||
    fail "the row cut short drawn as a client: $(od -An -tu1 -j16 -N8 "$work/shaped.png")"

status=0
"$plot" "$plot" "$work/not.png" 2>/dev/null || status=$?
[[ $status == 1 && ! -e $work/not.png ]] || fail "a file that is not a trace gave status $status"
echo "drovik-trace-plot: PNGs drawn from $(basename "$trace"), a trace of 60 clients, two rows in a pipe and a shaped trace cut short"
