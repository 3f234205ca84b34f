# drovik-fetch on a narrow path, from bench-fetch-sim --series: its pace and the GETs it sent
# against time, beside the rate the path passes, and the wait in the path's queue (what it
# held over its rate) beside the wait the engine read from its replies. Data lines: time (s),
# pace, GETs sent, chunks taken (a second each), datagrams held up and down, the engine's
# reading (ms, -1 while it could not tell).
# Usage: gnuplot -e "data='D'; output='OUT.png'; rate=600; way=5; label='--rate 600'" bench/fetch_path.gp
set terminal pngcairo size 1200,550 font "sans,11"
set output output
set title sprintf("drovik-fetch, 5 MB from drovik-server behind drovik-trace %s (the simulation, first run)", label)
set xlabel "time (s)"
set ylabel "GETs a second"
set y2label "wait in the path's queue (ms)"
set yrange [0:2600]
set y2range [0:2600]
set ytics nomirror
set y2tics
set key right top
set grid
plot data using 1:2 with lines lw 2 title "drovik-fetch's pace", \
     data using 1:3 with steps lw 1 lc rgb "#999999" title "GETs it sent", \
     rate with lines dt 2 lw 2 lc rgb "black" title "what the path passes", \
     data using 1:(column(way) * 1000.0 / rate) axes x1y2 with lines lw 2 title "wait in the queue", \
     data using 1:($7 < 0 ? NaN : $7) axes x1y2 with lines lw 2 dt 3 lc rgb "#a05000" title "wait read from the replies"
