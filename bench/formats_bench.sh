#!/usr/bin/env bash
# The formats of the newer codecs, vidmill-convert against the ffmpeg tool
# with the same settings (same encoder, speed settings, quality and threads),
# printed as ratios measured in the same run:
#   - speed: H.265 MP4, AV1 Matroska, VP9 WebM, Matroska with all tracks,
#     Opus and FLAC, each converting a 720p source (ours / theirs, wall and
#     processor time; below 1 means we are faster). Rounds alternate ours and
#     theirs so that both see the same load; the figures are medians, each
#     ratio the median of the rounds' ratios with the lowest and highest in
#     brackets to show how noisy the machine was;
#   - quality of each video format: SSIM against the source of our file,
#     of the ffmpeg tool's file with the same settings, and of the ffmpeg
#     tool's file at the bitrate that gives our file's video size (its own
#     rate control against our constant quality, at equal size).
#
# Usage: bench/formats_bench.sh [path/to/vidmill-convert]
#        (default: build/bin/vidmill-convert; ROUNDS=3 SECONDS_720P=10 override,
#        WORK=DIR keeps the source in DIR for the next run)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
converter=${1:-$root/build/bin/vidmill-convert}
rounds=${ROUNDS:-3}
seconds=${SECONDS_720P:-10}
[[ -x $converter ]] || { echo "no converter at $converter (build it first)" >&2; exit 1; }
# shellcheck source=bench/timing.sh
source "$root/bench/timing.sh"
require_tools ffmpeg ffprobe /usr/bin/time

make_work formats
quiet=(-hide_banner -loglevel error -nostdin -y)
# SVT-AV1 prints its settings on stderr unless told otherwise; the converter
# tells it the same.
export SVT_LOG=1

# The converter, alone, gives each encoder every core; the ffmpeg tool is
# told the same where the encoder does not find that out by itself.
cores=$(nproc)

# Two audio tracks (the first the default, which both tools then take) and
# a subtitle, so that the all-tracks format has all three kinds to carry.
source=$work/src720-$seconds.mkv
if [[ ! -s $source ]]; then
    echo "making $source ..."
    awk -v n="$seconds" 'BEGIN {
        for (i = 0; i < n; i++)
            printf "%d\n00:00:%02d,200 --> 00:00:%02d,900\nLine %d\n\n", i + 1, i, i, i + 1 }' \
        >"$work/subtitles.srt"
    ffmpeg "${quiet[@]}" -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
        -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=$seconds" \
        -i "$work/subtitles.srt" -map 0 -map 1 -map 2 -map 3 -ac 2 \
        -c:v libx264 -preset veryfast -crf 20 -c:a aac -b:a 160k -c:s subrip \
        -disposition:a:0 default -disposition:a:1 0 "$source"
fi

# Our file and the ffmpeg tool's, by format name, for the quality part.
ours_file() { echo "$work/ours-$1.$2"; }
theirs_file() { echo "$work/theirs-$1.$2"; }

speed() {  # name, extension, "our options", "ffmpeg options"
    local name=$1 ext=$2 ours=$3 theirs=$4
    local ours_out theirs_out ow oc tw tc walls="" cpus=""
    ours_out=$(ours_file "$name" "$ext")
    theirs_out=$(theirs_file "$name" "$ext")
    for _ in $(seq "$rounds"); do
        # shellcheck disable=SC2086 # the options are words
        read -r ow oc < <(measure "$converter" -y -i "$source" $ours "$ours_out")
        # shellcheck disable=SC2086
        read -r tw tc < <(measure ffmpeg "${quiet[@]}" -i "$source" $theirs "$theirs_out")
        walls+="$ow $tw"$'\n'
        cpus+="$oc $tc"$'\n'
    done
    local speed
    speed=$(awk 'NF { print $1 }' <<<"$walls" | median)
    report_pairs "$name" 10 "$walls" "$cpus" \
        "$(awk -v s="$seconds" -v w="$speed" 'BEGIN { printf "  %.2fx real time", s / w }')"
}

# Bytes of a file's first video stream.
video_bytes() {
    ffprobe -v error -select_streams v:0 -show_entries packet=size -of csv=p=0 "$1" |
        awk '{ total += $1 } END { print total }'
}

# SSIM ("All") of a file's pictures against the source's, at the best of
# three alignments of the first pictures: as they stand, or either one
# picture later. A muxer may start the timeline later by the audio's
# priming, and a tool may repeat the first picture to fill the time before it.
ssim() {
    local best=0 value shift ours_shift source_shift
    for shift in "0 0" "1 0" "0 1"; do
        read -r ours_shift source_shift <<<"$shift"
        value=$(ffmpeg -hide_banner -nostdin -i "$1" -i "$source" -lavfi \
            "[0:v]setpts=PTS-STARTPTS+$ours_shift/(25*TB)[a];[1:v]setpts=PTS-STARTPTS+$source_shift/(25*TB)[b];[a][b]ssim" \
            -f null - 2>&1 | sed -n 's/.*All:\([0-9.]*\).*/\1/p' | tail -1)
        best=$(awk -v a="$value" -v b="$best" 'BEGIN { print (a > b) ? a : b }')
    done
    echo "$best"
}

