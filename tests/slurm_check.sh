#!/usr/bin/env bash
# The Slurm scripts of dist/slurm on a real cluster: a one-node Slurm cluster
# on this machine (munged, slurmctld and slurmd, all in a scratch folder),
# submit.sh runs a table's curves as a job array of 4 tasks and merges their
# results, and the merged file is, byte for byte, the results file of one
# tavfit -batch run. Needs root, and Debian's slurm-wlm and munge (installed
# here when missing and apt-get can); otherwise, or when the daemons do not
# come up, the test is skipped. Every daemon and file it made goes at exit.
#   tests/slurm_check.sh TAVFIT   (a ctest test)
set -euo pipefail
tavfit=$(realpath "$1")
slurm_dist=$(cd "$(dirname "$0")/../dist/slurm" && pwd)

skip() { echo "skipped: $*"; exit 77; }
PATH=$PATH:/usr/sbin:/sbin  # the daemons, for a PATH without them
[ "$(id -u)" -eq 0 ] || skip "the daemons need root"
if ! command -v slurmctld > /dev/null || ! command -v munged > /dev/null; then
  command -v apt-get > /dev/null || skip "slurmctld or munged not found, and no apt-get"
  apt-get update -q > /dev/null 2>&1 || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    slurm-wlm munge > /dev/null 2>&1 || skip "slurm-wlm and munge could not be installed"
fi
id munge > /dev/null 2>&1 || skip "no user munge (it comes with the munge package)"

# Nothing from a Slurm job this may run in, or from the user's sbatch
# defaults, reaches the test's cluster.
while read -r name; do unset "$name"; done < <(compgen -e | grep -E '^(SLURM|SBATCH|SQUEUE|SINFO)_' || true)

# A folder that the user munge may enter: its socket must be reachable by all.
scratch=$(mktemp -d)
chmod 755 "$scratch"
pids=()
stop() {
  set +e
  if [ -n "${SLURM_CONF:-}" ] && [ -n "$(squeue -h -o %i 2> /dev/null)" ]; then
    scancel --full --quiet --user=root 2> /dev/null
    for _ in {1..50}; do [ -z "$(squeue -h -o %i 2> /dev/null)" ] && break; sleep 0.2; done
  fi
  # slurmd, then slurmctld, then munged: each stops while the ones it talks to still run.
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2> /dev/null
    for _ in {1..50}; do kill -0 "$pid" 2> /dev/null || break; sleep 0.2; done
    kill -KILL "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
  done
  rm -rf "$scratch"
}
trap stop EXIT

# A port nothing listens on; the daemons bind every address.
free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    (exec 3<> "/dev/tcp/127.0.0.1/$port") 2> /dev/null || { echo "$port"; return; }
  done
}
logs() {
  local log
  for log in "$scratch"/munged.log "$scratch"/slurmctld.log "$scratch"/slurmd.log; do
    [ -f "$log" ] && { echo "== $log"; tail -n 15 "$log"; }
  done
}

# munged of its own: own key, socket and files, whatever the machine's munged does.
mkdir "$scratch/munge"
head -c 1024 /dev/urandom > "$scratch/munge/key"
chmod 600 "$scratch/munge/key"
chown -R munge:munge "$scratch/munge"
socket=$scratch/munge/socket
setpriv --reuid=munge --regid=munge --init-groups munged --foreground --socket="$socket" \
  --key-file="$scratch/munge/key" \
  --pid-file="$scratch/munge/pid" --seed-file="$scratch/munge/seed" > "$scratch/munged.log" 2>&1 &
pids+=($!)
for _ in {1..50}; do [ -S "$socket" ] && break; sleep 0.1; done
munge -S "$socket" -n | unmunge -S "$socket" > /dev/null 2>&1 || { logs; skip "munged did not start"; }

host=$(hostname -s)
ctld_port=$(free_port)
until slurmd_port=$(free_port) && [ "$slurmd_port" != "$ctld_port" ]; do :; done
export SLURM_CONF=$scratch/slurm.conf
mkdir "$scratch/state" "$scratch/spool"
cat > "$SLURM_CONF" << EOF
ClusterName=tavfit-check
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$scratch/state
SlurmdSpoolDir=$scratch/spool
SlurmctldPidFile=$scratch/slurmctld.pid
SlurmdPidFile=$scratch/slurmd.pid
SlurmctldLogFile=$scratch/slurmctld.log
SlurmdLogFile=$scratch/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
ReturnToService=2
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
# Each step (a task's end, the next one's start, the merge) waits a second,
# not three.
SchedulerParameters=batch_sched_delay=0
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=check Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -D -f "$SLURM_CONF" > /dev/null 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" > /dev/null 2>&1 &
pids+=($!)
state=
for _ in {1..150}; do
  state=$(sinfo -h -o %T 2> /dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.2
done
[ "$state" = idle ] || { logs; skip "the node is not idle after 30 s (${state:-no answer})"; }
echo "cluster up in $SECONDS s"

# 40 curves of T1_RELAX, Y = Mo*(1 - W*exp(-X/T1)), with a little noise, and
# one of two points, too few for three parameters, whose fit fails: a task
# that has it still succeeds, and the merge runs.
cd "$scratch"
awk 'BEGIN {
  print "curve,delay,signal"
  n = split("0.01 0.05 0.1 0.2 0.35 0.5 0.75 1 1.5 2 3.5 6", x, " ")
  for (c = 1; c <= 40; c++) {
    if (c == 23) { print "c23,0.1,-500"; print "c23,1,300"; continue }
    for (i = 1; i <= n; i++)
      printf "c%02d,%s,%.6g\n", c, x[i],
        (800 + 10 * c) * (1 - (1.8 + 0.005 * c) * exp(-x[i] / (0.4 + 0.05 * c))) + 5 * sin(7 * c + i)
  }
}' > curves.csv
options="-columns curve=curve,x=delay,y=signal -fit T1_RELAX -parms 900:2:1"

status=0
# shellcheck disable=SC2086
"$tavfit" -batch curves.csv $options -results one.tsv -threads 2 > one.out || status=$?
if [ "$status" -ne 1 ] || [ "$(tail -n 1 one.out)" != "1 of 40 curves failed." ]; then
  cat one.out
  echo "one run: status $status, not 1 with \"1 of 40 curves failed.\" last" >&2
  exit 1
fi

export TAVFIT=$tavfit TAVFIT_TABLE=curves.csv TAVFIT_OPTIONS=$options TAVFIT_RESULTS=shard \
  TAVFIT_FORMAT=tsv TAVFIT_SHARDS=4 TAVFIT_MERGED=merged.tsv
# One core a task (the script asks for more): all four run on the node's cores.
"$slurm_dist/submit.sh" --cpus-per-task=1
for _ in {1..600}; do [ -z "$(squeue -h -o %i)" ] && break; sleep 0.2; done
if [ ! -f merged.tsv ]; then
  for out in tavfit-*.out; do echo "== $out"; cat "$out"; done
  logs
  echo "no merged results after the array and the merge job" >&2
  exit 1
fi
cmp one.tsv merged.tsv
echo "4 array tasks and their merge wrote the results of one run ($SECONDS s in all)"
