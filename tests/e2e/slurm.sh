#!/usr/bin/env bash
# The tiled build in parts on a real single-node Slurm cluster: scripts/slurm-tiles submits the
# parts as one job array and the merge after them, and the result equals a one-machine build; a
# part that fails leaves the merge waiting, a merge run anyway refuses and names the part, and
# rerunning that part alone lets the merge complete the build.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/slurm_local.sh"

# The program the jobs run. The stand-in fails part TERRAVEL_STANDIN_FAIL_PART on purpose; sbatch
# passes the environment on to the jobs.
export TERRAVEL="$SOURCE/tests/e2e/tiles_standin.sh"

# same_result BUILT REFERENCE: the build in parts (folder BUILT) equals the one-machine build.
same_result() {
  cmp "$1/tileset.json" "$2/tileset.json"
}

SUBMIT="$SOURCE/scripts/slurm-tiles"
mkdir "$WORK/in put" "$WORK/one machine" "$WORK/jobs"
RASTER="$WORK/in put/elevation.tif"
cp "$SOURCE/data/luxembourg_elevation.tif" "$RASTER"
BUILD_ARGS=(--tiling geodetic --batch --max-error 2)
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
slurm_job_wait "$merge" 60
check "every part completes" states_are "$array" "${array}_0 COMPLETED
${array}_1 COMPLETED
${array}_2 COMPLETED
${array}_3 COMPLETED"
check "then the merge" states_are "$merge" "$merge COMPLETED"
check "the build in parts equals the one-machine build" same_result "$WORK/tiles out" "$WORK/one machine"

# Part 2 fails: the merge never starts.
TERRAVEL_STANDIN_FAIL_PART=2 submit "$WORK/broken" 4
array=${IDS[0]:-} merge=${IDS[1]:-}
slurm_job_wait "$array" 60 && slurm_job_wait "$merge" 30
check "part 2 fails, the other parts complete" states_are "$array" "${array}_0 COMPLETED
${array}_1 COMPLETED
${array}_2 FAILED
${array}_3 COMPLETED"
check "the merge waits for ever" \
  test "$(slurm_job_states "$merge")" = "$merge PENDING DependencyNeverSatisfied 0:0"
scancel "$merge"

# A merge run anyway refuses, naming the part.
submit "$WORK/broken" --merge-only 4
merge=${IDS[0]:-}
slurm_job_wait "$merge" 60
check "a merge without part 2 fails with exit 1" states_are "$merge" "$merge FAILED"
log=$(job_log "$merge")
check "and says part 2 is missing" grep -qw 2 <(grep -i missing "$log")
check "and writes no tileset" test ! -e "$WORK/broken/tileset.json"

# Part 2 alone again, then the merge.
submit "$WORK/broken" --parts 2 4
array=${IDS[0]:-} merge=${IDS[1]:-}
slurm_job_wait "$merge" 60
check "the rerun runs part 2 alone and it completes" states_are "$array" "${array}_2 COMPLETED"
check "then the merge completes" states_are "$merge" "$merge COMPLETED"
check "the build completed by the rerun equals the one-machine build" \
  same_result "$WORK/broken" "$WORK/one machine"

finish
