# Download time per shaped path: drovik-client-fast and drovik-fetch side by side, the bar at
# the median, the whisker from the fastest run to the slowest.
# Usage: gnuplot -e "data='F'; bytes=N; output='OUT.png'" bench/paths.gp
# F holds per path, tab-separated: "label" fast_median fast_min fast_max fetch_median fetch_min fetch_max
set terminal pngcairo size 1000,520 font "sans,11"
set output output
set datafile separator "\t"
set title sprintf("%g MB through drovik-trace playing a path in front of drovik-server (the same path both ways unless said)", bytes / 1e6)
set ylabel "download time (s), median and range of the runs"
set yrange [0:*]
set grid ytics
set key left top
set style data histogram
set style histogram errorbars gap 1 lw 1
set style fill solid 0.75 border -1
set boxwidth 0.9
set xtics nomirror
plot data using 2:3:4:xtic(1) title "drovik-client-fast" lc rgb "#e8710a", \
     '' using 5:6:7 title "drovik-fetch" lc rgb "#1a5fb4"
