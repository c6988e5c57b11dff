#!/usr/bin/env bash
# Batch and headless use with the real binary: --batch without any display saves exactly what a
# windowed run saves, long options stand anywhere, --help and --version need nothing, the tree
# saved by --save-tree loads again, and mistakes end with a message and exit code 1.
. "$(dirname "$0")/lib.sh"

cd "$WORK"
mkdir maps batch
cp "$SOURCE/data/tiny_volcano.iv" "$SOURCE/data/tiny_volcano.png" maps/
cp "$SOURCE/data/tiny_volcano.iv" "$SOURCE/data/tiny_volcano.png" batch/

# headless ARGS...: the program without a display; standard output to out, error to err.
headless() {
  env -u DISPLAY "$TERRAVEL" "$@" >out 2>err
  RC=$?
}

# The windowed runs whose saved files the batch runs must equal.
start_display
for args in "-operation 2 -reduce 40" "-operation 3 -x1 100 -y1 150 -x2 450 -y2 700"; do
  start_app win.out maps/tiny_volcano.iv $args
  win=$(wait_window "$TITLE" 120 0.2)
  [ -n "$win" ] && close_app "$win"
done
kill "$XVFB_PID" 2>/dev/null
XVFB_PID=

headless batch/tiny_volcano.iv -operation 2 -reduce 40 --batch
check "batch run mode 2 exits 0 (got $RC)" test "$RC" = 0
check "batch run mode 2 prints what a windowed run prints" same_bytes out "$(banner)Loading batch/tiny_volcano.iv ... Done
Reducing model ...Done
Saving batch/tiny_volcano.reduced.iv ...Done
"
check "batch run mode 2 saves the same bytes as a windowed run" \
  cmp batch/tiny_volcano.reduced.iv maps/tiny_volcano.reduced.iv
headless --batch batch/tiny_volcano.iv -operation 3 -x1 100 -y1 150 -x2 450 -y2 700
check "batch run mode 3 exits 0 (got $RC)" test "$RC" = 0
check "batch run mode 3 saves the same bytes as a windowed run" \
  cmp batch/tiny_volcano.noRECT.iv maps/tiny_volcano.noRECT.iv
cp out cut-first.out
headless batch/tiny_volcano.iv -operation 3 -x1 100 -y1 150 -x2 450 -y2 700 --batch
check "--batch first or last prints the same" cmp out cut-first.out

headless batch/tiny_volcano.iv --batch -level 2
check "batch run mode 0 exits 0 (got $RC)" test "$RC" = 0
check "batch run mode 0 prints its progress" same_bytes out "$(banner)Loading batch/tiny_volcano.iv ... Done
"$'\r'"Building Terravel tree ... 20%"$'\r'"Building Terravel tree ... 40%"$'\r'"Building Terravel tree ... 60%"$'\r'"Building Terravel tree ... 80%"$'\r'"Building Terravel tree ... 100%"$'\r'"Building Terravel tree ... Done
"
for mode in 1 4; do
  headless batch/tiny_volcano.iv -operation $mode --batch
  check "batch run mode $mode loads and ends with exit 0 (got $RC)" \
    test "$RC" = 0 -a "$(grep -c 'Loading batch/tiny_volcano.iv ... Done$' out)" = 1
done

# Failures decide the exit code.
headless missing.iv --batch
check "a missing input ends with exit 1 (got $RC)" test "$RC" = 1
mkdir locked
cp batch/tiny_volcano.iv batch/tiny_volcano.png locked/
chmod 555 locked
if [ "$(id -u)" = 0 ]; then
  # root writes anywhere: a directory where the output name is taken by a directory fails too.
  chmod 755 locked
  mkdir locked/tiny_volcano.reduced.iv
fi
headless locked/tiny_volcano.iv -operation 2 --batch
check "a save that cannot be written ends with exit 1 (got $RC)" test "$RC" = 1
check "and says Failed" test "$(tail -c 7 out)" = "Failed"
chmod 755 locked

