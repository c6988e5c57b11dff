#!/usr/bin/env bash
# Exported tiles in a web browser: the SRTM tile's tree saved as 3D Tiles is in order (bounded
# tiles, errors that shrink downwards, every content there) and every GLB passes the Khronos
# glTF validator; the tile page shows it in headless Chromium where the tile is on the Earth,
# over the base map, within a minute, its tiles changing at least 15% of the view; the readout
# under the pointer tells where the tile is; nothing is asked of the network.
# TILESET_DIR names a tileset folder to check instead of exporting one; the picture is kept as
# $TERRAVEL_BUILD/e2e_tiles.png, or SCREENSHOT_OUT.
. "$(dirname "$0")/lib.sh"

CHROMIUM=${CHROMIUM:-/usr/bin/chromium}
export CHROMIUM
KEEP=${SCREENSHOT_OUT:-$BUILD/e2e_tiles.png}

missing=()
command -v node >/dev/null 2>&1 || missing+=("node")
[ -x "$CHROMIUM" ] || missing+=("$CHROMIUM")
command -v convert >/dev/null 2>&1 || missing+=("convert (ImageMagick)")
for f in cesium/Build/Cesium/Cesium.js playwright-core/package.json gltf-validator/package.json; do
  [ -e "$SOURCE/node_modules/$f" ] || missing+=("node_modules/$f")
done
if [ "${#missing[@]}" -gt 0 ]; then
  check "what the browser test needs is here; missing: ${missing[*]} (scripts/setup-web.sh)" false
  finish
  exit 1
fi

if [ -n "${TILESET_DIR:-}" ]; then
  tiles=$TILESET_DIR
else
  tiles=$WORK/srtm
  mkdir -p "$tiles"
  env -u DISPLAY "$TERRAVEL" "${TERRAVEL_SHARED_DATA:?}/dem/N57E011.hgt" -level 5 \
    --save-tree "$tiles/tileset.json" --batch >"$WORK/export.out" 2>"$WORK/export.err"
  rc=$?
  err=$(tail -n 1 "$WORK/export.err")
  check "the SRTM tile's tree is saved as tiles (exit $rc${err:+: $err})" test "$rc" = 0
fi
if [ ! -s "$tiles/tileset.json" ]; then
  check "there is a tileset.json in $tiles" false
  finish
  exit 1
fi

if [ -z "${TILESET_DIR:-}" ]; then
  # Every vertex read back to the ellipsoid stands on its post, at its height above EGM96 taken
  # to the ellipsoid, to the millimetre (GDAL and PROJ say where the posts are).
  placed=$("$BUILD/bench/bench_georef" "${TERRAVEL_SHARED_DATA}/dem/N57E011.hgt" "$tiles" 2>&1)
  check "every vertex stands where its post is on the Earth: $placed" \
    awk -v line="$placed" 'BEGIN { if (!match(line, /horizontal error [0-9.]+ m/)) exit 1
      split(substr(line, RSTART, RLENGTH), h, " "); if (!match(line, /height error [0-9.]+ m/)) exit 1
      split(substr(line, RSTART, RLENGTH), v, " "); exit !(h[3] < 0.01 && v[3] < 0.01) }'
fi
node "$SOURCE/tests/e2e/check_tiles.mjs" "$tiles" >"$WORK/check.out" 2>&1
rc=$?
cat "$WORK/check.out"
check "every tile is bounded, no coarser than its parent, its content there; every GLB passes the glTF validator" test "$rc" = 0

"$SOURCE/scripts/view-tiles" "$tiles" >"$WORK/serve.out" 2>"$WORK/serve.err" &
SERVER_PID=$!
trap 'kill "$SERVER_PID" 2>/dev/null; cleanup' EXIT
url=
for _ in $(seq 100); do
  url=$(head -n 1 "$WORK/serve.out")
  [ -n "$url" ] && break
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.1
done
check "view-tiles serves the folder at ${url:-nothing: $(cat "$WORK/serve.err")}" test -n "$url"

shot=$WORK/tiles.png
without=$WORK/without.png
# A minute is twice what the first view may take of the larger -level 8 tileset.
node "$SOURCE/tests/e2e/tiles_page.mjs" "$url" "$shot" "$WORK/profile" "${TILES_WAIT:-60}" "$without" \
  >"$WORK/page.out" 2>&1
rc=$?
check "the page shows the tileset: $(head -n 1 "$WORK/page.out")" test "$rc" = 0
tail -n +2 "$WORK/page.out"
if [ -z "${TILESET_DIR:-}" ]; then
  read -r lon lat height < <(sed -n 's/^centre //p' "$WORK/page.out")
  check "the tiles stand on the Earth where the SRTM tile is, 11-12 E 57-58 N (at ${lon:-?} ${lat:-?}, ${height:-?} m)" \
    awk -v x="${lon:-0}" -v y="${lat:-0}" -v h="${height:-1e9}" \
    'BEGIN { exit !(x > 11 && x < 12 && y > 57 && y < 58 && h > -2000 && h < 3000) }'
  read -r lon lat height on < <(sed -n 's/^pointer //p' "$WORK/page.out")
  check "the readout in the middle of the view is on the tiles, 11-12 E 57-58 N, 0-400 m (${lon:-?} ${lat:-?}, ${height:-?} m on ${on:-?})" \
    awk -v x="${lon:-0}" -v y="${lat:-0}" -v h="${height:-1e9}" -v on="${on:-}" \
    'BEGIN { exit !(on == "tiles" && x > 11 && x < 12 && y > 57 && y < 58 && h > -1 && h < 400) }'
fi
check "the page asks nothing beyond this machine" test -e "$shot.outside" -a ! -s "$shot.outside"
head -n 3 "$shot.outside" 2>/dev/null | sed 's/^/    asked for /'

# coloured IMAGE: the share of the view (point samples) in colour, neither grey nor black.
coloured() {
  convert "$1" -sample 320x180! -depth 8 txt:- | awk -F'[(),]+' '
    NR > 1 { hi = $3; lo = $3
             for (i = 4; i <= 5; i++) { if ($i > hi) hi = $i; if ($i < lo) lo = $i }
             all++; if (hi - lo > 24) n++ }
    END { printf "%.3f\n", all ? n / all : 0 }'
}
base=$(coloured "$without" 2>/dev/null || echo 0)
check "with the tiles hidden the base map fills at least half of the view (${base})" \
  awk -v b="${base:-0}" 'BEGIN { exit !(b >= 0.5) }'
differ=$(compare -metric AE -fuzz 10% "$shot" "$without" null: 2>&1)
share=$(awk -v n="${differ%% *}" 'BEGIN { printf "%.3f", n / (1280 * 720) }' 2>/dev/null)
check "the tiles change at least 15% of the view (${share:-nothing: $differ})" \
  awk -v s="${share:-0}" 'BEGIN { exit !(s >= 0.15) }'

rm -f "$KEEP"
if [ -s "$shot" ] && mkdir -p "$(dirname "$KEEP")" && cp "$shot" "$KEEP"; then
  echo "    picture: $KEEP"
fi
finish
