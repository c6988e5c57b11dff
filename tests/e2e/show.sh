#!/usr/bin/env bash
# Run modes 1 and 4, the option errors and a missing display, with the real binary.
. "$(dirname "$0")/lib.sh"

start_display
cd "$WORK"
cp "$SOURCE/data/tiny_volcano.iv" "$SOURCE/data/tiny_volcano.png" .

# Run mode 1 shows the flattened terrain, textured and in its true colours.
start_app out1 tiny_volcano.iv -operation 1
win=$(wait_window "$TITLE")
check "run mode 1 opens the window titled \"$TITLE\"" test -n "$win"
import -window "$win" shot1.png
read -r r g b share < <(terrain_colour shot1.png)
echo "    terrain mean colour $r $g $b over $share of the canvas"
check "terrain pixels are present" awk -v s="$share" 'BEGIN { exit !(s > 0.05) }'
# The texture is a green-yellow ramp with a clear blue share (mean 99, 109, 62); a yellow tint
# left by the frame-rate counter drives blue towards nothing (measured B/G 0.1).
check "the texture's colours are not tinted yellow (B/G $b/$g)" \
  awk -v g="$g" -v b="$b" 'BEGIN { exit !(g > 3 && b / g > 0.3) }'
check "the frame-rate counter is drawn in yellow" \
  test "$(convert shot1.png -crop 200x30+30+325 +repage -fuzz 25% -fill black +opaque yellow \
    -format '%[fx:mean>0.001]' info:)" = 1
close_app "$win"
check "run mode 1 exits 0 after WM_DELETE_WINDOW (got $RC)" test "$RC" = 0
check "run mode 1 prints the banner and the loading line" \
  same_bytes out1 "$(banner)Loading tiny_volcano.iv ... Done
"

# Run mode 4 loads, then shows an empty viewer.
start_app out4 tiny_volcano.iv -operation 4
win=$(wait_window "$TITLE")
import -window "$win" shot4.png
read -r r g b share < <(terrain_colour shot4.png)
check "run mode 4 shows no terrain (share $share)" awk -v s="$share" 'BEGIN { exit !(s < 0.01) }'
close_app "$win"
check "run mode 4 exits 0 after closing (got $RC)" test "$RC" = 0

# Errors before loading print their message, no line break, and end with exit code 1.
expect_error() { # expect_error EXPECTED-TEXT ARGS...
  local expected=$1
  shift
  start_app err "$@"
  wait_exit 30
  check "terravel $* exits 1 (got $RC)" test "$RC" = 1
  check "terravel $* prints its message" same_bytes err "$(banner)$expected"
}
usage="Usage: $TERRAVEL filename [-operation int] [-level int] [-reduce int]
-operation int    0 = show model, 1 = reduce model and save it to file
-level int        max LOD, default 3
-reduce int       percentage of triangles in model to eliminate, default 50"
expect_error "$usage"
expect_error 'Missing value for parameter "-level".' tiny_volcano.iv -level
expect_error 'Missing argument "-reduce".' tiny_volcano.iv -reduce 3x
expect_error 'Missing argument "-x1".' tiny_volcano.iv -x1 abc
expect_error 'Missing argument "-operation".' tiny_volcano.iv -operation ""
expect_error "Loading missing.iv ... Failed
" missing.iv -operation 1
printf 'not an Inventor file\n' >garbage.iv
expect_error "Loading garbage.iv ... Failed
" garbage.iv -operation 1

# Without a display the program ends with exit code 1 and prints nothing on standard output,
# without crashing; standard error says why in one line.
env -u DISPLAY "$TERRAVEL" tiny_volcano.iv >nodisplay 2>nodisplay.err
rc=$?
check "no display gives exit code 1 (got $rc)" test "$rc" = 1
check "no display prints nothing on standard output" test ! -s nodisplay
check "no display says why on standard error in one line: $(cat nodisplay.err)" \
  test "$(wc -l <nodisplay.err)" = 1 -a -n "$(grep -i display nodisplay.err)"
DISPLAY=:1999 "$TERRAVEL" tiny_volcano.iv >nodisplay 2>nodisplay.err
rc=$?
check "a display that is not there gives exit code 1 (got $rc) and one line: $(cat nodisplay.err)" \
  test "$rc" = 1 -a "$(wc -l <nodisplay.err)" = 1 -a ! -s nodisplay

# With standard output or error closed, nothing is written into the display connection: the
# numbers stay taken by /dev/null, the window comes up, and closing it ends the run.
for fds in 1 2 "1 2"; do
  closed=
  for fd in $fds; do closed="$closed $fd>&-"; done
  eval "\"\$TERRAVEL\" tiny_volcano.iv -operation 1 $closed &"
  APP_PID=$!
  win=$(wait_window "$TITLE" 60 0.5)
  check "with$closed the window opens" test -n "$win"
  for fd in $fds; do
    check "with$closed descriptor $fd is /dev/null ($(readlink /proc/$APP_PID/fd/$fd))" \
      test "$(readlink /proc/$APP_PID/fd/$fd)" = /dev/null
  done
  if [ -n "$win" ]; then close_app "$win"; else wait_exit 5; fi
  check "with$closed the run ends with exit code 0 (got $RC)" test "$RC" = 0
done

finish
