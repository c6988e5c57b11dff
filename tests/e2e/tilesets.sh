#!/usr/bin/env bash
# Saving a tree as tiles where the folder already holds things: a re-save removes exactly the
# files of its own earlier content that the earlier tileset named, and nothing the run reads;
# odd or foreign earlier tilesets are left alone; a failed or interrupted save leaves nothing;
# files take the modes the mask allows on every thread; every tile with content below it is
# named; numbers written are finite; options that would do nothing are refused.
. "$(dirname "$0")/lib.sh"
cd "$WORK" || exit 1
LUX=${TERRAVEL_SHARED_DATA:?}/dem/terra_elev_luxembourg_95x90.tif

save() { # save TILESET [ARGS...]: a level-3 tree of Luxembourg saved as tiles; RC, out, err
  local target=$1
  shift
  env -u DISPLAY "$TERRAVEL" "$LUX" -level 3 --save-tree "$target" --batch "$@" >out 2>err
  RC=$?
}
listing() { find "$1" | sort; }

# An earlier tileset of ours: its content folder holds a stranger's file and one the run reads.
save t/tileset.json
ours=$(ls -d t/content-*)
echo stranger >"$ours/stranger.glb"
cp "$LUX" "$ours/7.glb"
named=$(grep -o "\"$(basename "$ours")/[0-9]*\.glb\"" t/tileset.json | tr -d '"' | sort)
env -u DISPLAY "$TERRAVEL" "$ours/7.glb" -level 3 --save-tree t/tileset.json --batch >out 2>err
RC=$?
check "a re-save whose input lies in the earlier content succeeds (exit $RC: $(cat err))" test "$RC" = 0
left=$(cd t && find "$(basename "$ours")" -type f | sort)
check "it removes exactly the files the earlier tileset named, but the input (left: $(echo $left))" \
  test "$left" = "$(printf '%s\n' "$(basename "$ours")/7.glb" "$(basename "$ours")/stranger.glb" | sort)"
check "the input is intact" cmp "$ours/7.glb" "$LUX"
[ -n "$named" ] || check "the earlier tileset named its files" false

# Another generator's tileset naming a folder of content-*: nothing of it goes.
mkdir -p f/content-mine
echo a >f/content-mine/a.glb
echo b >f/content-mine/b.glb
echo '{"asset":{"version":"1.1","generator":"other"},"root":{"content":{"uri":"content-mine/a.glb"}}}' >f/tileset.json
save f/tileset.json
check "a foreign tileset's content stays (exit $RC)" test "$RC" = 0 -a -s f/content-mine/a.glb -a -s f/content-mine/b.glb

# Earlier tilesets of odd shapes mean no earlier content; what is no regular file is refused.
for text in '{"root":{"content":"x"}}' '{"root":{"children":"abc"}}' \
  '{"asset":{"generator":"Terravel"},"root":{"content":{"uri":5}}}' '[1,' ; do
  rm -rf o && mkdir o && printf '%s' "$text" >o/tileset.json
  save o/tileset.json
  check "an earlier tileset.json of $text: saved (exit $RC), one content folder" \
    test "$RC" = 0 -a "$(ls -d o/content-* | wc -l)" = 1
done
rm -rf o && mkdir -p o/tileset.json
save o/tileset.json
check "a folder named tileset.json is refused (exit $RC: $(cat err)), nothing left beside it" \
  test "$RC" = 1 -a "$(ls o)" = tileset.json
rm -rf o && mkdir o && mkfifo o/tileset.json
timeout 20 env -u DISPLAY "$TERRAVEL" "$LUX" -level 3 --save-tree o/tileset.json --batch >out 2>err
RC=$?
check "a FIFO named tileset.json is refused at once (exit $RC: $(cat err)), nothing left" \
  test "$RC" = 1 -a "$(ls o)" = tileset.json

