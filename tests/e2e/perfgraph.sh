#!/usr/bin/env bash
# The performance graph demo: the graph appears at the lower left of the viewer with its bars
# and both labels, and the program ends with exit code 0 when its window is closed.
. "$(dirname "$0")/lib.sh"

TERRAVEL="$BUILD/perfgraphdemo" # start_app runs this binary
DEMO_TITLE="Terravel performance graph"

# graph_figures IMAGE: looks at the lower left quarter of the window only (the viewer's
# toolbar icons elsewhere share the bar colour) and prints: the number of bar pixels
# (0, 128, 255), the rectangle x0 y0 x1 y1 covered by bar and background pixels (background
# 0, 0, 128 at half opacity over the black sky), and the light label pixels in the upper left
# and in the lower right half of that rectangle.
graph_figures() {
  local size
  size=$(identify -format '%w %h' "$1")
  convert "$1" txt:- | awk -F'[(),]+' -v size="$size" '
    BEGIN { split(size, s, " "); w = s[1]; h = s[2] }
    NR > 1 {
      x = $1; y = $2 + 0; r = $3; g = $4; b = $5
      if (x >= w / 2 || y < h / 2) next
      graph = 0
      if (r == 0 && g == 128 && b == 255) { bars++; graph = 1 }
      else if (r == 0 && g == 0 && b >= 60 && b <= 68) graph = 1
      if (graph) {
        if (!n++) { x0 = x; x1 = x; y0 = y; y1 = y }
        if (x < x0) x0 = x; if (x > x1) x1 = x; if (y < y0) y0 = y; if (y > y1) y1 = y
      }
      if (r > 150 && g > 150 && b > 150) { lx[++light] = x; ly[light] = y }
    }
    END {
      for (i = 1; i <= light; i++) {
        if (lx[i] < x0 || lx[i] > x1 || ly[i] < y0 || ly[i] > y1) continue
        if (lx[i] < (x0 + x1) / 2 && ly[i] < (y0 + y1) / 2) scale++
        if (lx[i] >= (x0 + x1) / 2 && ly[i] >= (y0 + y1) / 2) average++
      }
      printf "%d %d %d %d %d %d %d\n", bars, x0, y0, x1, y1, scale, average
    }'
}

start_display
cd "$WORK"

start_app demo.out
win=$(wait_window "$DEMO_TITLE")
check "the demo opens the window titled \"$DEMO_TITLE\"" test -n "$win"

# Samples arrive frame by frame; wait until the graph holds a good stretch of bars.
bars=0
for _ in $(seq 40); do
  import -window "$win" graph.png
  read -r bars x0 y0 x1 y1 scale average < <(graph_figures graph.png)
  [ "$bars" -ge 500 ] && break
  sleep 0.5
done
echo "    $bars bar pixels in the rectangle $x0,$y0 .. $x1,$y1; label pixels $scale and $average"
check "bars in colour 0, 128, 255 are drawn at the lower left" test "$bars" -ge 500
check "the graph is wider than high, as its default size" \
  test $((x1 - x0)) -gt $((y1 - y0)) -a $((y1 - y0)) -gt 20
check "the scale label is drawn in the upper left of the graph" test "$scale" -ge 10
check "the average label is drawn in the lower right of the graph" test "$average" -ge 10

close_app "$win"
check "the demo exits 0 after WM_DELETE_WINDOW (got $RC)" test "$RC" = 0

# A terrain that cannot be read ends the demo with a message and exit code 1.
start_app missing.out "$WORK/missing.iv"
wait_exit 60
check "a missing terrain file gives exit code 1 (got $RC)" test "$RC" = 1
check "a missing terrain file is reported" grep -q "cannot read" missing.out.err

finish