# The tree saved at levels 2 and 4 (the first save makes trees/).
for level in 2 4; do
  headless batch/tiny_volcano.iv -level $level --save-tree trees/tree$level.iv --batch
  check "--save-tree at level $level exits 0 (got $RC)" test "$RC" = 0
  check "--save-tree prints the save" grep -q "Saving trees/tree$level.iv ...Done$" out
  lods=$(grep -c 'LOD {' "trees/tree$level.iv")
  check "the tree of level $level holds $(( (4 ** (level - 1) - 1) / 3 )) LOD nodes (got $lods)" \
    test "$lods" = $(( (4 ** (level - 1) - 1) / 3 ))
  check "the tree names the model's texture from its own folder" \
    grep -q 'filename "../batch/tiny_volcano.png"' "trees/tree$level.iv"
  headless "trees/tree$level.iv" -operation 1 --batch
  check "the saved tree loads again" same_bytes out "$(banner)Loading trees/tree$level.iv ... Done
"
done
# The missing folders of a save are made; a save that fails leaves none of those it made.
cp "$SOURCE/data/luxembourg_elevation.tif" batch/
headless batch/luxembourg_elevation.tif -level 2 --save-tree new/lux/tree.iv --batch
check "--save-tree into missing folders exits 0 (got $RC) with its picture beside it" \
  test "$RC" = 0 -a -s new/lux/tree.png
check "and names the picture from there" grep -q 'filename "tree.png"' new/lux/tree.iv
headless batch/tiny_volcano.iv -level 2 --save-tree "made/deeper/$(printf 'n%.0s' $(seq 300)).iv" --batch
check "a save that fails (exit $RC) leaves no folder it made" test "$RC" = 1 -a ! -e made
headless batch/tiny_volcano.iv -level 2 --save-tree batch/tiny_volcano.iv --batch
check "--save-tree onto the input is refused (got $RC)" test "$RC" = 1
check "and the input is intact" cmp batch/tiny_volcano.iv maps/tiny_volcano.iv

# --binary: saved scenes in the toolkit's binary format that load again as they were saved.
mkdir text binary
cp batch/tiny_volcano.iv batch/tiny_volcano.png text/
cp batch/tiny_volcano.iv batch/tiny_volcano.png binary/
headless text/tiny_volcano.iv -operation 2 -reduce 40 --batch
headless binary/tiny_volcano.iv -operation 2 -reduce 40 --binary --batch
check "--binary run mode 2 exits 0 (got $RC)" test "$RC" = 0
check "and saves the toolkit's binary format" \
  test "$(head -c 21 binary/tiny_volcano.reduced.iv)" = "#Inventor V2.1 binary"
for dir in text binary; do
  headless $dir/tiny_volcano.reduced.iv -operation 2 -reduce 0 --batch
done
check "the binary file loads again with the same triangles, positions and texture" \
  cmp text/tiny_volcano.reduced.reduced.iv binary/tiny_volcano.reduced.reduced.iv
headless batch/tiny_volcano.iv -level 4 --save-tree trees/binary4.iv --binary --batch
check "a --binary tree is saved (exit $RC)" test "$RC" = 0 -a "$(head -c 21 trees/binary4.iv)" = "#Inventor V2.1 binary"
headless trees/binary4.iv -operation 1 --batch
check "and loads again" same_bytes out "$(banner)Loading trees/binary4.iv ... Done
"

# --max-error: one line per coarse level on how far its chunks lie from the terrain.
headless batch/tiny_volcano.iv -level 3 --max-error 5 --batch
check "--max-error prints a line for each of the 2 coarse levels ($(grep -c '^Level ' out))" \
  test "$RC" = 0 -a "$(grep -cE '^Level [12]: [0-9]+ chunks?, [0-9]+ triangles, largest vertical error [0-9.]+ m, RMS [0-9.]+ m$' out)" = 2

