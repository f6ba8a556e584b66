#!/usr/bin/env bash
# Measures vidmill-convert against the ffmpeg tools on the same work, in the
# same run, and prints ratios (ours / theirs; below 1 means we are faster):
#   - four encodes of a 720p source (x264, MPEG-4, MPEG-2 and an audio-only
#     preset): wall time and CPU time, best of REPEAT runs each;
#   - peak memory of a conversion of a 10 s and a 100 s source;
#   - probing 100 small files against `ffprobe -show_format`.
#
# Usage: bench/converter_bench.sh [path/to/vidmill-convert]
#        (default: build/bin/vidmill-convert; REPEAT=3 SECONDS_720P=20 override)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
converter=${1:-$root/build/bin/vidmill-convert}
repeat=${REPEAT:-3}
seconds=${SECONDS_720P:-20}
[[ -x $converter ]] || { echo "no converter at $converter (build it first)" >&2; exit 1; }
for tool in ffmpeg ffprobe /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/vidmill-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
quiet=(-hide_banner -loglevel error -nostdin -y)

echo "making sources in $work ..."
ffmpeg "${quiet[@]}" -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=$seconds" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
    -ac 2 -c:v libx264 -preset veryfast -crf 20 -c:a aac -b:a 160k "$work/src720.mp4"
for s in 10 100; do
    ffmpeg "${quiet[@]}" -f lavfi -i "testsrc2=size=320x240:rate=25:duration=$s" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$s" \
        -ac 2 -c:v mpeg4 -q:v 4 -c:a aac "$work/src$s.mp4"
done
mkdir "$work/probe"
for i in $(seq 0 9); do
    ffmpeg "${quiet[@]}" -f lavfi -i "testsrc=size=160x120:rate=25:duration=1.$i" \
        -f lavfi -i "sine=frequency=$((300 + i * 50)):duration=1.$i" \
        -c:v mpeg4 -c:a aac "$work/probe/base$i.mp4"
done
for i in $(seq 0 99); do
    cp "$work/probe/base$((i % 10)).mp4" "$work/probe/file$i.mp4"
done
rm "$work/probe"/base*.mp4

# Prints "wall cpu peak_kb" of one run of the command.
measure() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1 ||
        { echo "failed: $*" >&2; exit 1; }
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/time.txt"
}

# Best (lowest) wall and cpu over the repeats, the two tools interleaved so
# that both see the same load on the machine.
compare() {  # name, extension, "our options", "ffmpeg options"
    local name=$1 ext=$2 ours=$3 theirs=$4
    local best_ow=999999 best_oc=999999 best_tw=999999 best_tc=999999
    for _ in $(seq "$repeat"); do
        read -r ow oc _ < <(measure "$converter" -y -i "$work/src720.mp4" $ours "$work/ours.$ext")
        read -r tw tc _ < <(measure ffmpeg "${quiet[@]}" -i "$work/src720.mp4" $theirs "$work/theirs.$ext")
        best_ow=$(awk -v a="$ow" -v b="$best_ow" 'BEGIN { print (a < b) ? a : b }')
        best_oc=$(awk -v a="$oc" -v b="$best_oc" 'BEGIN { print (a < b) ? a : b }')
        best_tw=$(awk -v a="$tw" -v b="$best_tw" 'BEGIN { print (a < b) ? a : b }')
        best_tc=$(awk -v a="$tc" -v b="$best_tc" 'BEGIN { print (a < b) ? a : b }')
    done
    awk -v n="$name" -v ow="$best_ow" -v oc="$best_oc" -v tw="$best_tw" -v tc="$best_tc" 'BEGIN {
        printf "%-26s wall %6.2fs vs %6.2fs  ratio %.3f   cpu %6.2fs vs %6.2fs  ratio %.3f\n",
               n, ow, tw, ow / tw, oc, tc, oc / tc }'
}

echo
echo "== encodes of a ${seconds}s 720p source (vidmill-convert vs ffmpeg, best of $repeat)"
compare "x264 (Apple TV H264)" mp4 \
    "-vcodec libx264 -acodec libfaac -s 1280x720 -r 25000/1001 -b 512kb -ab 128.0kb -ac 2 -ar 44100 -vol 256" \
    "-c:v libx264 -c:a aac -s 1280x720 -r 25000/1001 -b:v 512k -b:a 128k -ac 2 -ar 44100"
compare "MPEG-4 (Apple TV)" mp4 \
    "-vcodec mpeg4 -acodec libfaac -s 1280x720 -r 29975/1001 -b 512kb -ab 128.0kb -ac 2 -ar 44100 -vol 256" \
    "-c:v mpeg4 -c:a aac -s 1280x720 -r 29975/1001 -b:v 512k -b:a 128k -ac 2 -ar 44100"
compare "MPEG-2 (original size)" mpg \
    "-vcodec mpeg2video -acodec libmp3lame -r 29975/1001 -b 4000kb -ab 224.0kb -ac 2 -ar 48000 -vol 256" \
    "-c:v mpeg2video -c:a libmp3lame -r 29975/1001 -b:v 4000k -b:a 224k -ac 2 -ar 48000"
compare "audio only (MP3)" mp3 \
    "-vn -acodec libmp3lame -ab 192.0kb -ac 2 -ar 48000 -vol 256" \
    "-vn -c:a libmp3lame -b:a 192k -ac 2 -ar 48000"

echo
echo "== peak memory of vidmill-convert (320x240 MPEG-4 to DivX AVI)"
for s in 10 100; do
    read -r _ _ kb < <(measure "$converter" -y -i "$work/src$s.mp4" -vcodec mpeg4 -vtag divx \
        -acodec libmp3lame -r 29975/1001 -b 1000kb -ab 128.0kb -ac 2 -ar 48000 -vol 256 "$work/mem.avi")
    eval "rss$s=$kb"
    printf "%4ss source: %6s KB\n" "$s" "$kb"
done
awk -v a="$rss10" -v b="$rss100" 'BEGIN { printf "ratio 100s / 10s: %.3f\n", b / a }'

echo
echo "== probing 100 small files (vidmill-convert vs ffprobe -show_format, best of $repeat)"
probe_ours() { for f in "$work"/probe/*.mp4; do "$converter" -y -i "$f" || exit 1; done; }
probe_theirs() { for f in "$work"/probe/*.mp4; do ffprobe -v error -show_format "$f" >/dev/null || exit 1; done; }
export -f probe_ours probe_theirs
export converter work
best_o=999999 best_t=999999
for _ in $(seq "$repeat"); do
    read -r o _ < <(measure bash -c probe_ours)
    read -r t _ < <(measure bash -c probe_theirs)
    best_o=$(awk -v a="$o" -v b="$best_o" 'BEGIN { print (a < b) ? a : b }')
    best_t=$(awk -v a="$t" -v b="$best_t" 'BEGIN { print (a < b) ? a : b }')
done
awk -v o="$best_o" -v t="$best_t" 'BEGIN {
    printf "per file %.1f ms vs %.1f ms  ratio %.3f\n", o * 10, t * 10, o / t }'
