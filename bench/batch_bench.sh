#!/usr/bin/env bash
# A batch through the whole program against the ffmpeg tool on the same
# encodes, in the same run, printed as ratios (ours / theirs; below 1 means
# we are faster):
#   - batch: six 8 s 720p clips to preset 510 (Apple TV H264: x264 at
#     512 kbit/s, AAC), `vidmill-cli --jobs 2` against the ffmpeg tool run
#     two at a time with the same settings;
#   - the same batch against the ffmpeg tool two at a time with one thread
#     each (`-threads 1`): the least processor time this encode takes on two
#     cores, so the floor that no converter of the same files goes below by
#     more than what it saves around each file;
#   - single file: one of the clips, `vidmill-cli --jobs 1` against one ffmpeg.
# Rounds alternate ours and theirs, so that both see the same load; the
# figures are medians over the rounds, each ratio the median of the rounds'
# ratios, with the lowest and highest in brackets to show how noisy the
# machine was. Processor time (of every process waited for) is printed too:
# on a machine that others load, it moves far less than wall time.
#
# Usage: bench/batch_bench.sh [folder of vidmill-cli and vidmill-convert]
#        (default: build/bin; ROUNDS=5 overrides the rounds, WORK=DIR keeps
#        the clips in DIR for the next run)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/bin}
rounds=${ROUNDS:-5}
cli=$bin/vidmill-cli
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
require_programs "$bin" vidmill-cli vidmill-convert
require_tools ffmpeg /usr/bin/time

make_work batch
quiet=(-hide_banner -loglevel error -nostdin -y)

# Three kinds of picture, two clips of each: smooth, detailed, and noise
# that x264 cannot predict.
patterns=(
    "testsrc2=size=1280x720:rate=25"
    "mandelbrot=size=1280x720:rate=25"
    "cellauto=size=1280x720:rate=25:rule=110:random_fill_ratio=0.5,format=yuv420p,noise=alls=20:allf=t"
)
clips=()
for i in 0 1 2 3 4 5; do
    clip=$work/clip$i.mp4
    clips+=("$clip")
    [[ -s $clip ]] && continue
    echo "making $clip ..."
    ffmpeg "${quiet[@]}" -f lavfi -i "${patterns[i / 2]}" \
        -f lavfi -i "sine=frequency=$((300 + i * 70)):sample_rate=48000" -t 8 \
        -ac 2 -c:v libx264 -preset veryfast -crf 20 -pix_fmt yuv420p -c:a aac -b:a 160k "$clip"
done

# What preset 510 asks of the converter, in the ffmpeg tool's words.
theirs_options=(-c:v libx264 -c:a aac -s 1280x720 -r 25000/1001 -b:v 512k -b:a 128k -ac 2
    -ar 44100)
export VIDMILL_BENCH_WORK=$work

# Each leaves its outputs in a fresh folder; the clearing is not timed.
ours_run() {  # jobs, clips...
    local jobs=$1
    shift
    rm -rf "$work/ours" && mkdir "$work/ours"
    measure env XDG_CONFIG_HOME="$work/config" "$cli" --jobs "$jobs" --preset 510 \
        --dest "$work/ours" "$@"
}

theirs_threads=()  # empty: the tool's own choice, every core for each
theirs_run() {  # at once, clips...
    local at_once=$1
    shift
    rm -rf "$work/theirs" && mkdir "$work/theirs"
    printf '%s\0' "$@" >"$work/list"
    measure xargs -0 -a "$work/list" -P "$at_once" -I{} sh -c \
        'exec ffmpeg "$@" "$VIDMILL_BENCH_WORK/theirs/$(basename "$0")"' {} \
        "${quiet[@]}" "${theirs_threads[@]}" -i {} "${theirs_threads[@]}" "${theirs_options[@]}"
}

compare() {  # name, our jobs, their at-once, clips...
    local name=$1 jobs=$2 at_once=$3
    shift 3
    local ow oc tw tc walls="" cpus=""
    ours_run "$jobs" "$1" >/dev/null  # warm-up: caches, libraries
    for _ in $(seq "$rounds"); do
        read -r ow oc < <(ours_run "$jobs" "$@")
        read -r tw tc < <(theirs_run "$at_once" "$@")
        [[ -n $ow && -n $tw ]] || { echo "a run failed" >&2; exit 1; }
        walls+="$ow $tw"$'\n'
        cpus+="$oc $tc"$'\n'
    done
    report_pairs "$name" 11 "$walls" "$cpus"
}

echo
echo "== preset 510, vidmill-cli against the ffmpeg tool, medians of $rounds interleaved rounds"
compare "batch of 6" 2 2 "${clips[@]}"
compare "one file" 1 1 "${clips[0]}"
echo
echo "== the batch against the ffmpeg tool with -threads 1, two at a time (the floor)"
theirs_threads=(-threads 1)
compare "batch of 6" 2 2 "${clips[@]}"
