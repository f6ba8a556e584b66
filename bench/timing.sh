# Helpers of the bench scripts, sourced by them: their set-up and their
# timing; `work` names their scratch folder.

# Stops the bench unless every program named is there.
require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
    done
}

# Stops the bench unless the folder holds every program of ours named.
require_programs() {  # folder, programs...
    local folder=$1 program
    shift
    for program in "$@"; do
        [[ -x $folder/$program ]] || {
            echo "no $program in $folder (build it first)" >&2
            exit 1
        }
    done
}

# Sets `work`: the folder that WORK names, kept for the next run, else a new
# one under /tmp (named after $1) that goes at exit.
make_work() {  # name
    if [[ -n ${WORK:-} ]]; then
        work=$WORK
        mkdir -p "$work"
    else
        work=$(mktemp -d "/tmp/vidmill-$1-XXXXXX")
        trap 'rm -rf "$work"' EXIT
    fi
}

# Prints "wall cpu" of one run: wall seconds, and the processor seconds of
# everything it waited for (the converters and ffmpegs included).
measure() {
    /usr/bin/time -f "%e %U %S" -o "$work/time.txt" "$@" >/dev/null 2>&1 ||
        { echo "failed: $*" >&2; exit 1; }
    awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time.txt"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# "median lowest highest" of the numbers on standard input.
spread() {
    local values
    values=$(cat)
    printf '%s %s %s\n' "$(median <<<"$values")" "$(sort -g <<<"$values" | head -1)" \
        "$(sort -g <<<"$values" | tail -1)"
}

# Prints the wall and processor lines of paired rounds: the medians of ours
# and theirs, and the median of the rounds' ratios with the lowest and the
# highest. `walls` and `cpus` hold one "ours theirs" line per round; `tail`
# is added to the wall line; `yardstick` (default ffmpeg) names the second
# of each pair.
report_pairs() {  # name, name width, walls, cpus, tail
    local name=$1 width=$2 walls=$3 cpus=$4 tail=${5:-}
    local om tm ocm tcm wr wlo whi cr clo chi
    om=$(awk 'NF { print $1 }' <<<"$walls" | median)
    tm=$(awk 'NF { print $2 }' <<<"$walls" | median)
    ocm=$(awk 'NF { print $1 }' <<<"$cpus" | median)
    tcm=$(awk 'NF { print $2 }' <<<"$cpus" | median)
    read -r wr wlo whi < <(awk 'NF { printf "%.4f\n", $1 / $2 }' <<<"$walls" | spread)
    read -r cr clo chi < <(awk 'NF { printf "%.4f\n", $1 / $2 }' <<<"$cpus" | spread)
    local other=${yardstick:-ffmpeg}
    printf "%-${width}s wall ours %6.2fs %s %6.2fs  ratio %.3f (%.3f .. %.3f)%s\n" \
        "$name" "$om" "$other" "$tm" "$wr" "$wlo" "$whi" "$tail"
    printf "%-${width}s cpu  ours %6.2fs %s %6.2fs  ratio %.3f (%.3f .. %.3f)\n" \
        "" "$ocm" "$other" "$tcm" "$cr" "$clo" "$chi"
}
