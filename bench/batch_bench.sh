#!/usr/bin/env bash
# A batch through the whole program against the ffmpeg tool on the same
# encodes, in the same run, printed as ratios (ours / theirs; below 1 means
# we are faster):
#   - batch: six 8 s 720p clips to preset 510 (Apple TV H264: x264 at
#     512 kbit/s, AAC), `vidmill-cli --jobs 2` against the ffmpeg tool run
#     two at a time with the same settings;
#   - single file: one of the clips, `vidmill-cli --jobs 1` against one ffmpeg.
# Rounds alternate ours and theirs, so that both see the same load; the
# figures are medians over the rounds, the ratio the median of the rounds'
# ratios, with its lowest and highest to show how noisy the machine was.
#
# Usage: bench/batch_bench.sh [folder of vidmill-cli and vidmill-convert]
#        (default: build/bin; ROUNDS=5 overrides the rounds, WORK=DIR keeps
#        the clips in DIR for the next run)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/bin}
rounds=${ROUNDS:-5}
cli=$bin/vidmill-cli
[[ -x $cli && -x $bin/vidmill-convert ]] || {
    echo "no vidmill-cli and vidmill-convert in $bin (build them first)" >&2
    exit 1
}
command -v ffmpeg >/dev/null || { echo "ffmpeg is missing" >&2; exit 1; }

if [[ -n ${WORK:-} ]]; then
    work=$WORK
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/vidmill-batch-XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
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

ours() {  # jobs, clips...
    local jobs=$1
    shift
    rm -rf "$work/ours" && mkdir "$work/ours"
    XDG_CONFIG_HOME=$work/config "$cli" --jobs "$jobs" --preset 510 --dest "$work/ours" "$@" \
        >/dev/null 2>&1
}

theirs() {  # at once, clips...
    local at_once=$1
    shift
    rm -rf "$work/theirs" && mkdir "$work/theirs"
    printf '%s\0' "$@" | xargs -0 -P "$at_once" -I{} sh -c \
        'exec ffmpeg "$@" "$VIDMILL_BENCH_WORK/theirs/$(basename "$0")"' {} \
        "${quiet[@]}" -i {} "${theirs_options[@]}"
}

seconds() {  # command...: prints the wall time it took
    local start end
    start=$(date +%s.%N)
    "$@" || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

compare() {  # name, our jobs, their at-once, clips...
    local name=$1 jobs=$2 at_once=$3
    shift 3
    local o t ours_times=() theirs_times=() ratios=()
    ours "$jobs" "$1"  # warm-up: caches, libraries
    for _ in $(seq "$rounds"); do
        o=$(seconds ours "$jobs" "$@")
        t=$(seconds theirs "$at_once" "$@")
        ours_times+=("$o")
        theirs_times+=("$t")
        ratios+=("$(awk -v a="$o" -v b="$t" 'BEGIN { printf "%.4f\n", a / b }')")
    done
    local om tm rm lo hi
    om=$(printf '%s\n' "${ours_times[@]}" | median)
    tm=$(printf '%s\n' "${theirs_times[@]}" | median)
    rm=$(printf '%s\n' "${ratios[@]}" | median)
    lo=$(printf '%s\n' "${ratios[@]}" | sort -g | head -1)
    hi=$(printf '%s\n' "${ratios[@]}" | sort -g | tail -1)
    printf "%-12s ours %7.2fs  ffmpeg %7.2fs  ratio %.3f  (rounds %.3f .. %.3f, %d rounds)\n" \
        "$name" "$om" "$tm" "$rm" "$lo" "$hi" "$rounds"
}

echo
echo "== preset 510, vidmill-cli against the ffmpeg tool, medians of $rounds interleaved rounds"
compare "batch of 6" 2 2 "${clips[@]}"
compare "one file" 1 1 "${clips[0]}"
