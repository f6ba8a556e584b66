#!/usr/bin/env bash
# Fit in a size, measured:
#   - accuracy: sources of several lengths, still and busy, converted to each
#     target size with each two-pass codec; prints every output's size off
#     its target (the aim: between -3 % and +1 %);
#   - quality: SSIM against the source of our two-pass output, of the ffmpeg
#     tool's two-pass output at the same video bitrate, and of our one-pass
#     output at that bitrate;
#   - speed: our two passes against our one pass and against the ffmpeg
#     tool's two passes, as farm-bench ratios (ours / theirs) when farm-bench
#     is there, else best of REPEAT wall times.
#
# Usage: bench/target_size_bench.sh [path/to/vidmill-convert]
#   LENGTHS="2 10 30 60 600"  seconds of the sources (each still and busy)
#   TARGETS="25000000 8000000 1000000"  bytes
#   CODECS="libx264 libx265 libvpx-vp9 mpeg4"
#   WORK=dir keeps the sources for the next run.
#   SSIM=0 skips the quality columns, SPEED=0 the speed rows.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
converter=${1:-$root/build/bin/vidmill-convert}
source "$root/bench/timing.sh"
require_tools ffmpeg ffprobe /usr/bin/time
[[ -x $converter ]] || { echo "no converter at $converter (build it first)" >&2; exit 1; }
lengths=${LENGTHS:-2 10 30 60 600}
targets=${TARGETS:-25000000 8000000 1000000}
codecs=${CODECS:-libx264 libx265 libvpx-vp9 mpeg4}
repeat=${REPEAT:-3}
make_work target-size
quiet=(-hide_banner -loglevel error -nostdin -y)
export XDG_CACHE_HOME=$work/cache

echo "making sources in $work ..."
for s in $lengths; do
    [[ -f $work/still$s.mkv ]] ||
        ffmpeg "${quiet[@]}" -f lavfi -i "smptehdbars=size=640x360:rate=25:duration=$s" \
            -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$s" -ac 2 \
            -pix_fmt yuv420p -c:v libx264 -preset ultrafast -qp 0 -c:a flac "$work/still$s.mkv"
    # The mandelbrot's deeper zoom takes hours to draw: longer sources
    # repeat its first 200 s.
    picture=(-f lavfi -i "mandelbrot=size=640x360:rate=25")
    if ((s > 200)); then
        [[ -f $work/busy200.mkv ]] ||
            ffmpeg "${quiet[@]}" "${picture[@]}" -t 200 -pix_fmt yuv420p -c:v libx264 \
                -preset ultrafast -qp 0 "$work/busy200.mkv"
        picture=(-stream_loop -1 -i "$work/busy200.mkv")
    fi
    [[ -f $work/busy$s.mkv ]] ||
        ffmpeg "${quiet[@]}" "${picture[@]}" \
            -f lavfi -i "anoisesrc=color=pink:sample_rate=48000:duration=$s" \
            -map 0:v -map 1:a -t "$s" -ac 2 \
            -pix_fmt yuv420p -c:v libx264 -preset ultrafast -qp 0 -c:a flac "$work/busy$s.mkv"
done

container() {
    case $1 in libvpx-vp9) echo "webm libopus" ;; mpeg4) echo "avi libmp3lame" ;;
        *) echo "mp4 aac" ;; esac
}
# The tuning our converter gives each encoder, for the ffmpeg tool to match,
# with the 4:2:0 pictures that ours makes.
# The tool's libx265 takes its passes through x265-params only ($2: the pass).
tuning() {
    case $1 in
        libx265) echo "-pix_fmt yuv420p -preset fast -x265-params log-level=error${2:+:pass=$2:stats=$work/ff-x265.log}" ;;
        libvpx-vp9) echo "-pix_fmt yuv420p -deadline good -cpu-used 4 -row-mt 1" ;;
        *) echo "-pix_fmt yuv420p" ;;
    esac
}
video_bitrate() {  # file: its video stream's bits per second, or from the file's size
    local rate
    rate=$(ffprobe -v error -select_streams v -show_entries stream=bit_rate -of csv=p=0 "$1")
    if [[ ! $rate =~ ^[0-9]+$ ]]; then
        rate=$(ffprobe -v error -show_entries format=bit_rate -of csv=p=0 "$1")
        rate=$((rate - 128000))
    fi
    echo "$rate"
}
ssim() {  # output, source
    ffmpeg -hide_banner -nostdin -i "$1" -i "$2" -lavfi "[0:v][1:v]ssim" -f null - 2>&1 |
        sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -n 1
}

