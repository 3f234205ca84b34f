# Progress of one fast and one slow download against time.
# Usage: gnuplot -e "fast='F'; slow='S'; output='O.png'" bench/progress.gp
# F and S hold lines "seconds percent".
set terminal pngcairo size 900,520 font "sans,11"
set output output
set title "Download progress on loopback (drovik-server simulating loss, delay and duplicates)"
set xlabel "time since the client started (s)"
set ylabel "chunks received (%)"
set yrange [0:105]
set xrange [0:*]
set grid
set key right bottom
plot fast with steps linewidth 2 title "drovik-client-fast, 1 MB (window 1000)", \
     slow with steps linewidth 2 title "drovik-client-slow, 20 KB (window 1)"
