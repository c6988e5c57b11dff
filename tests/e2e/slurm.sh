#!/usr/bin/env bash
# The tiled build of a 2 x 2 mosaic of the SRTM tile in four parts on a real single-node Slurm
# cluster: scripts/slurm-tiles submits the parts as one job array and the merge after them, and
# the result equals a one-machine build byte for byte; a part that fails leaves the merge
# waiting, a merge run anyway refuses and names the part, and rerunning that part alone lets the
# merge complete the build, to the same bytes.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/slurm_local.sh"

# same_result BUILT REFERENCE: the build in parts (folder BUILT) equals the one-machine build,
# every tile and tileset.json byte for byte (the records the merge reads aside).
same_result() {
  diff -r -q -x .build "$1" "$2"
}

export TERRAVEL # the program the jobs run
SUBMIT="$SOURCE/scripts/slurm-tiles"
mkdir "$WORK/in put" "$WORK/one machine" "$WORK/jobs"
RASTER="$WORK/in put/mosaic.vrt"
"$SOURCE/bench/srtm-mosaic" 2 "$RASTER" "${TERRAVEL_SHARED_DATA:?}/dem/N57E011.hgt"
BUILD_ARGS=(--tiling geodetic --max-error 4)
"$TERRAVEL" "$RASTER" "${BUILD_ARGS[@]}" --save-tree "$WORK/one machine/tileset.json" >/dev/null ||
  { echo "the one-machine build failed" && exit 1; }

# submit OUT-FOLDER [SLURM-TILES-OPTIONS...] N: slurm-tiles for the build into OUT-FOLDER, from
# the jobs' folder; sets RC and IDS (the job ids printed), the merge's last; errors go to err.
submit() {
  local out=$1 ids
  shift
  mkdir -p "$out"
  ids=$(cd "$WORK/jobs" && "$SUBMIT" "$@" "$RASTER" "${BUILD_ARGS[@]}" --save-tree "$out/tileset.json" 2>"$WORK/err")
  RC=$?
  read -r -d '' -a IDS <<<"$ids"
}

# states_are JOB EXPECTED: the job's tasks and their states, as lines "ID STATE", are EXPECTED.
states_are() {
  local got
  got=$(slurm_job_states "$1" | cut -d' ' -f1,2 | sort)
  [ "$got" = "$(sort <<<"$2")" ] && return 0
  echo "    got: $got"
  return 1
}

# job_log JOB: the job's standard output (and error) file.
job_log() {
  scontrol --oneliner show job "$1" | tr ' ' '\n' | sed -n 's/^StdOut=//p'
}

# Mistakes are refused before anything is submitted.
for n in 0 -1 x 1.5 ""; do
  "$SUBMIT" "$n" "$RASTER" >"$WORK/out" 2>"$WORK/err"
  rc=$?
  check "slurm-tiles refuses N='$n' with exit 1 and says why (got $rc)" \
    test $rc = 1 -a ! -s "$WORK/out" -a "$(grep -c 'whole number' "$WORK/err")" -ge 1
done
env PATH="$WORK/nowhere" /bin/bash "$SUBMIT" 4 "$RASTER" 2>"$WORK/err"
rc=$?
check "without sbatch slurm-tiles exits 1 and says sbatch is missing (got $rc)" \
  test $rc = 1 -a "$(grep -c '^sbatch not found' "$WORK/err")" = 1

slurm_local_start || exit 1

# The whole build, held until its jobs are looked at: four parts, then the merge after them.
SLURM_TILES_SBATCH="--hold --time=5" submit "$WORK/tiles out" 4
check "slurm-tiles submits with exit 0 (got $RC: $(cat "$WORK/err"))" test "$RC" = 0
array=${IDS[0]:-} merge=${IDS[1]:-}
check "it prints two job ids, the parts' and the merge's (got ${IDS[*]})" \
  test ${#IDS[@]} = 2 -a -n "$(sed -n '/^[0-9]*$/p' <<<"$array")" -a "$array" != "$merge"
check "the parts are one array of tasks 0-3, held by SLURM_TILES_SBATCH" \
  grep -q "ArrayTaskId=0-3 .*Reason=JobHeldUser" <(scontrol --oneliner show job "$array")
check "the merge waits for every part to end well" \
  grep -q "Dependency=afterok:${array}_\*" <(scontrol --oneliner show job "$merge")
scontrol release "$array,$merge"
slurm_job_wait "$merge" 90
check "every part completes" states_are "$array" "${array}_0 COMPLETED
${array}_1 COMPLETED
${array}_2 COMPLETED
${array}_3 COMPLETED"
check "then the merge" states_are "$merge" "$merge COMPLETED"
check "the build in parts equals the one-machine build" same_result "$WORK/tiles out" "$WORK/one machine"

# One part fails: a folder stands where it is to write one of its tiles. The merge never starts.
leaf=$(cd "$WORK/one machine" && find . -name '*.glb' | sort | tail -n 1)
mkdir -p "$WORK/broken/$leaf/in the way"
submit "$WORK/broken" 4
array=${IDS[0]:-} merge=${IDS[1]:-}
slurm_job_wait "$array" 90 && slurm_job_wait "$merge" 30
failed=$(slurm_job_states "$array" | awk '$2 == "FAILED" { sub(/.*_/, "", $1); print $1 }')
check "one part fails ($failed), the other three complete" \
  test "$(wc -w <<<"$failed")" = 1 -a "$(slurm_job_states "$array" | grep -c ' COMPLETED ')" = 3
check "the merge waits for ever" \
  test "$(slurm_job_states "$merge")" = "$merge PENDING DependencyNeverSatisfied 0:0"
scancel "$merge"

# A merge run anyway refuses, naming the part.
submit "$WORK/broken" --merge-only 4
merge=${IDS[0]:-}
slurm_job_wait "$merge" 60
check "a merge without part $failed fails with exit 1" states_are "$merge" "$merge FAILED"
log=$(job_log "$merge")
check "and says part $failed has not finished: $(tail -n 1 "$log")" grep -q "part $failed has not finished" "$log"
check "and writes no tileset" test ! -e "$WORK/broken/tileset.json"

# The failed part alone again, once the way is clear, then the merge.
rm -r "$WORK/broken/$leaf"
submit "$WORK/broken" --parts "$failed" 4
array=${IDS[0]:-} merge=${IDS[1]:-}
slurm_job_wait "$merge" 90
check "the rerun runs part $failed alone and it completes" states_are "$array" "${array}_$failed COMPLETED"
check "then the merge completes" states_are "$merge" "$merge COMPLETED"
check "the build completed by the rerun equals the one-machine build" \
  same_result "$WORK/broken" "$WORK/one machine"

finish
