# shellcheck shell=bash
# A real single-node Slurm cluster for tests, in a folder of its own: its own munge key and
# daemon, slurm.conf, state, spool, logs and ports. Source this file, then:
#
#   slurm_local_start          installs Debian's slurmctld, slurmd, slurm-client and munge when
#                              missing, starts munged, slurmctld and slurmd, waits until the node
#                              is idle; exports SLURM_CONF (for the client commands and the jobs)
#                              and sets SLURM_LOCAL_DIR; returns 1, with the logs, when it can't.
#                              Chains slurm_local_stop before any EXIT trap already set.
#   slurm_local_stop           cancels the jobs left, stops the daemons it started by their pid,
#                              removes the folder; safe to call again.
#   slurm_job_states JOB       one line a job (or array task): ID STATE REASON EXITCODE
#   slurm_job_wait JOB [SECS]  waits until the job, or every task of an array, has ended (or can
#                              never start: reason DependencyNeverSatisfied); 1 after SECS (60).
#
# Jobs run as root, in the directory sbatch was called from, with the caller's environment.

SLURM_LOCAL_DIR=
SLURM_LOCAL_PIDS=()

_slurm_local_fail() {
  echo "slurm_local: $*" >&2
  local log
  for log in "$SLURM_LOCAL_DIR"/*.log "$SLURM_LOCAL_DIR"/*.err; do
    [ -f "$log" ] && { echo "--- $log" && tail -n 15 "$log"; } >&2
  done
  return 1
}

# _slurm_local_free_port: a TCP port nothing listens on, from 20000-59999.
_slurm_local_free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || break
  done
  echo "$port"
}

_slurm_local_install() {
  local installer
  installer="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/install-packages.sh"
  for _ in 1 2 3 4 5; do
    flock /tmp/apt.lock "$installer" slurmctld slurmd slurm-client munge && return 0
    sleep 5 # dpkg may be locked by an install that does not take our lock
  done
  return 1
}

slurm_local_start() {
  local dir host node ctld_port slurmd_port prev
  case ":$PATH:" in *:/usr/sbin:*) ;; *) PATH="$PATH:/usr/sbin" ;; esac # the daemons
  if ! command -v slurmctld >/dev/null || ! command -v slurmd >/dev/null ||
    ! command -v sbatch >/dev/null || ! command -v munged >/dev/null; then
    _slurm_local_install || { echo "slurm_local: could not install Slurm and munge" >&2 && return 1; }
  fi

  prev=$(trap -p EXIT)
  if [ -n "$prev" ]; then
    eval "set -- ${prev#trap -- }"
    # shellcheck disable=SC2064 # the trap set before, as it is now
    trap "slurm_local_stop; $1" EXIT
  else
    trap slurm_local_stop EXIT
  fi

  dir=$(mktemp -d /tmp/slurm-local.XXXXXX) || return 1
  SLURM_LOCAL_DIR=$dir
  # munged wants every folder above its socket searchable by all.
  chmod 711 "$dir"
  mkdir -p "$dir/state" "$dir/spool"

  mungekey --create --keyfile="$dir/munge.key" || _slurm_local_fail "mungekey failed" || return 1
  munged --foreground --socket="$dir/munge.socket" --key-file="$dir/munge.key" \
    --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munged.seed" \
    2>"$dir/munged.err" &
  SLURM_LOCAL_PIDS+=($!)
  for _ in $(seq 50); do
    [ -S "$dir/munge.socket" ] && break
    sleep 0.1
  done
  munge --socket="$dir/munge.socket" --no-input | unmunge --socket="$dir/munge.socket" >/dev/null ||
    _slurm_local_fail "munged does not answer" || return 1

  host=$(uname -n)
  node=$(slurmd -C | head -n 1)
  [[ $node == "NodeName=$host "* ]] || _slurm_local_fail "slurmd -C gave '$node'" || return 1
  ctld_port=$(_slurm_local_free_port)
  slurmd_port=$(_slurm_local_free_port)
  cat >"$dir/slurm.conf" <<EOF
ClusterName=local
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.socket
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/builtin
SchedulerParameters=batch_sched_delay=0,sched_interval=1
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MinJobAge=600
MailProg=/bin/true
KillWait=5
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF="$dir/slurm.conf"

  slurmctld -D -i >"$dir/slurmctld.err" 2>&1 &
  SLURM_LOCAL_PIDS+=($!)
  slurmd -D >"$dir/slurmd.err" 2>&1 &
  SLURM_LOCAL_PIDS+=($!)
  for _ in $(seq 300); do
    [ "$(sinfo --noheader --nodes="$host" --format=%t 2>/dev/null)" = idle ] && return 0
    sleep 0.1
  done
  _slurm_local_fail "the node did not come up idle within 30 s"
}

slurm_local_stop() {
  local pid
  if [ -n "$SLURM_LOCAL_DIR" ] && [ ${#SLURM_LOCAL_PIDS[@]} -gt 1 ]; then
    # The jobs' processes belong to slurmd's step daemons: cancel them while slurmd runs.
    scancel --quiet --user="$(id -un)" 2>/dev/null
    for _ in $(seq 50); do
      [ -z "$(squeue --noheader --states=RUNNING,COMPLETING 2>/dev/null)" ] && break
      sleep 0.1
    done
  fi
  for pid in "${SLURM_LOCAL_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${SLURM_LOCAL_PIDS[@]}"; do
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  SLURM_LOCAL_PIDS=()
  [ -n "$SLURM_LOCAL_DIR" ] && rm -rf "$SLURM_LOCAL_DIR"
  SLURM_LOCAL_DIR=
  return 0
}

slurm_job_states() {
  scontrol --oneliner show job "$1" 2>/dev/null | awk '{
    id = state = reason = code = ""
    for (i = 1; i <= NF; i++) {
      split($i, kv, "=")
      if (kv[1] == "JobId") id = kv[2]
      else if (kv[1] == "ArrayJobId") array = kv[2]
      else if (kv[1] == "ArrayTaskId") task = kv[2]
      else if (kv[1] == "JobState") state = kv[2]
      else if (kv[1] == "Reason") reason = kv[2]
      else if (kv[1] == "ExitCode") code = kv[2]
    }
    if (task != "") id = array "_" task
    print id, state, reason, code
    array = task = ""
  }'
}

slurm_job_wait() {
  local limit=${2:-60} states
  for _ in $(seq $((limit * 5))); do
    states=$(slurm_job_states "$1")
    [ -n "$states" ] && ! awk '$2 ~ /^(PENDING|RUNNING|CONFIGURING|COMPLETING|SUSPENDED|REQUEUED|RESIZING|SIGNALING|STAGE_OUT)/ && $3 != "DependencyNeverSatisfied" { busy = 1 } END { exit !busy }' <<<"$states" && return 0
    sleep 0.2
  done
  echo "slurm_job_wait: job $1 still not ended after $limit s:" >&2
  echo "$states" >&2
  return 1
}
