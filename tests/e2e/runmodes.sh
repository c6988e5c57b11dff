#!/usr/bin/env bash
# Run modes 0, 2 and 3 with the real binary: exact console bytes, the files written, and a
# screenshot of each that shows terrain.
. "$(dirname "$0")/lib.sh"

start_display
cd "$WORK"
mkdir maps
cp "$SOURCE/data/tiny_volcano.iv" "$SOURCE/data/tiny_volcano.png" maps/

# progress LEVEL: the progress lines of a tree build, as the builder prints them.
progress() {
  local level=$1 total=$(($1 - 1)) m=1 i step
  for ((i = 1; i <= level - 1; i++)); do
    if ((i == level - 1)); then total=$((total + 4 * m)); else total=$((total + 4 * m * (level - i - 1))); fi
    m=$((m * 4))
  done
  for ((step = 1; step <= total; step++)); do printf '\rBuilding Terravel tree ... %d%%' $((step * 100 / total)); done
  printf '\rBuilding Terravel tree ... Done\n'
}

shows_terrain() { # shows_terrain IMAGE
  local r g b share
  read -r r g b share < <(terrain_colour "$1")
  echo "    $1: mean colour $r $g $b over $share of the canvas"
  awk -v s="$share" -v g="$g" -v b="$b" 'BEGIN { exit !(s > 0.02 && g > 3 && b / g > 0.3) }'
}

run_and_close() { # run_and_close OUT SHOT ARGS...: RC gets the exit code
  local out=$1 shot=$2
  shift 2
  start_app "$out" "$@"
  local win
  win=$(wait_window "$TITLE" 300)
  if [ -z "$win" ]; then
    wait_exit 5
    sed 's/^/    stderr: /' "$out.err" | tail -n 20
    return
  fi
  import -window "$win" "$shot"
  close_app "$win"
  [ "$RC" = 0 ] || sed 's/^/    stderr: /' "$out.err" | tail -n 20
}

# Run mode 0 with the default level 3 and with level 4.
run_and_close out0 shot0.png maps/tiny_volcano.iv
check "run mode 0 exits 0 (got $RC)" test "$RC" = 0
check "run mode 0 prints the level-3 progress" \
  same_bytes out0 "$(banner)Loading maps/tiny_volcano.iv ... Done
$(progress 3)
"
check "run mode 0 shows terrain" shows_terrain shot0.png

run_and_close out0l4 shot0l4.png maps/tiny_volcano.iv -level 4
check "run mode 0 -level 4 exits 0 (got $RC)" test "$RC" = 0
check "run mode 0 -level 4 prints 91 progress steps" \
  same_bytes out0l4 "$(banner)Loading maps/tiny_volcano.iv ... Done
$(progress 4)
"

# Run mode 2 writes maps/tiny_volcano.reduced.iv beside the input.
run_and_close out2 shot2.png maps/tiny_volcano.iv -operation 2 -level 4 -reduce 40
check "run mode 2 exits 0 (got $RC)" test "$RC" = 0
check "run mode 2 prints its messages" same_bytes out2 "$(banner)Loading maps/tiny_volcano.iv ... Done
Reducing model ...Done
Saving maps/tiny_volcano.reduced.iv ...Done
"
check "run mode 2 shows terrain" shows_terrain shot2.png
check "run mode 2 wrote maps/tiny_volcano.reduced.iv" test -s maps/tiny_volcano.reduced.iv

# Run mode 3 with a rectangle inside the terrain (X 0..600, Z 0..860).
run_and_close out3 shot3.png maps/tiny_volcano.iv -operation 3 -x1 100 -y1 150 -x2 450 -y2 700
check "run mode 3 exits 0 (got $RC)" test "$RC" = 0
check "run mode 3 prints its messages" same_bytes out3 "$(banner)Loading maps/tiny_volcano.iv ... Done
Cutting model ...Done
Saving maps/tiny_volcano.noRECT.iv ...Done
"
check "run mode 3 shows terrain" shows_terrain shot3.png
check "run mode 3 wrote maps/tiny_volcano.noRECT.iv" test -s maps/tiny_volcano.noRECT.iv

# Both written files load again as input and show their terrain.
for saved in maps/tiny_volcano.reduced.iv maps/tiny_volcano.noRECT.iv; do
  check "$saved starts with the Inventor header" \
    test "$(head -n 1 "$saved")" = "#Inventor V2.1 ascii"
  run_and_close outr shotr.png "$saved" -operation 1
  check "$saved loads again and the viewer exits 0 (got $RC)" test "$RC" = 0
  check "$saved loads again" same_bytes outr "$(banner)Loading $saved ... Done
"
  check "$saved shows terrain when loaded again" shows_terrain shotr.png
done

# A save that cannot be written says so, and the run goes on to show the result.
rm maps/tiny_volcano.noRECT.iv
mkdir maps/tiny_volcano.noRECT.iv
run_and_close outf shotf.png maps/tiny_volcano.iv -operation 3
check "a failed save still shows the result and exits 0 (got $RC)" test "$RC" = 0
check "a failed save prints Failed" same_bytes outf "$(banner)Loading maps/tiny_volcano.iv ... Done
Cutting model ...Done
Saving maps/tiny_volcano.noRECT.iv ...Failed
"

finish