echo
echo "== accuracy and quality (size off the target; SSIM ours 2-pass / ffmpeg 2-pass / ours 1-pass)"
printf "%-10s %-10s %-9s %10s %8s  %s\n" codec source target size off ssim
for codec in $codecs; do
    read -r ext audio < <(container "$codec")
    for s in $lengths; do
        for kind in still busy; do
            src=$work/$kind$s.mkv
            for target in $targets; do
                out=$work/ours.$ext
                if ! "$converter" -y -i "$src" -vcodec "$codec" -acodec "$audio" -ab 128.0kb \
                    -targetsize "$target" -passdir "$work/passes" "$out" 2>"$work/err.txt"; then
                    printf "%-10s %-10s %-9s refused: %s\n" "$codec" "$kind$s" "$target" \
                        "$(tail -n 1 "$work/err.txt" | cut -c18-)"
                    continue
                fi
                size=$(stat -c %s "$out")
                off=$(awk -v a="$size" -v t="$target" 'BEGIN { printf "%+.2f%%", (a - t) / t * 100 }')
                quality=""
                if [[ ${SSIM:-1} == 1 ]]; then
                    rate=$(video_bitrate "$out")
                    ffmpeg "${quiet[@]}" -i "$src" -c:v "$codec" $(tuning "$codec" 1) -b:v "$rate" \
                        -pass 1 -passlogfile "$work/ff" -an -f null /dev/null
                    ffmpeg "${quiet[@]}" -i "$src" -c:v "$codec" $(tuning "$codec" 2) -b:v "$rate" \
                        -pass 2 -passlogfile "$work/ff" -c:a "$audio" -b:a 128k "$work/theirs.$ext"
                    "$converter" -y -i "$src" -vcodec "$codec" -acodec "$audio" -ab 128.0kb \
                        -b "$((rate / 1000))kb" "$work/one.$ext" 2>/dev/null
                    # One pass at the bitrate lands elsewhere: its size is shown too.
                    quality="$(ssim "$out" "$src") / $(ssim "$work/theirs.$ext" "$src") / $(ssim "$work/one.$ext" "$src") (one pass: $(stat -c %s "$work/one.$ext") bytes)"
                fi
                printf "%-10s %-10s %-9s %10s %8s  %s\n" "$codec" "$kind$s" "$target" "$size" "$off" "$quality"
            done
        done
    done
done

[[ ${SPEED:-1} == 1 ]] || exit 0
echo
echo "== speed of two passes (60 s busy source, or the longest made; ours / theirs)"
longest=$(tr ' ' '\n' <<<"$lengths" | sort -n | tail -n 1)
for l in $lengths; do [[ $l == 60 ]] && longest=60; done
src=$work/busy$longest.mkv
for codec in $codecs; do
    read -r ext audio < <(container "$codec")
    "$converter" -y -i "$src" -vcodec "$codec" -acodec "$audio" -ab 128.0kb -targetsize 8000000 \
        -passdir "$work/passes" "$work/ours.$ext" 2>/dev/null || continue
    rate=$(video_bitrate "$work/ours.$ext")
    ours=("$converter" -y -i "$src" -vcodec "$codec" -acodec "$audio" -ab 128.0kb -b "$((rate / 1000))kb" -twopass -passdir "$work/passes" "$work/ours.$ext")
    single=("$converter" -y -i "$src" -vcodec "$codec" -acodec "$audio" -ab 128.0kb -b "$((rate / 1000))kb" "$work/one.$ext")
    theirs="ffmpeg ${quiet[*]} -i $src -c:v $codec $(tuning "$codec" 1) -b:v $rate -pass 1 -passlogfile $work/ff -an -f null /dev/null && ffmpeg ${quiet[*]} -i $src -c:v $codec $(tuning "$codec" 2) -b:v $rate -pass 2 -passlogfile $work/ff -c:a $audio -b:a 128k $work/theirs.$ext"
    echo "-- $codec: our two passes vs the ffmpeg tool's two passes"
    if command -v farm-bench >/dev/null; then
        farm-bench -n "$repeat" --timeout 3600 --vs "sh -c '$theirs'" -- "${ours[@]}" | tail -n 4
        echo "-- $codec: our two passes vs our one pass"
        farm-bench -n "$repeat" --timeout 3600 --vs "${single[*]}" -- "${ours[@]}" | tail -n 4
    else
        read -r ow _ < <(measure "${ours[@]}")
        read -r tw _ < <(measure sh -c "$theirs")
        read -r sw _ < <(measure "${single[@]}")
        awk -v o="$ow" -v t="$tw" -v s="$sw" 'BEGIN { printf "two-pass %.2fs, ffmpeg %.2fs (ratio %.3f), one-pass %.2fs (ratio %.3f)\n", o, t, o / t, s, o / s }'
    fi
done
