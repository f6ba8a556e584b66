#!/usr/bin/env bash
# Where the time of one conversion through vidmill-cli goes, beside the
# ffmpeg tool doing the same encode, as ratios of paired runs (ours / the
# yardstick; each pair run in turn, the median of the pairs' ratios with the
# lowest and highest in brackets):
#   - encode: vidmill-convert alone on the command line that the CLI gives
#     it, against the ffmpeg tool with the same settings;
#   - around: vidmill-cli --jobs 1 (its start, the probe, the part file, the
#     publishing and the copy of dates, and the converter) against
#     vidmill-convert alone on the same command line;
#   - start and probe: vidmill-cli --dry-run (the program's start and the
#     probe of the file, no conversion), in seconds;
#   - bars: the converter with -crop auto (the look at pictures through the
#     file before the conversion) against the same without it.
# The clip is one 8 s 720p clip of preset 510 (x264 at 512 kbit/s, AAC).
#
# Usage: bench/overhead_bench.sh [folder of vidmill-cli and vidmill-convert]
#        (default: build/bin; ROUNDS=7 overrides the pairs, WORK=DIR keeps
#        the clip in DIR for the next run)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/bin}
rounds=${ROUNDS:-7}
cli=$bin/vidmill-cli
convert=$bin/vidmill-convert
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
require_programs "$bin" vidmill-cli vidmill-convert
require_tools ffmpeg /usr/bin/time

make_work overhead
quiet=(-hide_banner -loglevel error -nostdin -y)
clip=$work/clip.mp4
if [[ ! -s $clip ]]; then
    echo "making $clip ..."
    ffmpeg "${quiet[@]}" -f lavfi -i "mandelbrot=size=1280x720:rate=25" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000" -t 8 -ac 2 -c:v libx264 \
        -preset veryfast -crf 20 -pix_fmt yuv420p -c:a aac -b:a 160k "$clip"
fi

mkdir -p "$work/out"
export XDG_CONFIG_HOME=$work/config
ours_cli() {
    rm -f "$work/out/clip.mp4"
    measure "$cli" --jobs 1 --preset 510 --dest "$work/out" "$clip"
}
# The converter's own words for preset 510, as the CLI's dry run prints them.
converter_options=(-vcodec libx264 -acodec libfaac -s 1280x720 -r 25000/1001 -b 512kb
    -ab 128.0kb -ac 2 -ar 44100 -vol 256)
ours_convert() {  # extra options...
    measure "$convert" -y -i "$clip" "${converter_options[@]}" "$@" "$work/out/alone.mp4"
}
theirs() {
    measure ffmpeg "${quiet[@]}" -i "$clip" -c:v libx264 -c:a aac -s 1280x720 -r 25000/1001 \
        -b:v 512k -b:a 128k -ac 2 -ar 44100 "$work/out/theirs.mp4"
}

pairs() {  # name, first command, second command
    local name=$1 first=$2 second=$3 ow oc tw tc walls="" cpus=""
    $first >/dev/null
    for _ in $(seq "$rounds"); do
        read -r ow oc < <($first)
        read -r tw tc < <($second)
        walls+="$ow $tw"$'\n'
        cpus+="$oc $tc"$'\n'
    done
    report_pairs "$name" 16 "$walls" "$cpus"
}

ours_bars() { ours_convert -crop auto; }

echo
echo "== one 8 s 720p clip to preset 510, medians of $rounds paired runs"
yardstick=ffmpeg pairs "encode" ours_convert theirs
yardstick=convert pairs "around" ours_cli ours_convert
yardstick=no-crop pairs "bars" ours_bars ours_convert
walls=""
cpus=""
for _ in $(seq "$rounds"); do
    read -r w c < <(measure "$cli" --dry-run --preset 510 --dest "$work/out" "$clip")
    walls+="$w"$'\n'
    cpus+="$c"$'\n'
done
printf "%-16s wall %.3fs cpu %.3fs (medians)\n" "start and probe" \
    "$(median <<<"$walls")" "$(median <<<"$cpus")"