# A first save that fails takes the folders it made with it: a scene whose points all coincide
# has no triangle to show.
printf '#Inventor V2.1 ascii\nSeparator { Coordinate3 { point [ 1 2 3, 1 2 3, 1 2 3 ] }\n  IndexedFaceSet { coordIndex [ 0, 1, 2, -1 ] } }\n' >point.iv
env -u DISPLAY "$TERRAVEL" point.iv -level 2 --save-tree new/tileset.json --batch >out 2>err
RC=$?
check "a tree without triangles is not saved as tiles (exit $RC: $(cat err)), no folder left" \
  test "$RC" = 1 -a ! -e new

# Modes: files as the mask allows on every thread, the content folder readable by others.
(umask 022 && TERRAVEL_THREADS=8 save m/tileset.json)
modes=$(find m -mindepth 1 -printf '%y%m\n' | sort | uniq -c | tr -s ' ' | tr '\n' ';')
check "with umask 022 and 8 threads every file is 644 and the folder 755 ($modes)" \
  test -z "$(find m -mindepth 1 \( -type f ! -perm 644 -o -type d ! -perm 755 \))" -a -s m/tileset.json

# A signal during the save leaves neither content nor tileset.
for sig in TERM INT HUP; do
  rm -rf s
  env -u DISPLAY "$TERRAVEL" "${TERRAVEL_SHARED_DATA}/dem/N57E011.hgt" -level 6 --save-tree s/tileset.json \
    --batch >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 600); do [ "$(ls s/content-* 2>/dev/null | wc -l)" -gt 30 ] && break; sleep 0.05; done
  kill -"$sig" "$pid"
  wait "$pid"
  check "SIG$sig during the save (exit $?) leaves the folder empty ($(ls -A s 2>&1 | tr '\n' ' '))" test -z "$(ls -A s)"
done

# Islands in nodata: every tile whose descendants have content is in the tree.
# 200 x 200 posts, valid only in islands of 2 x 2 posts, twelve apart: coarse cells whose
# islands all reduce away have islands below them.
awk 'BEGIN { print "ncols 200\nnrows 200\nxllcorner 0\nyllcorner 0\ncellsize 10\nNODATA_value -9999"
             for (r = 0; r < 200; r++) { line = ""
               for (c = 0; c < 200; c++) line = line (r % 12 < 2 && c % 12 < 2 ? (r * 7 + c * 13) % 50 : -9999) " "
               print line } }' >islands.asc
env -u DISPLAY "$TERRAVEL" islands.asc -level 6 -reduce 90 --save-tree i/tileset.json --batch >out 2>err
written=$(ls i/content-* | wc -l)
named=$(grep -o '"uri":"[^"]*"' i/tileset.json | sort -u | wc -l)
check "islands: every GLB written is named by the tileset ($named of $written)" test "$named" = "$written" -a "$written" -gt 600

# Numbers: finite or refused, never null or inf.
save z/tileset.json --zscale 1e34
check "--zscale 1e34: no null in the tileset (exit $RC)" test "$RC" = 0 -a -z "$(grep -E 'null|inf|nan' z/tileset.json)"
env -u DISPLAY "$TERRAVEL" "$LUX" -level 3 --pixel-error 1e-300 --save-tree tree.iv --batch >out 2>err
check "--pixel-error 1e-300: every range finite" test -s tree.iv -a -z "$(grep -iE 'range.*(inf|nan)' tree.iv)"

# Options that would do nothing, in either order, and numbers that are not plain decimals.
for args in "--max-error 0.5 --reducer shortest-edge" "--reducer shortest-edge --max-error 0.5" \
  "--max-error 0x10" "--pixel-error inf" "--binary --save-tree b/tileset.json"; do
  env -u DISPLAY "$TERRAVEL" "$LUX" $args --batch >out 2>err
  RC=$?
  check "$args is refused before loading: $(cat err)" test "$RC" = 1 -a -s err -a -z "$(grep Loading out)"
done
finish
