#!/usr/bin/env bash
# Converts one source tree with a SLURM job array, as a cluster would: a
# one-node cluster of this machine is stood up from a configuration written
# here (its own munged, slurmctld and slurmd, on free ports, every file in a
# scratch folder), and each of three array tasks runs
#   vidmill-cli --shard K/3 --skip-existing --json --keep-tree
# over the same tree into the same destination. The task converting the
# long clip is killed in the middle of it and requeued. Then every source
# must have exactly one whole output, the JSON logs must account for every
# source exactly once, and a last --skip-existing run over the whole tree
# must convert nothing and leave no part file.
#
#   bash scripts/test.d/slurm.sh [ROOT]     (ROOT/build/bin holds the programs)
#
# Skipped (exit 0, saying why) when not root or when SLURM or munge is not
# installed; exits 1 on any failure, keeping the scratch folder.
set -euo pipefail
export LC_ALL=C

# Every wait polls its condition; these are its limits, in seconds.
readonly kDaemonLimit=60    # munged's socket to appear
readonly kNodeLimit=120     # the node to come up idle
readonly kStartLimit=120    # the long clip's conversion to start in a task
readonly kEndLimit=60       # the killed task to end
readonly kJobLimit=300      # every task, the requeued one included, to end
readonly kStopLimit=30      # a process asked to end before it is killed
readonly kPartAge=${VIDMILL_LEFTOVER_PART_AGE:-5}  # when the last run sweeps a leftover part file
readonly kTolerance=0.5     # seconds between an output's duration and its source's
readonly kShares=3

say() { echo "slurm: $*"; }
skip() {
    say "SKIPPED: $*"
    exit 0
}
die() {
    say "FAILED: $*" >&2
    exit 1
}

root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
root=$(cd "$root" && pwd -P)
bin=$root/build/bin
cli=$bin/vidmill-cli

[[ -x $cli ]] || die "$cli is missing: build it first"
for tool in ffmpeg ffprobe; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/setup"
done
# The daemons run as root, and so does the job, as on CI.
[[ $(id -u) -eq 0 ]] || skip "not root: the cluster's daemons run as root (SlurmUser=root)"
for tool in munged munge unmunge slurmctld slurmd sbatch scontrol squeue sinfo scancel; do
    command -v "$tool" >/dev/null ||
        skip "$tool is missing: scripts/setup installs slurm-wlm and munge"
done
usage=$("$cli" --help 2>&1) || true
for option in --shard --skip-existing; do
    [[ $usage == *"$option"* ]] || die "vidmill-cli has no $option option"
done
extension=$("$cli" --list-presets | awk -F'\t' '$1 == 100 { print $2 }')
[[ -n $extension ]] || die "vidmill-cli --list-presets names no preset 100"

started=$SECONDS
scratch=$(mktemp -d "$root/build/slurm-check.XXXXXX")
conf=$scratch/slurm.conf
src=$scratch/src
out=$scratch/out
logs=$scratch/logs
daemons=$scratch/daemons
mkdir -p "$src" "$out" "$logs" "$daemons"/{state,spool,munge}
chmod 700 "$daemons/munge"

# SLURM's client commands, pointed at this cluster alone.
sl() { SLURM_CONF=$conf "$@"; }

# The processes of this check's cluster, known by the scratch folder in their
# environment (slurmctld, slurmd and, through them, the job steps and the jobs
# have SLURM_CONF set to the file in it), never by name: other runs share the
# machine.
own_processes() {
    local dir pid
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        ((pid == $$ || pid == BASHPID)) && continue
        grep -qaF "SLURM_CONF=$conf" "$dir/environ" 2>/dev/null && echo "$pid"
    done
    return 0
}

