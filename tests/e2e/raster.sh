#!/usr/bin/env bash
# Elevation rasters with the real binary: every run mode on the SRTM tile and on the global
# relief (strided), pictures that show the generated colours, a saved cut that reopens with its
# texture, the decision by content rather than by name, and broken rasters refused.
. "$(dirname "$0")/lib.sh"

DEM=${TERRAVEL_SHARED_DATA:?}/dem
start_display
cd "$WORK"
cp "$DEM/N57E011.hgt" "$DEM/terra_elev_luxembourg_95x90.tif" .

# colourful IMAGE: the terrain's pixels are many colours, not one grey.
colourful() {
  local colours spread
  colours=$(convert "$1" -fx '(r+g+b>0.05)' -format '%[fx:mean]' info:)
  spread=$(convert "$1" -colorspace HSL -channel G -separate -format '%[fx:mean]' info:)
  echo "    $1: terrain covers $colours of the view, mean saturation $spread"
  awk -v c="$colours" -v s="$spread" 'BEGIN { exit !(c > 0.2 && s > 0.05) }'
}

for mode in 0 1 2 3; do
  start_app out N57E011.hgt -operation $mode -level 4 -x1 -20000 -y1 -20000 -x2 20000 -y2 20000 \
    --screenshot srtm$mode.png
  wait_exit 120
  check "the SRTM tile in run mode $mode ends with exit 0 (got $RC)" test "$RC" = 0
  check "its first view shows the generated colours" colourful srtm$mode.png
done
env -u DISPLAY "$TERRAVEL" N57E011.hgt -operation 4 --batch >out 2>err
check "the SRTM tile's loading line, then its origin and what its heights stand on" same_bytes out "$(banner)Loading N57E011.hgt ... Done
Origin: 57.500000 N, 11.500000 E (WGS 84); X east, Z south, metres
Heights: above the EGM96 geoid, as SRTM files keep them
"
check "the cut names a picture saved beside it" grep -q 'filename "N57E011.hgt.noRECT.png"' N57E011.hgt.noRECT.iv
check "the picture is there" test -s N57E011.hgt.noRECT.png
start_app out N57E011.hgt.noRECT.iv -operation 1 --screenshot reopened.png
wait_exit 60
check "the saved cut reopens (exit $RC) with its colours" colourful reopened.png

# The whole Earth at 5 arc-minutes, every fourth post.
for mode in 0 1 2 3; do
  start_app out "$DEM/etopo5_global_4320x2161.tif" -operation $mode --stride 4 \
    -x1 -5000000 -y1 -5000000 -x2 5000000 -y2 5000000 --screenshot etopo$mode.png
  wait_exit 180
  check "ETOPO5 with --stride 4 in run mode $mode ends with exit 0 (got $RC)" test "$RC" = 0
  check "its first view shows the generated colours" colourful etopo$mode.png
done
rm -f "$DEM"/*.reduced.* "$DEM"/*.noRECT.* 2>/dev/null

# A screenshot never replaces a file the run reads.
cp terra_elev_luxembourg_95x90.tif kept.tif
start_app out terra_elev_luxembourg_95x90.tif -operation 1 --screenshot terra_elev_luxembourg_95x90.tif
wait_exit 60
check "--screenshot onto the input ends with exit 1 (got $RC): $(cat out.err)" test "$RC" = 1
check "and the input is as it was" cmp kept.tif terra_elev_luxembourg_95x90.tif

# By content, not by name: a raster called .iv, a scene called .tif.
cp terra_elev_luxembourg_95x90.tif raster.iv
cp "$SOURCE/data/tiny_volcano.iv" scene.tif
cp "$SOURCE/data/tiny_volcano.png" .
env -u DISPLAY "$TERRAVEL" raster.iv -operation 1 --batch >out 2>err
check "a raster named .iv loads as a raster" grep -q '^Origin: 49.816667 N' out
env -u DISPLAY "$TERRAVEL" scene.tif -operation 1 --batch >out 2>err
check "a scene named .tif loads as a scene" \
  test "$(tail -c 28 out)" = "Loading scene.tif ... Done" -o "$(grep -c Origin out)" = 0

# --zscale and --stride take numbers they can use.
for wrong in "--stride 0" "--stride 2.5" "--zscale x" "--zscale 0"; do
  env -u DISPLAY "$TERRAVEL" raster.iv $wrong --batch >out 2>err
  rc=$?
  check "$wrong is refused with exit 1 (got $rc): $(cat err)" test "$rc" = 1 -a -s err -a ! -s out
done

finish
