#!/usr/bin/env bash
# view-tiles keeps to its folders: it serves the files of the tileset folder (also when it is
# reached through a link), but no link that leads out of it, nothing to a request naming a host
# other than this machine, nothing outside through ../, and it lives on after a malformed address.
. "$(dirname "$0")/lib.sh"

if ! command -v node >/dev/null 2>&1; then
  check "node is here (scripts/setup-web.sh)" false
  finish
  exit 1
fi

mkdir -p "$WORK/real/sub"
echo '{"asset":{"version":"1.1"}}' >"$WORK/real/tileset.json"
echo 'private' >"$WORK/secret.txt"
ln -s "$WORK/secret.txt" "$WORK/real/leak.json"
ln -s / "$WORK/real/disk"
ln -s ../tileset.json "$WORK/real/sub/inside.json"
ln -s "$WORK/real" "$WORK/tiles"

"$SOURCE/scripts/view-tiles" "$WORK/tiles" >"$WORK/serve.out" 2>"$WORK/serve.err" &
SERVER_PID=$!
trap 'kill "$SERVER_PID" 2>/dev/null; cleanup' EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n '1s|^http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$WORK/serve.out")
  [ -n "$port" ] && break
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  check "view-tiles starts: $(cat "$WORK/serve.err")" false
  finish
  exit 1
fi

# answer PATH [HOST [METHOD]]: the status code and body of one request sent exactly as given.
answer() {
  node -e '
    const [port, path, host, method] = process.argv.slice(1);
    const req = require("http").request({ port, path, method, headers: { host } }, (res) => {
      let body = "";
      res.on("data", (d) => { body += d; });
      res.on("end", () => console.log(res.statusCode, body.trim().split("\n")[0].slice(0, 60)));
    });
    req.on("error", (e) => console.log("failed", e.message));
    req.end();' "$port" "$1" "${2:-127.0.0.1:$port}" "${3:-GET}"
}
expect() { # expect WHAT CODE PATH [HOST [METHOD]]
  local what=$1 code=$2 got
  shift 2
  got=$(answer "$@")
  check "$what: $code (got $got)" test "${got%% *}" = "$code"
}

expect "the tileset is served" 200 /tiles/tileset.json
expect "a link that stays inside the folder is served" 200 /tiles/sub/inside.json "localhost:$port"
expect "Cesium is served" 200 /cesium/Cesium.js "[::1]:$port"
expect "a link to a file outside is not" 404 /tiles/leak.json
expect "a link to the root folder shows nothing" 404 /tiles/disk/etc/passwd
expect "../ leads nowhere" 404 /tiles/../../etc/passwd
expect "neither does %2e%2e/" 404 /tiles/%2e%2e/secret.txt
expect "a NUL byte is a bad address" 400 /tiles/%00
expect "so is what does not decode" 400 /tiles/%E0%A4%A
expect "a foreign host is turned away" 403 /tiles/tileset.json "rebound.example:$port"
expect "so is the right address on another port" 403 /tiles/tileset.json "127.0.0.1:1"
expect "only GET and HEAD" 405 /tiles/tileset.json "127.0.0.1:$port" POST
expect "after all that the server still answers" 200 /tiles/tileset.json
finish
