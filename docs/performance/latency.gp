set terminal pngcairo size 900,480 font 'sans,10'
set output 'latency.png'
set logscale x 2
set xrange [4:65536]
set format x '%g'
set xlabel 'arrival-to-read latency (µs)'
set ylabel 'messages (%)'
set grid
set key top right
plot 'latency.dat' using 1:2 with steps lw 2 title 'before: library', 'latency.dat' using 1:3 with steps lw 2 title 'before: raw'
