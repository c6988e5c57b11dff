#!/usr/bin/env bash
# Start-up on a virtual display that resets whenever its last client leaves (started without
# -noreset, as xvfb-run starts it) and that is starved of CPU: every run of a file that fails to
# load must get as far as loading, say "Failed" and exit 1; none may abort inside the window
# system's start-up. Usage: startup.sh [RUNS] (default 24)
. "$(dirname "$0")/lib.sh"

RUNS=${1:-${TERRAVEL_STARTUP_RUNS:-24}}
cd "$WORK"
cp "${TERRAVEL_MALFORMED:?}/empty.iv" empty.iv

for n in $(seq $((100 + RANDOM % 400)) 600); do
  [ -e "/tmp/.X$n-lock" ] && continue
  nice -n 19 Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
  kill -0 "$XVFB_PID" 2>/dev/null && break
done

# One busy loop per core. (With twice as many, the program itself is starved so long that the
# race was seen less often, not more.)
busy=()
for _ in $(seq "$(nproc)"); do
  (while :; do :; done) &
  busy+=($!)
done
stop_busy() {
  [ "${#busy[@]}" -gt 0 ] || return 0
  kill "${busy[@]}" 2>/dev/null
  wait "${busy[@]}" 2>/dev/null
  busy=()
}
trap 'stop_busy; cleanup' EXIT

expected="$(banner)Loading empty.iv ... Failed
"
bad=0
for i in $(seq "$RUNS"); do
  "$TERRAVEL" empty.iv >out 2>err
  rc=$?
  if [ "$rc" != 1 ] || [ "$(cat out; echo x)" != "${expected}x" ]; then
    bad=$((bad + 1))
    echo "    run $i: exit $rc, stdout $(tail -c 40 out | tr '\r\n' '  '), stderr $(head -c 200 err | tr '\n' ' ')"
  fi
done
stop_busy
echo "    $bad of $RUNS start-ups did not reach loading"
check "every start-up on a starved, resetting display reaches loading and exits 1" test "$bad" = 0
finish