# SSIM as decibels, as the ssim filter prints it: -10 log10(1 - SSIM).
decibels() { awk -v s="$1" 'BEGIN { printf "%.2f", s < 1 ? -10 * log(1 - s) / log(10) : 99 }'; }

quality() {  # name, extension, "ffmpeg options without the video quality"
    local name=$1 ext=$2 rest=$3
    local ours theirs sized bytes rate
    ours=$(ours_file "$name" "$ext")
    theirs=$(theirs_file "$name" "$ext")
    sized=$work/sized-$name.$ext
    bytes=$(video_bytes "$ours")
    rate=$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { printf "%d", b * 8 / s }')
    # A rate control misses its target by a few tens of percent: the rate is
    # corrected until the size is within 3 % of ours.
    for _ in 1 2 3 4 5; do
        # shellcheck disable=SC2086
        ffmpeg "${quiet[@]}" -i "$source" $rest -b:v "$rate" "$sized"
        local got
        got=$(video_bytes "$sized")
        awk -v a="$got" -v b="$bytes" 'BEGIN { exit !(a < b * 0.97 || a > b * 1.03) }' || break
        rate=$(awk -v r="$rate" -v a="$got" -v b="$bytes" 'BEGIN { printf "%d", r * b / a }')
    done
    local so st ss bo bt bs
    so=$(ssim "$ours")
    st=$(ssim "$theirs")
    ss=$(ssim "$sized")
    bo=$bytes
    bt=$(video_bytes "$theirs")
    bs=$(video_bytes "$sized")
    printf "%-10s ours %.4f (%s dB, %7d KB)  ffmpeg same settings %.4f (%s dB, %7d KB)\n" \
        "$name" "$so" "$(decibels "$so")" $((bo / 1000)) "$st" "$(decibels "$st")" $((bt / 1000))
    printf "%-10s ffmpeg at our size %.4f (%s dB, %7d KB)  SSIM ratio ours / it %.4f, %+.2f dB\n" \
        "" "$ss" "$(decibels "$ss")" $((bs / 1000)) \
        "$(awk -v a="$so" -v b="$ss" 'BEGIN { print a / b }')" \
        "$(awk -v a="$(decibels "$so")" -v b="$(decibels "$ss")" 'BEGIN { print a - b }')"
}

# The settings the converter gives each encoder (encoder_params.cpp), in
# the ffmpeg tool's words; without the video quality, for the sized encode.
h265="-map 0:v:0 -map 0:a:0 -c:v libx265 -preset fast -x265-params log-level=error:pools=$cores -tag:v hvc1"
av1="-map 0:v:0 -map 0:a:0 -c:v libsvtav1 -preset 8 -svtav1-params lp=$cores -f matroska"
vp9="-map 0:v:0 -map 0:a:0 -c:v libvpx-vp9 -deadline good -cpu-used 4 -row-mt 1 -threads $cores -f webm"
all="-map 0 -c:v libx264 -c:s copy -f matroska"
opus_audio="-c:a libopus -b:a 128k -ac 2 -ar 48000"

echo
echo "== speed on a ${seconds}s 720p source (vidmill-convert vs ffmpeg, medians of $rounds interleaved rounds)"
speed H265Mp4 mp4 \
    "-vtag hvc1 -vcodec libx265 -acodec libfaac -crf 28 -ab 128.0kb -ac 2 -ar 48000 -vol 256" \
    "$h265 -crf 28 -c:a aac -b:a 128k -ac 2 -ar 48000"
speed Av1Mkv mkv \
    "-vcodec libsvtav1 -acodec libopus -f matroska -crf 35 -ab 128.0kb -ac 2 -ar 48000 -vol 256" \
    "$av1 -crf 35 $opus_audio"
speed Vp9Webm webm \
    "-vcodec libvpx-vp9 -acodec libopus -f webm -crf 33 -ab 128.0kb -ac 2 -ar 48000 -vol 256" \
    "$vp9 -crf 33 -b:v 0 $opus_audio"
speed MkvAll mkv \
    "-alltracks -vcodec libx264 -acodec libfaac -f matroska -crf 23 -ab 160.0kb -vol 256" \
    "$all -crf 23 -c:a aac -b:a 160k"
speed Opus opus \
    "-vn -acodec libopus -ab 128.0kb -ac 2 -ar 48000 -vol 256" \
    "-vn -map 0:a:0 $opus_audio"
speed Flac flac \
    "-vn -acodec flac -ac 2 -vol 256" \
    "-vn -map 0:a:0 -c:a flac -ac 2"

echo
echo "== quality of the video formats: SSIM against the source"
quality H265Mp4 mp4 "$h265 -c:a aac -b:a 128k -ac 2 -ar 48000"
quality Av1Mkv mkv "$av1 $opus_audio"
quality Vp9Webm webm "$vp9 $opus_audio"
quality MkvAll mkv "$all -c:a aac -b:a 160k"
