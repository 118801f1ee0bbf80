#!/usr/bin/env bash
# Brings up a one-node Slurm cluster on this machine (slurmctld, slurmd and munged from Debian,
# with their state in a temporary directory), submits scripts/slurm-array.sbatch as a 3-task job
# array over the RubberWhale frames 07-14, and checks that the shards' outputs equal a one-process
# run byte for byte. Everything it started is stopped at the end. Needs root (the daemons run as
# root) and builds morvi when build/morvi is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bash scripts/setup.sh slurmctld slurmd slurm-client munge
if [ ! -x build/morvi ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target morvi
fi
data=${MORVI_DATA_DIR:-$repo/../shared/data}
[ -d "$data/middlebury/RubberWhale" ] || data=/work/shared/data
frames_source="$data/middlebury/RubberWhale"
if [ ! -f "$frames_source/frame07.png" ]; then
  echo "slurm-smoke: no RubberWhale frames under $data" >&2
  exit 1
fi

work=$(mktemp -d /tmp/morvi-slurm.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  local status=$?
  if [ -n "${SLURM_CONF:-}" ] && command -v scancel >/dev/null; then scancel --quiet --user=root 2>/dev/null || true; fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  if [ "$status" -ne 0 ]; then
    echo "slurm-smoke: failed; daemon logs follow" >&2
    tail -n 20 "$work"/*.log >&2 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

mkdir -p "$work/frames" "$work/state" "$work/spool" "$work/munge" "$work/reference" "$work/shards"
for i in 07 08 09 10 11 12 13 14; do cp "$frames_source/frame$i.png" "$work/frames/"; done

# munge: a fresh key and its own socket, so a munged already on the machine is left alone.
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chmod 600 "$work/munge/munge.key"
chmod 700 "$work/munge"
socket="$work/munge/munge.socket"
/usr/sbin/munged --force --key-file="$work/munge/munge.key" --socket="$socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munge/seed"
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
pids+=("$(cat "$work/munge/munged.pid")")

node=$(hostname -s)
cpus=$(nproc)
port=$((20000 + RANDOM % 20000))
export SLURM_CONF="$work/slurm.conf"
cat > "$SLURM_CONF" <<CONF
ClusterName=morvismoke
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
SchedulerType=sched/backfill
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=smoke Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF

/usr/sbin/slurmctld -f "$SLURM_CONF"
for _ in $(seq 100); do [ -s "$work/slurmctld.pid" ] && break; sleep 0.1; done
pids+=("$(cat "$work/slurmctld.pid")")
/usr/sbin/slurmd -f "$SLURM_CONF"
for _ in $(seq 100); do [ -s "$work/slurmd.pid" ] && break; sleep 0.1; done
pids+=("$(cat "$work/slurmd.pid")")
for _ in $(seq 150); do
  sinfo -h -o %T 2>/dev/null | grep -qE '^idle' && break
  sleep 0.2
done
sinfo -h -o '%P %T %c' | grep -q idle || { echo "slurm-smoke: the node did not come up" >&2; exit 1; }

start=$(date +%s)
# Two tasks at a time on a two-core machine, one thread each; three shards of the seven pairs.
timeout 900 sbatch --wait --quiet --array=0-2 --cpus-per-task=1 --chdir="$work" \
  --output="$work/task-%a.out" --export=ALL,MORVI="$repo/build/morvi" \
  scripts/slurm-array.sbatch "$work/frames" "$work/shards"
array_seconds=$(( $(date +%s) - start ))

"$repo/build/morvi" --seed 1 "$work/frames" .png 8 "$work/reference" >/dev/null 2>&1
count=$(find "$work/reference" -name '*_morvi*' | wc -l)
if [ "$count" -ne 21 ]; then echo "slurm-smoke: the one-process run wrote $count files, not 21" >&2; exit 1; fi
if ! diff -r "$work/reference" "$work/shards" >/dev/null; then
  echo "slurm-smoke: the array's outputs differ from the one-process run" >&2
  diff -rq "$work/reference" "$work/shards" >&2 || true
  exit 1
fi
for task in 0 1 2; do grep -h "^Pairs:" "$work/task-$task.out" | sed "s/^/task $task: /"; done
echo "slurm-smoke: 3 array tasks wrote the 21 outputs of the one-process run byte for byte (array ${array_seconds}s)"
