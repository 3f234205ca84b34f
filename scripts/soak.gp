# Draws the samples of scripts/soak.sh: resident memory, open descriptors and CPU share of
# the server and of the relays (summed) against time.
# Usage: gnuplot -e "samples='samples.tsv'; output='soak.png'" scripts/soak.gp
# Columns: seconds, then kB, descriptors and CPU seconds of the server, then of the relays.
set terminal pngcairo size 1000,1000 font "sans,12"
set output output
set multiplot layout 3,1 title "drovik-server and the drovik-trace relays during the soak" \
    margins 0.09,0.97,0.06,0.92 spacing 0,0.09
set grid
set datafile separator "\t"
# Room above the lines for the key, so that it hides none of them.
set key top left horizontal opaque box
set offsets 0, 0, graph 0.3, 0
set yrange [0:*]
set xrange [0:*]

minutes(s) = s / 60.0
set title "Resident memory (VmRSS)"
set ylabel "MB"
plot samples using (minutes($1)):($2 / 1024) with lines lw 2 title "drovik-server", \
     samples using (minutes($1)):($5 / 1024) with lines lw 2 title "relays, summed"

set title "Open descriptors"
set ylabel "descriptors"
plot samples using (minutes($1)):3 with lines lw 2 title "drovik-server", \
     samples using (minutes($1)):6 with lines lw 2 title "relays, summed"

# The share of one core over each interval between two samples.
set title "CPU, share of one core between two samples"
set ylabel "%"
set xlabel "minutes since the start"
ts = NaN; tr = NaN; s = NaN; r = NaN
share(now, before, seconds) = 100 * (now - before) / seconds
plot samples using (minutes($1)):(d = share($4, s, $1 - ts), s = $4, ts = $1, d) with lines lw 2 \
       title "drovik-server", \
     samples using (minutes($1)):(d = share($7, r, $1 - tr), r = $7, tr = $1, d) with lines lw 2 \
       title "relays, summed"
unset multiplot
