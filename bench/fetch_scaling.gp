# drovik-fetch on 1, 2, 4 and 8 servers, 20 MB: the median time against what the servers
# could deliver. Data lines: servers, median time (s), % of N × 800 kB/s, time at 100 % (s).
# Usage: gnuplot -e "data='D'; output='OUT.png'" bench/fetch_scaling.gp
set terminal pngcairo size 1000,500 font "sans,11"
set output output
set title "20 MB from several drovik-servers: time, and share of what they can deliver"
set xlabel "servers"
set ylabel "median time (s)"
set y2label "share of N × 800 kB/s (%)"
set logscale x 2
set xrange [0.8:10]
set xtics (1, 2, 4, 8)
set yrange [0:*]
set y2range [0:100]
set ytics nomirror
set y2tics
set key right top
set grid
plot data using 1:4 with linespoints dt 2 lw 2 title "time if every server delivered 800 kB/s", \
     data using 1:2 with linespoints lw 2 pt 7 title "drovik-fetch, time", \
     data using 1:3 axes x1y2 with linespoints lw 2 pt 5 title "drovik-fetch, share"
