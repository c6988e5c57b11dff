#!/usr/bin/env bash
# Every corrupted file and every real third-party scene, and broken rasters beside a real one,
# go through loading and run modes 0 to 3 with the real binary: it must end by itself with exit code 0 (the window was shown and
# closed) or 1 (after saying the file cannot be used), never crash, never hang.
. "$(dirname "$0")/lib.sh"

MALFORMED=${TERRAVEL_MALFORMED:?}
SHARED=${TERRAVEL_SHARED_DATA:?}
LIMIT=${TERRAVEL_CORPUS_LIMIT:-90}
start_display
cd "$WORK"
# Work on copies: run modes 2 and 3 write beside their input, and File nodes and textures are
# found relative to the file.
cp -r "$MALFORMED" malformed
cp -r "$SHARED/real-iv" real-iv
chmod -R u+w malformed real-iv

table="$WORK/table"
: >"$table"

# try FILE MODE: runs one mode and checks how it ended; RESULT is "shown", "refused" or a fault.
try() {
  local file=$1 mode=$2 win
  start_app out "$file" -operation "$mode" -level 2
  win=$(wait_window "$TITLE" "$LIMIT" 0) || true
  if [ -n "$win" ]; then
    close_app "$win"
    if [ "$RC" = 0 ]; then
      RESULT=shown
    else
      RESULT="exit $RC after closing: $(tail -c 60 out | tr '\r\n' '  ') / $(tail -c 600 out.err | tr '\n' ' ')"
    fi
  else
    wait_exit 5
    if [ "$RC" = 1 ] && [ "$(tail -c 8 out | od -An -c | tr -s ' ')" = " F a i l e d \n" ]; then
      RESULT=refused
    elif [ "$RC" = timeout ]; then
      RESULT="no window and no end within ${LIMIT}s"
    else
      RESULT="exit $RC: $(tail -c 60 out | tr '\r\n' '  ') / $(tail -c 300 out.err | tr '\n' ' ')"
    fi
  fi
}

# Broken rasters beside a real one: a GeoTIFF cut short, grids with no rows and with nothing but
# nodata, and a text file that is neither scene nor raster.
mkdir rasters
cp "$SHARED/dem/terra_elev_luxembourg_95x90.tif" rasters/luxembourg.tif
head -c 3000 rasters/luxembourg.tif >rasters/truncated.tif
printf 'ncols 4\nnrows 0\nxllcorner 0\nyllcorner 0\ncellsize 10\n' >rasters/zero_rows.asc
{ printf 'ncols 3\nnrows 3\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999\n'
  for _ in 1 2 3; do echo "-9999 -9999 -9999"; done; } >rasters/all_nodata.asc
printf 'elevation data, honestly\n1 2 3\n' >rasters/not_a_raster.txt

while IFS= read -r file; do
  try "$file" 1
  check "$file: run mode 1 $RESULT" test "$RESULT" = shown -o "$RESULT" = refused
  summary="$file | mode 1 $RESULT"
  if [ "$RESULT" = shown ]; then
    for mode in 0 2 3; do
      try "$file" "$mode"
      check "$file: run mode $mode $RESULT" test "$RESULT" = shown
      summary="$summary, $mode $RESULT"
    done
  fi
  echo "$summary" >>"$table"
done < <(find malformed real-iv -type f \( -name '*.iv' -o -name '*.iv.gz' -o -name '*.iv.asc' \) \
           ! -name '*.reduced.iv' ! -name '*.noRECT.iv' | sort; ls rasters/* | sort)

echo
cat "$table"
finish
