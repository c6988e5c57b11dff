#!/usr/bin/env bash
# The tiled build on the geodetic grid: the checker passes its tiles against the raster; the same
# bytes whatever the threads, the memory budget, an interruption or a damaged tile mended by a
# build run again, and a build in parts merged; bad input refused with a clear message and
# nothing half-written.
. "$(dirname "$0")/lib.sh"
cd "$WORK" || exit 1
SRTM=${TERRAVEL_SHARED_DATA:?}/dem/N57E011.hgt
CHECK="$BUILD/bench/check_tiles"

tile() { # tile DIR [ARGS...]: the SRTM tile, three levels; RC, out, err
  local dir=$1
  shift
  env -u DISPLAY "$TERRAVEL" "$SRTM" --tiling geodetic --save-tree "$dir/tileset.json" -level 9 --max-error 2 "$@" \
    >out 2>err
  RC=$?
}
same() { diff -r -q -x .build "$1" "$2" >/dev/null; }

tile a
check "the SRTM tile is tiled (exit $RC: $(cat err))" test "$RC" = 0 -a -s a/tileset.json
"$CHECK" a/tileset.json >check.out 2>&1
check "the checker passes every tile against the raster: $(tail -1 check.out)" grep -q "check: PASS" check.out

# In a browser: regions that hold their children's, GLBs the glTF validator passes, the page
# flying to the tile and drawing it.
TILESET_DIR=$WORK/a SCREENSHOT_OUT=$WORK/a.png bash "$SOURCE/tests/e2e/tiles_browser.sh" >browser.out 2>&1
RC=$?
grep -v '^ok' browser.out | head -5
check "the tileset is in order, valid glTF, and the page shows it: $(grep -c '^ok' browser.out) checks passed" \
  test "$RC" = 0

TERRAVEL_THREADS=1 tile b --memory 300M
check "one thread and a small budget give the same bytes" same a b

# A damaged tile and an interrupted write: the run again mends exactly them.
tile c
victim=$(find c/9 -name '*.glb' | head -1)
head -c 100 a/tileset.json >"$victim"
rm -f c/tileset.json
tile c
check "a run again keeps what is whole and mends the damaged tile: $(tail -1 out)" \
  grep -q "built before, checked and kept" out
check "... to the same bytes" same a c

# In parts, in any order, then the merge.
for part in 2 0 1; do tile p --part "$part/3" || true; done
tile p --merge
check "three parts and the merge give the same bytes (exit $RC: $(cat err))" same a p
rm p/.build/parts/part-1-of-3 p/tileset.json
tile p --merge
check "the merge refuses with a part missing, naming it: $(cat err)" \
  test "$RC" = 1 -a ! -e p/tileset.json -a -n "$(grep 'part 1 has not finished' err)"

# A raster lying where the build would write one of its tiles stays as it is.
tile_name=$(cd a && find 9 -name '*.glb' | sort | head -n 1)
mkdir -p "q/$(dirname "$tile_name")"
gdal_translate -q -of GTiff "$SRTM" "q/$tile_name" && cp "q/$tile_name" kept.tif
env -u DISPLAY "$TERRAVEL" "q/$tile_name" --tiling geodetic --save-tree q/tileset.json -level 9 --max-error 2 >out 2>err
RC=$?
check "a raster where a tile would go is refused and kept (exit $RC: $(cat err))" \
  test "$RC" = 1 -a -n "$(grep 'is a file this build reads' err)" -a ! -e q/tileset.json
check "... byte for byte" cmp -s "q/$tile_name" kept.tif

# Bad input.
gdal_translate -q -of AAIGrid "$SRTM" plain.asc && rm -f plain.prj
env -u DISPLAY "$TERRAVEL" plain.asc --tiling geodetic --save-tree u/tileset.json >out 2>err
RC=$?
check "a raster without georeference is refused: $(cat err)" \
  test "$RC" = 1 -a -n "$(grep 'no georeference' err)" -a ! -e u/tileset.json
tile m --memory 20M
check "a budget too small for one tile is refused: $(cat err)" test "$RC" = 1 -a -n "$(grep 'too small' err)"
sed "s#$SRTM#$WORK/missing.hgt#" >missing.vrt <<EOF
<VRTDataset rasterXSize="1201" rasterYSize="1201"><SRS>EPSG:4326</SRS>
<GeoTransform>10.999583333333334, 0.000833333333333333, 0, 58.000416666666666, 0, -0.000833333333333333</GeoTransform>
<VRTRasterBand dataType="Int16" band="1"><SimpleSource><SourceFilename>$SRTM</SourceFilename><SourceBand>1</SourceBand>
</SimpleSource></VRTRasterBand></VRTDataset>
EOF
env -u DISPLAY "$TERRAVEL" missing.vrt --tiling geodetic --save-tree v/tileset.json >out 2>err
RC=$?
check "a mosaic naming a missing file is refused, naming it: $(cat err)" \
  test "$RC" = 1 -a "$(wc -l <err)" = 1 -a -n "$(grep 'missing.hgt' err)" -a ! -e v/tileset.json
# Heights GDAL cannot read: the raster cut short after its header.
gdal_translate -q -of GTiff -co TILED=YES "$SRTM" short.tif
truncate -s 400000 short.tif
env -u DISPLAY "$TERRAVEL" short.tif --tiling geodetic --save-tree w/tileset.json -level 9 >out 2>err
RC=$?
check "heights that cannot be read are refused in one line naming the file: $(cat err)" \
  test "$RC" = 1 -a "$(wc -l <err)" = 1 -a -n "$(grep 'cannot read the heights of short.tif' err)" -a ! -e w/tileset.json
finish
