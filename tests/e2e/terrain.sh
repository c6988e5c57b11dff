#!/usr/bin/env bash
# The SRTM tile as a terrain layer: every quantized-mesh tile decoded by the test's own reader
# and checked (header against its vertices, edge lists against its border, neighbours' shared
# edges alike, availability); the page shows it as the globe's terrain with the relief draped,
# and the height it samples at a post is the raster's, taken to the ellipsoid through PROJ.
. "$(dirname "$0")/lib.sh"
cd "$WORK" || exit 1
SRTM=${TERRAVEL_SHARED_DATA:?}/dem/N57E011.hgt

env -u DISPLAY "$TERRAVEL" "$SRTM" --tiling geodetic --save-tree t/layer.json -level 9 --max-error 2 >out 2>err
RC=$?
check "the SRTM tile is written as a terrain layer (exit $RC: $(cat err)): $(grep '^Terrain' out)" \
  test "$RC" = 0 -a -s t/layer.json -a -s t/relief.png
check "no 3D Tiles content beside it" test -z "$(find t -name '*.glb')"

node "$SOURCE/tests/e2e/check_terrain.mjs" t >check.out 2>&1
RC=$?
head -n 5 check.out
check "every tile decodes and checks out: $(tail -n 1 check.out)" test "$RC" = 0

# A post on land at 11.9 E, 57.7 N: its height above EGM96, then on the ellipsoid.
above=$(gdallocationinfo -valonly -wgs84 "$SRTM" 11.9 57.7)
truth=$(echo "57.7 11.9 $above" | cs2cs -f %.4f EPSG:4326+5773 EPSG:4979 | awk '{ print $3 }')
"$SOURCE/scripts/view-tiles" t >serve.out 2>serve.err &
SERVER_PID=$!
url=
for _ in $(seq 100); do
  url=$(head -n 1 serve.out)
  [ -n "$url" ] && break
  sleep 0.1
done
TILES_SAMPLE="11.9 57.7" CHROMIUM=${CHROMIUM:-/usr/bin/chromium} \
  node "$SOURCE/tests/e2e/tiles_page.mjs" "$url" page.png profile 120 >page.out 2>&1
RC=$?
kill "$SERVER_PID" 2>/dev/null
cat page.out
check "the page shows the terrain (exit $RC)" test "$RC" = 0
check "it asks nothing beyond this machine" test ! -s page.png.outside
sampled=$(awk '$1 == "sample" { print $4 }' page.out)
check "the height sampled at the post, ${sampled:-none} m, is the raster's on the ellipsoid, $truth m, within 1 m" \
  awk -v a="${sampled:-x}" -v b="$truth" 'BEGIN { exit !(a != "x" && (a - b) ^ 2 < 1) }'
# The globe drawn with its terrain: the view is mostly ground, not the black of space (what
# the page showed while the horizon point culled the whole globe).
lit=$(convert page.png -colorspace Gray -threshold 8% -format '%[fx:mean]' info:)
check "the view is mostly ground ($lit of it not black)" awk -v f="$lit" 'BEGIN { exit !(f > 0.5) }'
cp page.png "$BUILD/e2e_terrain.png"
finish
