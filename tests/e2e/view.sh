#!/usr/bin/env bash
# The first view and --screenshot with the real binary: the picture is written by itself, at the
# viewer's size, and shows the terrain from above filling most of the view; --show-levels tints
# the tree; a picture that cannot be written is said and leaves an earlier one intact.
. "$(dirname "$0")/lib.sh"

start_display
cd "$WORK"
cp "$SOURCE/data/tiny_volcano.iv" "$SOURCE/data/tiny_volcano.png" .

# coverage IMAGE: the share of the picture that is not black background; then its size.
coverage() {
  convert "$1" -format '%[fx:w] %[fx:h]\n' info: >size
  convert "$1" -fx '(r+g+b)>0.05' -format '%[fx:mean]' info:
}

# shoot ARGS...: runs with --screenshot and waits at most 60 s; RC gets the exit code.
shoot() {
  start_app out "$@"
  wait_exit 60
}

for mode in 1 0; do
  shoot tiny_volcano.iv -operation $mode --screenshot shot$mode.png
  check "run mode $mode with --screenshot ends by itself with exit 0 (got $RC)" test "$RC" = 0
  check "run mode $mode wrote its picture" test -s shot$mode.png
  share=$(coverage shot$mode.png)
  read -r w h <size
  echo "    run mode $mode: terrain covers $share of the ${w}x$h view"
  check "run mode $mode: the terrain covers at least 30 % of the view" \
    awk -v s="$share" 'BEGIN { exit !(s >= 0.30) }'
  check "the picture is as large as the viewer's canvas (${w}x$h)" test "$w" -gt 300 -a "$h" -gt 200
done
read -r r g b share < <(convert shot1.png -crop 100%x100%+0+0 +repage txt:- | awk -F'[(),]+' '
  NR > 1 { if ($3 + $4 + $5 > 12) { n++; R += $3; G += $4; B += $5 } ; all++ }
  END { printf "%.1f %.1f %.1f %.3f\n", R/n, G/n, B/n, n/all }')
check "the first view shows the texture's own colours ($r $g $b)" \
  awk -v g="$g" -v b="$b" 'BEGIN { exit !(g > 3 && b / g > 0.3) }'

# The tree tinted by level: the legend, and more than one tint in the picture.
shoot tiny_volcano.iv -level 3 --show-levels --screenshot levels.png
check "--show-levels ends with exit 0 (got $RC)" test "$RC" = 0
check "--show-levels prints the legend" \
  test "$(grep -c -e '^Level 1 -> red$' -e '^Level 2 -> green$' \
    -e '^Level 3 -> blue (unreduced chunks)$' out)" = 3
# At the first view the root's four sub-cells are near enough to be drawn and far enough to be
# drawn coarse: level 2, green. The terrain turns green against its own colours.
mean_colour() {
  convert "$1" txt:- | awk -F'[(),]+' '
    NR > 1 { if ($3 + $4 + $5 > 12) { n++; R += $3; G += $4; B += $5 } }
    END { printf "%.1f %.1f %.1f\n", R/n, G/n, B/n }'
}
read -r r0 g0 b0 < <(mean_colour shot0.png)
read -r r g b < <(mean_colour levels.png)
check "the tinted tree is green where the plain one is not ($r0 $g0 $b0 -> $r $g $b)" \
  awk -v r0="$r0" -v g0="$g0" -v r="$r" -v g="$g" 'BEGIN { exit !(g / r > 2 * g0 / r0) }'
check "the texture still shows under the tint" \
  test "$(convert levels.png -colorspace gray -format '%[fx:standard_deviation > 0.03]' info:)" = 1

# A picture that cannot be written: a message, exit 1, and an earlier picture stays.
mkdir locked
cp shot1.png locked/shot.png
chmod 555 locked
if [ "$(id -u)" = 0 ]; then
  chmod 755 locked
  mkdir locked/dir.png
  target=locked/dir.png
else
  target=locked/shot.png
fi
shoot tiny_volcano.iv -operation 1 --screenshot "$target"
check "an unwritable picture ends with exit 1 (got $RC)" test "$RC" = 1
check "and says so: $(head -c 200 out.err)" grep -q "Cannot write the screenshot" out.err
chmod 755 locked
check "an earlier picture is intact" cmp locked/shot.png shot1.png

# Without a display there is nothing to take a picture of.
env -u DISPLAY "$TERRAVEL" tiny_volcano.iv --screenshot nodisplay.png >out 2>err
rc=$?
check "--screenshot without a display ends with exit 1 (got $rc) and says why: $(cat err)" \
  test "$rc" = 1 -a -s err -a ! -e nodisplay.png

finish
