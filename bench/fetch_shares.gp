# Four drovik-fetch downloads of 5 MB started GAP s apart on one server: each one's useful
# rate against time, from a drovik-trace of the run, and the fair share (800 kB/s over the
# downloads running). Data lines: time (s), four rates (kB/s), fair share (kB/s).
# Usage: gnuplot -e "data='D'; output='OUT.png'; gap=2" bench/fetch_shares.gp
set terminal pngcairo size 1200,500 font "sans,11"
set output output
set title sprintf("Four downloads of 5 MB started %g s apart on one drovik-server: useful rate in 0.5 s steps", gap)
set xlabel "time since the first datagram (s)"
set ylabel "useful data (kB/s)"
set yrange [0:*]
set key right top
set grid
plot for [c = 1:4] data using 1:(column(c + 1)) with steps lw 2 title sprintf("download %d", c), \
     data using 1:6 with steps dt 2 lw 2 lc rgb "black" title "fair share"