# A tree saved as tiles: saved again, its earlier content goes; where it cannot be saved, exit 1.
mkdir tiles
headless batch/tiny_volcano.iv -level 3 --save-tree tiles/tileset.json --batch
first=$(ls -d tiles/content-*)
check "tiles alone print no level lines" test "$(grep -c '^Level ' out)" = 0
check "a tileset is saved (exit $RC) with its content ($(ls "$first" | wc -l) files)" \
  test "$RC" = 0 -a -s tiles/tileset.json -a "$(ls "$first" | wc -l)" = 21
headless batch/tiny_volcano.iv -level 3 --save-tree tiles/tileset.json --batch
check "saved again, only the new content is left ($(ls -d tiles/content-* | tr '\n' ' '))" \
  test "$RC" = 0 -a "$(ls -d tiles/content-* | wc -l)" = 1 -a ! -e "$first"
check "and the tileset names it" grep -q "$(basename "$(ls -d tiles/content-*)")/0.glb" tiles/tileset.json
headless batch/tiny_volcano.iv -level 3 --save-tree batch/tiny_volcano.png/tileset.json --batch
check "tiles into a folder that cannot be made: exit 1 (got $RC), Failed, and why ($(cat err))" \
  test "$RC" = 1 -a "$(tail -c 7 out)" = Failed -a -s err
check "and the file in the way is intact" cmp batch/tiny_volcano.png "$SOURCE/data/tiny_volcano.png"

# However many threads build the tree, the saved tree and the progress are the same bytes.
for threads in 1 3; do
  TERRAVEL_THREADS=$threads headless batch/tiny_volcano.iv -level 5 --save-tree trees/threads$threads.iv --batch
  cp out threads$threads.out
done
check "a tree built by one thread and by three saves the same bytes" cmp trees/threads1.iv trees/threads3.iv
check "and prints the same progress" cmp threads1.out <(sed 's/threads3/threads1/' threads3.out)

# Options that do not fit say so before loading.
headless batch/tiny_volcano.iv -operation 2 --save-tree t.iv --batch
check "--save-tree in run mode 2 ends with exit 1 (got $RC)" test "$RC" = 1
check "before loading" test -z "$(grep -F Loading out)"
check "with a message that names it: $(cat err)" grep -q -- "--save-tree" err
headless batch/tiny_volcano.iv --save-tree
check "--save-tree without a value: exit 1 and its name ($(cat err))" \
  test "$RC" = 1 -a "$(grep -c -- '"--save-tree"' err)" = 1
headless batch/tiny_volcano.iv --batsh
check "an unknown long option: exit 1 (got $RC)" test "$RC" = 1
check "and a message that names it" same_bytes err 'Unknown option "--batsh"; see --help.
'

# What goes wrong is said on standard error, one line, beside the transcript's own lines.
headless batch/missing.iv -operation 1 --batch
check "a missing file: the transcript's Failed line, then why ($(cat err))" \
  test "$(tail -c 36 out)" = "Loading batch/missing.iv ... Failed" -a "$(cat err)" = "terravel: batch/missing.iv: no such file"
TERRAVEL_THREADS=abc headless batch/tiny_volcano.iv -level 2 --zscale 3 --batch
check "a TERRAVEL_THREADS that is no number of threads is named ($(head -n 1 err))" grep -q "TERRAVEL_THREADS=abc" err
check "raster options given with a scene are said to be ignored" grep -q -- "--zscale, --stride, --texture and --vertical-datum" err
check "and the run goes on (exit $RC)" test "$RC" = 0

# --help and --version need no display and print no banner.
headless --help
check "--help exits 0 (got $RC)" test "$RC" = 0
check "--help prints the usage, not the banner" test "$(head -c 7 out)" = "Usage: "
headless --version
check "--version exits 0 and names the program ($(cat out))" \
  test "$RC" = 0 -a "$(cut -d' ' -f1 out)" = terravel

finish
