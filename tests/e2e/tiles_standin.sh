#!/usr/bin/env bash
# Stands in for the program's tiled build in parts, so the scripts that run it on schedulers can be
# tested without building anything. It keeps the program's contract:
#
#   tiles_standin.sh RASTER --tiling geodetic --save-tree OUT/tileset.json --batch
#                    [--max-error M] [--memory SIZE] [--part I/N | --part env/N | --merge]
#
# - without --part or --merge: the one-machine build, writes OUT/tileset.json;
# - --part I/N: builds part I of N (0 <= I < N) and writes OUT/part-I-of-N.tiles, then its record
#   OUT/part-I-of-N.json; with env/N the index comes from SLURM_ARRAY_TASK_ID,
#   JOB_COMPLETION_INDEX or AWS_BATCH_JOB_ARRAY_INDEX, the first that is set;
# - --merge: checks that every part's record is there and was built from the same inputs, then
#   writes OUT/tileset.json, equal to the one-machine build's; otherwise exit 1 with a message on
#   standard error naming the parts missing or built from other inputs.
# The inputs are the raster's bytes, --tiling and --max-error; --memory changes nothing built.
#
# TERRAVEL_STANDIN_FAIL_PART=I makes part I fail (exit 1) before it writes anything.
set -euo pipefail

TILES=16  # tiles in the whole build; part I of N builds those whose number is I modulo N

fail() {
  echo "tiles_standin: $*" >&2
  exit 1
}

raster='' out='' tiling='' max_error='' part='' merge=0
while [ $# -gt 0 ]; do
  case $1 in
    --tiling | --save-tree | --max-error | --memory | --part)
      [ $# -ge 2 ] || fail "$1 needs a value"
      case $1 in
        --tiling) tiling=$2 ;;
        --save-tree) out=$2 ;;
        --max-error) max_error=$2 ;;
        --part) part=$2 ;;
      esac
      shift 2
      ;;
    --batch) shift ;;
    --merge) merge=1 && shift ;;
    -*) fail "unknown option $1" ;;
    *)
      [ -z "$raster" ] || fail "one raster only (got '$raster' and '$1')"
      raster=$1 && shift
      ;;
  esac
done
[ -n "$raster" ] || fail "no raster given"
[ -f "$raster" ] || fail "cannot read $raster"
[ -n "$out" ] || fail "--save-tree is needed"
[ -n "$part" ] && [ "$merge" = 1 ] && fail "--part and --merge exclude each other"
dir=$(dirname -- "$out")
[ -d "$dir" ] || fail "no folder $dir"

inputs=$( (cat -- "$raster" && printf '\n%s\n%s\n' "$tiling" "$max_error") | sha256sum | cut -c1-64)

# tile K: one line, the tile's number and the bytes it stands for.
tile() {
  printf '%d %s\n' "$1" "$(printf '%s %d' "$inputs" "$1" | sha256sum | cut -c1-64)"
}

# tileset < TILES: the tileset of the whole build from its tiles, sorted by number.
tileset() {
  printf '{"inputs": "%s", "tiles": [\n' "$inputs"
  sort -n | sed 's/^\([0-9]*\) \(.*\)$/  [\1, "\2"]/' | sed '$!s/$/,/'
  printf ']}\n'
}

# write FILE < CONTENT: the whole file or nothing, even when the run is cut short.
write() {
  cat >"$1.tmp" && mv -f "$1.tmp" "$1"
}

if [ -n "$part" ]; then
  [[ $part =~ ^(env|[0-9]+)/([0-9]+)$ ]] || fail "--part takes I/N or env/N, not '$part'"
  index=${BASH_REMATCH[1]} parts=$((10#${BASH_REMATCH[2]}))
  if [ "$index" = env ]; then
    for var in SLURM_ARRAY_TASK_ID JOB_COMPLETION_INDEX AWS_BATCH_JOB_ARRAY_INDEX; do
      if [ -n "${!var+set}" ]; then
        index=${!var}
        break
      fi
    done
    [ "$index" != env ] || fail "--part env/$parts: none of SLURM_ARRAY_TASK_ID," \
      "JOB_COMPLETION_INDEX, AWS_BATCH_JOB_ARRAY_INDEX is set"
    [[ $index =~ ^[0-9]+$ ]] || fail "part index '$index' is not a whole number"
  fi
  index=$((10#$index))
  if [ "$parts" -lt 1 ] || [ "$index" -ge "$parts" ]; then fail "no part $index of $parts"; fi
  [ "${TERRAVEL_STANDIN_FAIL_PART:-}" != "$index" ] || fail "part $index of $parts failed on purpose"
  name="part-$index-of-$parts"
  for ((k = index; k < TILES; k += parts)); do tile "$k"; done | write "$dir/$name.tiles"
  printf '{"part": %d, "parts": %d, "inputs": "%s", "tiles": "%s.tiles"}\n' \
    "$index" "$parts" "$inputs" "$name" | write "$dir/$name.json"
  echo "part $index of $parts: $name.tiles"
elif [ "$merge" = 1 ]; then
  shopt -s nullglob
  records=("$dir"/part-*-of-*.json)
  [ ${#records[@]} -gt 0 ] || fail "merge refused: no part records in $dir"
  parts=${records[0]##*-of-} && parts=${parts%.json}
  missing=() other=()
  for ((i = 0; i < parts; i++)); do
    record="$dir/part-$i-of-$parts.json"
    if [ ! -f "$record" ]; then
      missing+=("$i")
    elif ! grep -q "\"inputs\": \"$inputs\"" "$record"; then
      other+=("$i")
    fi
  done
  for record in "${records[@]}"; do
    [[ $record == *-of-$parts.json ]] || other+=("$(basename -- "$record" .json)")
  done
  [ ${#missing[@]} -eq 0 ] || echo "merge refused: missing parts ${missing[*]} of $parts" >&2
  [ ${#other[@]} -eq 0 ] || echo "merge refused: parts built from other inputs: ${other[*]}" >&2
  [ ${#missing[@]} -eq 0 ] && [ ${#other[@]} -eq 0 ] || exit 1
  for ((i = 0; i < parts; i++)); do cat -- "$dir/part-$i-of-$parts.tiles"; done | tileset | write "$out"
  echo "merged $parts parts into $out"
else
  for ((k = 0; k < TILES; k++)); do tile "$k"; done | tileset | write "$out"
  echo "built $out"
fi
