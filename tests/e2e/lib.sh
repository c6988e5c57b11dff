# Shared helpers for the end-to-end tests: a private virtual display, running the real binary,
# finding and photographing its window, and closing it as a window manager would.
# Needs TERRAVEL_BUILD (the build directory) and TERRAVEL_SOURCE (the checkout).

set -u
BUILD=${TERRAVEL_BUILD:?}
SOURCE=${TERRAVEL_SOURCE:?}
TERRAVEL="$BUILD/terravel"
WMCLOSE="$BUILD/tests/wmclose"
WORK=$(mktemp -d /tmp/terravel-e2e.XXXXXX)
TITLE="Terravel algorithm for universal model"
failures=0
checks=0

start_display() {
  local n
  for n in $(seq $((100 + RANDOM % 400)) 600); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do
      xdpyinfo >/dev/null 2>&1 && return 0
      kill -0 "$XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
  done
  echo "could not start Xvfb" >&2
  exit 1
}

cleanup() {
  [ -n "${APP_PID:-}" ] && kill "$APP_PID" 2>/dev/null
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  if "$@"; then
    echo "ok   - $what"
  else
    echo "FAIL - $what"
    failures=$((failures + 1))
  fi
}

# start_app OUTFILE ARGS...: runs terravel in the background with standard output to OUTFILE.
start_app() {
  local out=$1
  shift
  "$TERRAVEL" "$@" >"$out" 2>"$out.err" &
  APP_PID=$!
}

# wait_window TITLE [SECONDS [SETTLE]]: prints the window id once a window of that exact title
# is mapped, after SETTLE seconds (default 1.5) for the first frames to draw.
wait_window() {
  local title=$1 limit=${2:-120} settle=${3:-1.5} id
  for _ in $(seq $((limit * 5))); do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1)
    if [ -n "$id" ]; then
      sleep "$settle"
      echo "$id"
      return 0
    fi
    kill -0 "$APP_PID" 2>/dev/null || return 1
    sleep 0.2
  done
  return 1
}

# close_app WINDOW-ID: sends WM_DELETE_WINDOW and waits; the exit code lands in RC.
close_app() {
  "$WMCLOSE" "$1"
  wait_exit 30
}

# wait_exit SECONDS: sets RC to the app's exit code, or to "timeout" after killing it.
# (Not for $(...): only this shell can collect its child's exit code.)
wait_exit() {
  local limit=$1
  for _ in $(seq $((limit * 10))); do
    if ! kill -0 "$APP_PID" 2>/dev/null; then
      wait "$APP_PID"
      RC=$?
      APP_PID=
      return 0
    fi
    sleep 0.1
  done
  kill -9 "$APP_PID" 2>/dev/null
  wait "$APP_PID" 2>/dev/null
  APP_PID=
  RC=timeout
}

# banner: the 240 characters every run prints first when standard output is not a terminal.
banner() {
  printf '/%s\\' "$(printf -- '-%.0s' $(seq 78))"
  printf '|%23sTerravel terrain rendering%29s|' '' ''
  printf '\\%s/' "$(printf -- '-%.0s' $(seq 78))"
}

same_bytes() { # same_bytes FILE EXPECTED-STRING
  local expected=$2
  if [ "$(cat "$1"; echo x)" == "${expected}x" ]; then return 0; fi
  echo "    expected: $(printf '%s' "$expected" | od -c | tail -n 4 | head -n 3)"
  echo "    got:      $(od -c "$1" | tail -n 4 | head -n 3)"
  return 1
}

# terrain_colour IMAGE: mean red, green and blue (0..255) of the pixels that are not black
# background, inside the viewer's canvas, as three numbers; then the share of such pixels.
terrain_colour() {
  convert "$1" -crop 440x290+30+10 +repage txt:- | awk -F'[(),]+' '
    NR > 1 { r = $3; g = $4; b = $5
             if (r + g + b > 12) { n++; R += r; G += g; B += b } ; all++ }
    END { if (n == 0) print 0, 0, 0, 0; else printf "%.2f %.2f %.2f %.4f\n", R/n, G/n, B/n, n/all }'
}

finish() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" -eq 0 ]
}
