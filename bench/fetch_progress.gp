# Useful data received against time: drovik-client-fast and drovik-fetch, 5 MB each.
# Usage: gnuplot -e "fast='F'; fetch='G'; output='OUT.png'" bench/fetch_progress.gp
set terminal pngcairo size 1200,500 font "sans,11"
set output output
set title "5 MB from one drovik-server: useful data received against time"
set xlabel "time since the first datagram (s)"
set ylabel "chunks received, first copy only (MB)"
set key left top
set grid
set yrange [0:5.2]
plot fast using 1:2 with lines lw 2 title "drovik-client-fast", \
     fetch using 1:2 with lines lw 2 title "drovik-fetch"