# Ends processes: asked first, killed when they linger.
end_processes() {  # pids...
    (($# > 0)) || return 0
    kill "$@" 2>/dev/null || true
    local pid end=$((SECONDS + kStopLimit))
    for pid in "$@"; do
        while kill -0 "$pid" 2>/dev/null && ((SECONDS < end)); do sleep 0.2; done
        kill -9 "$pid" 2>/dev/null || true
    done
}

# Polls a command every 0.2 s until it succeeds, for at most $1 seconds.
wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.2
    done
}

alive() { kill -0 "$1" 2>/dev/null; }

# Whether every task of the job array has ended (squeue lists none).
all_ended() {
    local left
    left=$(sl squeue -h -j "$job" -o %i 2>/dev/null) || return 1
    [[ -z $left ]]
}

munged_pid=
slurmctld_pid=
slurmd_pid=
job=
cleanup() {
    local status=$?
    set +e
    # Tasks still running are cancelled while their daemons can end them.
    if [[ -n $job ]] && alive "$slurmctld_pid" && alive "$slurmd_pid"; then
        sl scancel "$job" 2>/dev/null
        wait_for "$kStopLimit" all_ended
    fi
    end_processes $slurmd_pid $slurmctld_pid
    # Job steps and jobs that outlived their slurmd.
    end_processes $(own_processes)
    end_processes $munged_pid
    if ((status == 0)); then
        rm -rf "$scratch"
    else
        say "the scratch folder is kept: $scratch"
        for log in "$daemons"/*.log; do
            [[ -s $log ]] || continue
            say "--- last lines of $log"
            tail -n 15 "$log"
        done
    fi
    exit $status
}
trap cleanup EXIT
trap 'say "interrupted"; exit 130' INT TERM HUP

# --- the clips ------------------------------------------------------------

# Five short clips in a few folders and formats, and one long one: a picture
# a second costs little to make, and the output's fixed frame rate makes it
# long enough to convert that its task can be killed in the middle of it.
make_clip() {  # path, seconds, frame rate
    mkdir -p "$(dirname "$1")"
    ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=160x120:rate=$3:duration=$2" \
        -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=$2" -shortest "$1" ||
        die "ffmpeg could not make $1"
}
make_clip "$src/a/one.avi" 2 25
make_clip "$src/a/two.mp4" 3 25
make_clip "$src/b/three.mkv" 4 25
make_clip "$src/b/c/four.avi" 2 25
make_clip "$src/five.mp4" 3 25
readonly long=$src/b/long.mkv
make_clip "$long" 240 1
mapfile -t sources < <(cd "$src" && find . -type f | sed 's|^\./||' | sort)
say "${#sources[@]} clips made in $((SECONDS - started)) s"

# --- the cluster ------------------------------------------------------------

# Two TCP ports that nothing on this machine uses now, away from SLURM's own
# (6817, 6818) and the range the system hands out for outgoing connections.
used_ports=$(awk 'FNR > 1 { split($2, a, ":"); print a[2] }' /proc/net/tcp /proc/net/tcp6 2>/dev/null |
    while read -r hex; do echo $((16#$hex)); done | sort -u)
pick_port() {  # variable to set
    local port
    for _ in {1..200}; do
        port=$((20000 + RANDOM % 12000))
        if ! grep -qx "$port" <<<"$used_ports"; then
            used_ports+=$'\n'$port
            printf -v "$1" %s "$port"
            return
        fi
    done
    die "no free TCP port found"
}
pick_port ctld_port
pick_port slurmd_port

# The paths of the sockets must fit a socket address.
sock=$daemons/munge/munge.socket
step_socket=$daemons/spool/$(hostname -s)_4294967294.4294967294
((${#sock} < 100 && ${#step_socket} < 100)) ||
    die "the scratch folder's path is too long for the sockets in it: $scratch"

# A private munged with a key of its own.
key=$daemons/munge/munge.key
head -c 1024 /dev/urandom >"$key"
chmod 400 "$key"
munged --foreground --force --socket="$sock" --key-file="$key" \
    --pid-file="$daemons/munge/munged.pid" --seed-file="$daemons/munge/munged.seed" \
    --log-file="$daemons/munged.log" </dev/null >>"$daemons/munged.log" 2>&1 &
munged_pid=$!
wait_for "$kDaemonLimit" test -S "$sock" || die "munged did not start"
munge --socket="$sock" --no-input | unmunge --socket="$sock" >/dev/null ||
    die "munged does not answer on $sock"

# The node is this machine as slurmd sees it, reached on the loopback.
node=$(hostname -s)
hardware=$(slurmd -C | head -n 1)
[[ $hardware == NodeName=* ]] || die "slurmd -C did not describe this machine: $hardware"
hardware=${hardware#NodeName=* }
# Everything runs as root, as on CI. A requeued job may start again once the
# credentials of its first start have expired (cred_expire, 120 s by
# default): 10 s here, so the requeued task starts while the part file of the
# killed one is still young, as a prompt retry or a resubmission would.
cat >"$conf" <<EOF
ClusterName=vidmillcheck
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$sock,cred_expire=10
StateSaveLocation=$daemons/state
SlurmdSpoolDir=$daemons/spool
SlurmctldPidFile=$daemons/slurmctld.pid
SlurmdPidFile=$daemons/slurmd.pid
SlurmctldLogFile=$daemons/slurmctld.log
SlurmdLogFile=$daemons/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SwitchType=switch/none
MpiDefault=none
MailProg=/bin/true
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
SchedulerParameters=sched_interval=2,bf_interval=1
JobRequeue=1
ReturnToService=2
KillWait=5
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 $hardware State=UNKNOWN
PartitionName=check Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF

SLURM_CONF=$conf slurmctld -D -i -f "$conf" </dev/null >>"$daemons/slurmctld.out" 2>&1 &
slurmctld_pid=$!
SLURM_CONF=$conf slurmd -D -f "$conf" -N "$node" </dev/null >>"$daemons/slurmd.out" 2>&1 &
slurmd_pid=$!

# Ends the check when a daemon has ended.
cluster_up() {
    alive "$slurmctld_pid" || die "slurmctld ended: see $daemons/slurmctld.log"
    alive "$slurmd_pid" || die "slurmd ended: see $daemons/slurmd.log"
}
node_idle() {
    cluster_up
    [[ $(sl sinfo -h -N -n "$node" -o %T 2>/dev/null) == idle ]]
}
wait_for "$kNodeLimit" node_idle || die "node $node did not become idle in $kNodeLimit s"
say "cluster up in $((SECONDS - started)) s: slurmctld on port $ctld_port, slurmd on $slurmd_port"

# --- the job array ------------------------------------------------------------

# HOME and the configuration folders of the job lie in the scratch folder.
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_HOME=$scratch/home/.local/share
mkdir -p "$HOME"
cat >"$scratch/share.sh" <<EOF
#!/bin/bash
# One share of the source tree; a requeued task writes a log of its own.
log=$logs/\${SLURM_ARRAY_JOB_ID}_\${SLURM_ARRAY_TASK_ID}_\${SLURM_RESTART_COUNT:-0}.jsonl
exec "$cli" --shard "\$SLURM_ARRAY_TASK_ID/$kShares" --skip-existing --json --jobs 1 \\
    --keep-tree --dest "$out" "$src" >"\$log"
EOF
job=$(sl sbatch --parsable --array=1-$kShares --requeue --job-name=vidmill-shares \
    --ntasks=1 --cpus-per-task=1 --time=15 --chdir="$scratch" \
    --output="$logs/slurm-%A_%a.out" --open-mode=append "$scratch/share.sh")
job=${job%%;*}
[[ $job =~ ^[0-9]+$ ]] || die "sbatch gave no job id: $job"
say "job array $job submitted"

# The task converting the long clip is killed in the middle of it, once its
# part file holds a piece of the output, as a crash or the out-of-memory
# killer would: SIGKILL, to every process of the task at once. (SLURM's own
# cancel, scancel --signal=KILL included, sends SIGTERM first, which
# vidmill-cli answers by stopping cleanly.) slurmd names the processes.
long_part=$out/b/.vidmill-part-long.$extension
long_started_in() {
    local log
    cluster_up
    [[ -s $long_part ]] || return 1
    log=$(grep -lF "{\"event\":\"start\",\"file\":\"$long\"" "$logs"/*.jsonl 2>/dev/null | head -n 1)
    [[ -n $log ]] || return 1
    echo "$log"
}
wait_for "$kStartLimit" long_started_in >/dev/null ||
    die "no task was converting $long after $kStartLimit s"
first_log=$(long_started_in)
task=$(basename "$first_log" .jsonl)
task=${task#*_}
task=${task%_*}
task_job=$(sl squeue -h -j "${job}_$task" -o %A)
[[ $task_job =~ ^[0-9]+$ ]] || die "squeue gave no job id for task $task: $task_job"
pids=$(sl scontrol listpids "$task_job" | awk '$1 ~ /^[0-9]+$/ { print $1 }')
[[ -n $pids ]] || die "slurmd names no process of task $task"
kill -KILL $pids 2>/dev/null || true  # one may have ended meanwhile
task_ended() {
    local left
    cluster_up
    left=$(sl squeue -h -j "${job}_$task" -t R,CG -o %i 2>/dev/null) || return 1
    [[ -z $left ]]
}
wait_for "$kEndLimit" task_ended || die "task $task still runs $kEndLimit s after SIGKILL"
state=$(sl scontrol show job "${job}_$task" | grep -Eo '(JobState|ExitCode)=[^ ]*' | tr '\n' ' ')
say "task $task killed ($(wc -w <<<"$pids") processes) while converting $(basename "$long"): $state"
[[ -e $long_part ]] || say "(the killed task left no part file)"
sl scontrol requeue "${job}_$task" || die "task $task could not be requeued"
say "task $task requeued"

jobs_done() {
    cluster_up
    all_ended
}
wait_for "$kJobLimit" jobs_done || die "the tasks did not all end in $kJobLimit s"
say "every task ended, $((SECONDS - started)) s in"

# --- checks ------------------------------------------------------------------

failures=0
fail() {
    say "  wrong: $*"
    failures=$((failures + 1))
}

# The output that a source's conversion must have, relative to the
# destination: the source's folder, its name with the preset's extension.
output_of() {  # source, relative to the source tree
    local dir name
    dir=$(dirname "$1")
    name=$(basename "$1")
    name=${name%.*}.$extension
    if [[ $dir == . ]]; then echo "$name"; else echo "$dir/$name"; fi
}

# "file<TAB>status<TAB>output" for each end line of JSON logs.
ends_of() {  # logs...
    awk '/"event":"end"/ {
        file = status = output = ""
        if (match($0, /"file":"[^"]*"/)) file = substr($0, RSTART + 8, RLENGTH - 9)
        if (match($0, /"status":"[^"]*"/)) status = substr($0, RSTART + 10, RLENGTH - 11)
        if (match($0, /"output":"[^"]*"/)) output = substr($0, RSTART + 10, RLENGTH - 11)
        print file "\t" status "\t" output
    }' "$@"
}

duration() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }

# The killed run must have begun the long clip and not ended it.
grep -qF "{\"event\":\"end\",\"file\":\"$long\"" "$first_log" &&
    fail "the killed task had already finished $(basename "$long") ($first_log)"
[[ -s $logs/${job}_${task}_1.jsonl ]] || fail "the requeued task wrote no log"

# The last log of each task (the one of its last start) must end every
# source of its share, and the shares together every source, exactly once,
# each converted or skipped, under its own output name.
last_logs=()
for ((k = 1; k <= kShares; ++k)); do
    last=
    for ((restart = 0; restart < 10; ++restart)); do
        log=$logs/${job}_${k}_$restart.jsonl
        [[ -e $log ]] && last=$log
    done
    if [[ -z $last ]]; then
        fail "task $k wrote no log"
        continue
    fi
    grep -q '"event":"summary"' "$last" || fail "the log of task $k has no summary: $last"
    last_logs+=("$last")
done
ended=$(ends_of "${last_logs[@]}")
for rel in "${sources[@]}"; do
    lines=$(awk -F'\t' -v f="$src/$rel" '$1 == f' <<<"$ended")
    count=$(grep -c . <<<"$lines" || true)
    if ((count != 1)); then
        fail "$rel ends in $count task logs instead of one"
        continue
    fi
    IFS=$'\t' read -r _ status output <<<"$lines"
    [[ $status == ok || $status == skipped ]] || fail "$rel ended as $status"
    [[ $output == "$out/$(output_of "$rel")" ]] ||
        fail "$rel was converted to ${output:-nothing}, not to $out/$(output_of "$rel")"
done

# One more run over the whole tree must convert nothing, and sweep what the
# killed task left once it is old enough to be taken for abandoned.
newest_part=$(find "$out" -name '.vidmill-part-*' -printf '%C@\n' | sort -n | tail -n 1)
if [[ -n $newest_part ]]; then
    part_old() { (($(date +%s) > ${newest_part%.*} + kPartAge)); }
    say "a part file is left; waiting for it to be ${kPartAge} s old"
    wait_for $((kPartAge + 10)) part_old || true
fi
final=$scratch/final.jsonl
status=0
VIDMILL_LEFTOVER_PART_AGE=$kPartAge "$cli" --skip-existing --json --jobs 1 --keep-tree \
    --dest "$out" "$src" >"$final" || status=$?
((status == 0)) || fail "the last run over the whole tree exited with $status"
for rel in "${sources[@]}"; do
    status=$(ends_of "$final" | awk -F'\t' -v f="$src/$rel" '$1 == f { print $2 }' | tr '\n' ' ')
    [[ $status == "skipped " ]] || fail "the last run ended $rel as '$status', not skipped"
done
leftover=$(find "$out" -name '.vidmill-part-*')
[[ -z $leftover ]] || fail "part files are left: $leftover"

# Exactly one whole output for each source, and nothing else.
for rel in "${sources[@]}"; do
    output=$(output_of "$rel")
    if [[ ! -s $out/$output ]]; then
        fail "$rel has no output $output"
        continue
    fi
    a=$(duration "$src/$rel")
    b=$(duration "$out/$output")
    awk -v a="$a" -v b="$b" -v t="$kTolerance" 'BEGIN { d = a - b; exit !(d <= t && d >= -t) }' ||
        fail "$output lasts ${b:-?} s, its source $a s"
done
unexpected=$(comm -13 <(for rel in "${sources[@]}"; do output_of "$rel"; done | sort) \
    <(cd "$out" && find . -type f ! -name '.vidmill-part-*' | sed 's|^\./||' | sort))
[[ -z $unexpected ]] || fail "files in the destination that no source accounts for: $unexpected"

if ((failures > 0)); then
    die "$failures checks failed after $((SECONDS - started)) s"
fi
say "ok: ${#sources[@]} files in $kShares shares, task $task killed and requeued," \
    "every output whole, $((SECONDS - started)) s in all"
