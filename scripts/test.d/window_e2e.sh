#!/usr/bin/env bash
# Drives the built window as a person would: under Xvfb with a window
# manager, its own session bus, HOME and configuration folder, on clips made
# here with the ffmpeg tool. It types the keys of the window's commands,
# answers its real dialogs and questions, and checks each step on the disk:
# the converted files in the destination folder (whole, by ffprobe's
# duration against their sources), the hidden part files, the history file
# and the exit of the processes.
#
#   bash scripts/test.d/window_e2e.sh [ROOT]     (ROOT/build/bin holds the programs)
#
# Exits 0 when every step passed, 1 otherwise; prints one line per step.
set -uo pipefail
export LC_ALL=C

# Every wait below polls its condition; these are its limits.
readonly kShowLimit=60      # a window or dialog to appear
readonly kGoneLimit=30      # a dialog, a process or a part file to go
readonly kConvertLimit=90   # short clips to be converted
readonly kHandOverLimit=10  # a second start to hand its file over and end
readonly kHistoryLimit=20   # the history file to follow a change of the list
readonly kTotalLimit=170    # the whole run, so it ends inside three minutes
readonly kTolerance=0.25    # seconds between an output's duration and its source's

say() { echo "window_e2e: $*"; }

# ---------------------------------------------------------------------------
# Outside Xvfb: the scratch folder, the clips, then this script again inside.

# The processes that this run started, known by the scratch folder in their
# environment (their HOME is there), never by name: other runs share the
# machine. With a folder as $2, only programs from that folder.
own_processes() {  # scratch folder, [bin folder]
    local dir pid exe
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        ((pid == $$ || pid == BASHPID)) && continue
        if [[ -n ${2:-} ]]; then
            exe=$(readlink "$dir/exe" 2>/dev/null) || continue
            [[ $exe == "$2"/* ]] || continue
        fi
        grep -qaF "$1" "$dir/environ" 2>/dev/null && echo "$pid"
    done
}

# Ends processes: asked first, killed when they linger.
end_processes() {  # pids...
    (($# > 0)) || return 0
    kill "$@" 2>/dev/null
    local pid tries=0
    for pid in "$@"; do
        while kill -0 "$pid" 2>/dev/null && ((tries++ < 25)); do sleep 0.2; done
        kill -9 "$pid" 2>/dev/null
    done
}

if [[ ${1:-} != --inside ]]; then
    root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
    root=$(cd "$root" && pwd)
    bin=$root/build/bin
    for program in vidmill vidmill-convert; do
        if [[ ! -x $bin/$program ]]; then
            say "$bin/$program is missing: build it first"
            exit 1
        fi
    done
    for tool in xvfb-run xdotool xprop openbox dbus-daemon ffmpeg ffprobe; do
        if ! command -v "$tool" >/dev/null; then
            say "$tool is missing: run scripts/setup"
            exit 1
        fi
    done
    started=$EPOCHREALTIME
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/vidmill-e2e.XXXXXX")
    cleanup() {
        # Nothing should be left by now, unless this run was cut short.
        end_processes $(own_processes "$scratch")
        rm -rf "$scratch"
    }
    trap cleanup EXIT
    trap 'exit 130' INT TERM HUP

    # Short clips of one to three seconds, and a long one that no
    # conversion here finishes: an hour at a picture every ten
    # seconds, with cheap sound (the PSP format wants a sound track), costs
    # little to make, and the output's fixed rate makes it long to convert.
    clips=$scratch/clips
    mkdir -p "$clips"
    for seconds in 1 2 3; do
        ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=320x240:rate=25:duration=$seconds" \
            -f lavfi -i "sine=frequency=440:duration=$seconds" -c:v mpeg4 -c:a mp2 -shortest \
            "$clips/made$seconds.avi" || { say "ffmpeg could not make the clips"; exit 1; }
    done
    for n in 01 02 03 04 05 06 07 08 09 10 11 12; do
        cp "$clips/made$(((10#$n % 3) + 1)).avi" "$clips/c$n.avi"
    done
    rm -f "$clips"/made*.avi
    ffmpeg -nostdin -v error -f lavfi -i "testsrc=size=320x240:rate=1/10:duration=3600" \
        -f lavfi -i "anullsrc=r=8000:cl=mono" -t 3600 -c:v mpeg4 -q:v 5 -c:a adpcm_ima_wav \
        "$clips/long1.avi" || { say "ffmpeg could not make the long clip"; exit 1; }
    ln "$clips/long1.avi" "$clips/long2.avi"
    ln "$clips/long1.avi" "$clips/long3.avi"
    ln "$clips/long1.avi" "$clips/long4.avi"
    say "clips made in $(awk -v a="$EPOCHREALTIME" -v b="$started" 'BEGIN { printf "%.1f", a - b }') s"

    # xvfb-run's own files, and everything started from here, live in the
    # scratch folder too.
    mkdir -p "$scratch/home" "$scratch/tmp"
    HOME=$scratch/home TMPDIR=$scratch/tmp xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
        bash "$0" --inside "$root" "$scratch" "$started"
    status=$?
    say "took $(awk -v a="$EPOCHREALTIME" -v b="$started" 'BEGIN { printf "%.0f", a - b }') s in all"
    exit $status
fi

# ---------------------------------------------------------------------------
# Inside Xvfb.

root=$2
work=$3
started=$4
bin=$root/build/bin
clips=$work/clips
logs=$work/logs
mkdir -p "$logs"

export HOME=$work/home
export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/run
export XDG_DATA_HOME=$work/home/.local/share
export XDG_CACHE_HOME=$work/home/.cache
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=xcb
unset QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS

dest=$HOME/Videos/Vidmill
history=$XDG_CONFIG_HOME/vidmill/history.bin

helpers=()  # the bus and the window manager
cleanup_inside() {
    # The windows and their converters, then the session around them.
    end_processes ${win_pid:-} ${second_pid:-} $(own_processes "$work" "$bin")
    end_processes "${helpers[@]}"
}
trap cleanup_inside EXIT
trap 'exit 130' INT TERM HUP

# Microseconds since the epoch, of now or of an EPOCHREALTIME reading.
micros() {
    local t=${1:-$EPOCHREALTIME}
    echo "${t/./}"
}
readonly deadline_us=$(($(micros "$started") + kTotalLimit * 1000000))

out_of_time() { (($(micros) >= deadline_us)); }

# Polls a command every 0.2 s until it succeeds, for at most $1 seconds.
wait_for() {
    local end=$(($(micros) + $1 * 1000000))
    shift
    until "$@"; do
        if (($(micros) >= end)) || out_of_time; then
            return 1
        fi
        sleep 0.2
    done
}

seconds_since() { awk -v a="$EPOCHREALTIME" -v b="$1" 'BEGIN { printf "%.1f", a - b }'; }

# --- steps and their failures ------------------------------------------------

failed_steps=0
step_failures=0
fail() {
    say "    FAILED: $*"
    step_failures=$((step_failures + 1))
}
run_step() {  # label, description, function
    if out_of_time; then
        say "step $1 ($2): NOT RUN, out of time"
        failed_steps=$((failed_steps + 1))
        return
    fi
    say "step $1 ($2) ..."
    step_failures=0
    local begun=$EPOCHREALTIME
    "$3"
    if ((step_failures > 0)); then
        say "step $1: FAILED ($(seconds_since "$begun") s)"
        failed_steps=$((failed_steps + 1))
    else
        say "step $1: ok ($(seconds_since "$begun") s)"
    fi
}

# --- processes ---------------------------------------------------------------

alive() {  # pid: running, not a zombie
    local state
    state=$(awk '{ sub(/^.*\) /, ""); print $1 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [[ -n $state && $state != Z ]]
}
dead() { ! alive "$1"; }

# --- windows -----------------------------------------------------------------

win_pid=""  # the window's process
win_id=""   # its main window
second_pid=""  # a second start that did not end in time
window_runs=0

# Visible windows of a process whose title matches a regular expression.
windows_of() { xdotool search --all --onlyvisible --pid "$1" --name "$2" 2>/dev/null; }

main_window_shown() {
    dead "$win_pid" && return 0
    win_id=$(windows_of "$win_pid" '^Vidmill$' | head -n 1)
    [[ -n $win_id ]]
}

# Makes a window the active one, as a click on it would.
focus() {
    local tries=0
    until [[ $(xdotool getactivewindow 2>/dev/null) == "$1" ]]; do
        xdotool windowactivate "$1" 2>/dev/null
        ((++tries > 50)) && return 1
        sleep 0.2
    done
}

# Makes a window the active one and types keys into it; $2 names it in a failure.
type_into() {  # window id, what, keys...
    local id=$1 what=$2
    shift 2
    if ! focus "$id"; then
        fail "$what does not take the focus; cannot press $*"
        return 1
    fi
    xdotool key --clearmodifiers --delay 120 "$@"
}

# Types keys into the main window.
press() {
    if dead "$win_pid"; then
        fail "the window is gone (its output window.$window_runs.log is shown at the end); cannot press $*"
        return 1
    fi
    type_into "$win_id" "the main window" "$@"
}

dialog_id=""
find_dialog() {  # title regex
    dialog_id=""
    dead "$win_pid" && return 0
    dialog_id=$(windows_of "$win_pid" "$1" | grep -vx "$win_id" | head -n 1)
    [[ -n $dialog_id ]]
}
not_shown() { ! windows_of "$win_pid" . | grep -qx "$1"; }

# Waits for a dialog of the window titled like $1 (message boxes are titled
# Vidmill, as the main window), types the keys $2... into it and waits for it
# to close.
answer() {
    local title=$1
    shift
    if ! wait_for "$kShowLimit" find_dialog "$title" || [[ -z $dialog_id ]]; then
        if dead "$win_pid"; then
            reap_window
            fail "the window ended ($win_status) instead of showing '$title' (its output window.$window_runs.log is shown at the end)"
        else
            fail "no '$title' window within ${kShowLimit} s"
        fi
        return 1
    fi
    type_into "$dialog_id" "the '$title' window" "$@" || return 1
    if ! wait_for "$kGoneLimit" not_shown "$dialog_id"; then
        fail "the '$title' window stays open after $*"
        return 1
    fi
}

window_log() { echo "$logs/window.$window_runs.log"; }
# How the window's process ended, once it has: "exit status N" or "signal N".
# Called in this shell, never in a subshell, which could not reap it.
win_status=""
reap_window() {
    [[ -n $win_status ]] && return
    wait "$win_pid" 2>/dev/null
    local status=$?
    if ((status > 128)); then
        win_status="signal $((status - 128))"
    else
        win_status="exit status $status"
    fi
}

# Starts the window with the given files, as from a file manager or a
# terminal. Every start shows the tip of the day, which holds nothing up: it
# is closed here only when no file was given and no --keep-tip asked.
start_window() {
    local keep_tip=$#
    [[ ${1:-} == --keep-tip ]] && shift
    window_runs=$((window_runs + 1))
    "$bin/vidmill" "$@" >"$(window_log)" 2>&1 &
    win_pid=$!
    win_id=""
    win_status=""
    if ! wait_for "$kShowLimit" main_window_shown || [[ -z $win_id ]]; then
        if dead "$win_pid"; then
            reap_window
            fail "the window ended at start ($win_status; its output window.$window_runs.log is shown at the end)"
        else
            fail "no main window within ${kShowLimit} s"
        fi
        return 1
    fi
    ((keep_tip > 0)) || answer '^Tip of the Day$' Escape
}

# A window is running and idle, started afresh when an earlier step lost it.
ensure_window() {
    if [[ -n $win_pid ]] && alive "$win_pid"; then
        return 0
    fi
    say "    (the window is not running: starting it again)"
    start_window
}

# Closes the window as a person would, and waits for its process to end.
close_window() {
    press alt+F4 || return 1
    if ! wait_for "$kGoneLimit" dead "$win_pid"; then
        fail "the window still runs ${kGoneLimit} s after Alt+F4"
        kill -9 "$win_pid" 2>/dev/null
        return 1
    fi
    reap_window
    [[ $win_status == "exit status 0" ]] || fail "the window ended with $win_status on closing"
}

# --- files -------------------------------------------------------------------

duration() { ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$1" 2>/dev/null; }

# The sources do not change: each is measured once.
declare -A source_durations=()

# An output is whole when ffprobe reads it and its length is its source's.
whole() {  # output, source
    local got want
    got=$(duration "$1") || return 1
    [[ -n ${source_durations[$2]:-} ]] || source_durations[$2]=$(duration "$2")
    want=${source_durations[$2]}
    awk -v a="$got" -v b="$want" -v t="$kTolerance" \
        'BEGIN { d = a - b; if (d < 0) d = -d; exit !(a > 0 && d <= t) }'
}

part_files() { find "$dest" -maxdepth 1 -name '.vidmill-part-*' -printf '%f\n' 2>/dev/null; }
no_part_files() { [[ -z $(part_files) ]]; }
part_of() { echo "$dest/.vidmill-part-$1"; }
final_files() { find "$dest" -maxdepth 1 -type f ! -name '.*' -printf '%f\n' 2>/dev/null | sort; }
exists() { [[ -e $1 ]]; }
missing() { [[ ! -e $1 ]]; }
all_exist() {
    local file
    for file in "$@"; do [[ -e $file ]] || return 1; done
}
nonempty() { [[ -s $1 ]]; }
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
grows() {  # file: its size rises within a few seconds
    local before
    before=$(size_of "$1")
    wait_for 15 bigger_than "$1" "$before"
}
bigger_than() { (($(size_of "$1") > $2)); }

# The sources of the list's entries, in the list's order, as the history has them.
history_list() { grep -ao 'clips/[^/]*\.avi' "$history" 2>/dev/null | sed 's#^clips/##; s#\.avi$##'; }
in_history() { [[ -f $history ]] && grep -aqF "$1" "$history"; }
not_in_history() { ! in_history "$1"; }
history_lacks_all() {
    local text
    for text in "$@"; do in_history "$text" && return 1; done
    return 0
}
history_has_all() {
    local text
    for text in "$@"; do in_history "$text" || return 1; done
}

# What the destination should hold: final name -> the source it was made from.
declare -A expected=()
# Files under a final name that no step made, told once each.
declare -A strays=()

# Every file under a final name is one that this run expects, and whole;
# every expected one is there; no part file is left. Afterwards the
# expectation follows what is really there, so that one fault is told once.
check_destination() {
    local name
    while IFS= read -r name; do
        if [[ -n ${strays[$name]+set} ]]; then
            continue
        elif [[ -z ${expected[$name]+set} ]]; then
            fail "$dest/$name is there, but no step made it"
            strays[$name]=1
        elif ! whole "$dest/$name" "${expected[$name]}"; then
            fail "$dest/$name is not whole (duration '$(duration "$dest/$name")'," \
                "its source's '$(duration "${expected[$name]}")')"
        fi
    done < <(final_files)
    for name in "${!expected[@]}"; do
        if [[ ! -e $dest/$name ]]; then
            fail "$dest/$name is gone, though no step removed it"
            unset "expected[$name]"
        fi
    done
    local parts
    parts=$(part_files)
    [[ -z $parts ]] || fail "part files are left in $dest: $(echo $parts)"
}

# Waits until the named outputs exist and no part file is left, then checks
# each against its source.
await_outputs() {  # source paths...
    local source outputs=()
    for source in "$@"; do
        local stem=${source##*/}
        stem=${stem%.*}
        outputs+=("$dest/$stem.mp4")
        expected["$stem.mp4"]=$source
    done
    if ! wait_for "$kConvertLimit" outputs_done "${outputs[@]}"; then
        local output
        for output in "${outputs[@]}"; do
            [[ -e $output ]] || fail "$output was not made within ${kConvertLimit} s"
        done
        no_part_files || fail "part files still there after ${kConvertLimit} s: $(echo $(part_files))"
        return 1
    fi
}
outputs_done() { all_exist "$@" && no_part_files; }
no_converters() { [[ -z $(own_processes "$work" "$bin") ]]; }

# ---------------------------------------------------------------------------
# The session: a bus of its own and a window manager, for the focus.

dbus-daemon --session --nofork --print-address=1 --address="unix:dir=$XDG_RUNTIME_DIR" \
    >"$work/bus" 2>"$logs/bus.log" &
helpers+=($!)
if ! wait_for 20 nonempty "$work/bus"; then
    say "the session bus did not start:"
    cat "$logs/bus.log"
    exit 1
fi
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS

openbox --sm-disable >"$logs/openbox.log" 2>&1 &
helpers+=($!)
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
if ! wait_for 20 wm_running; then
    say "the window manager did not start:"
    cat "$logs/openbox.log"
    exit 1
fi

# ---------------------------------------------------------------------------
# The steps.

step_start_with_clips() {
    start_window "$clips"/c0{1..8}.avi || return
    answer '^Settings: 8 videos to convert$' Return || return
    await_outputs "$clips"/c0{1..8}.avi
    check_destination
    local n
    for n in 1 2 3 4 5 6 7 8; do
        wait_for "$kHistoryLimit" in_history "clips/c0$n.avi" ||
            fail "the history does not name clips/c0$n.avi"
    done
}

step_remove_entries() {
    # The first three rows: the first alone, then two more below.
    press ctrl+Home Down Up shift+Down shift+Down Delete || return
    answer '^Vidmill$' Return || return
    wait_for "$kHistoryLimit" history_lacks_all clips/c0{1..3}.avi ||
        fail "the history still names the removed entries' sources"
    history_has_all clips/c0{4..8}.avi || fail "the history lost entries that were not removed"
    # Remove keeps the files.
    check_destination
    all_exist "$clips"/c0{1..8}.avi || fail "a source file is gone"
}

step_delete_focused() {
    # Right after the removal the focus is on the row that took the place of
    # the first removed one; Delete Video acts on it alone.
    press F8 || return
    answer '^Vidmill$' Return || return
    if wait_for "$kHistoryLimit" missing "$dest/c04.mp4"; then
        unset 'expected[c04.mp4]'
    else
        fail "$dest/c04.mp4 was not deleted"
    fi
    wait_for "$kHistoryLimit" not_in_history clips/c04.avi ||
        fail "the history still names clips/c04.avi"
    local name
    for name in c05 c06 c07 c08; do
        if [[ ! -e $dest/$name.mp4 ]]; then
            fail "$name.mp4 was deleted as well: rows other than the focused one were still selected"
            unset "expected[$name.mp4]"
        fi
    done
    check_destination
    exists "$clips/c04.avi" || fail "Delete Video deleted the source clips/c04.avi"
}

step_delete_selection() {
    # The first and the third row of the list, whatever it holds now.
    local rows=() name
    mapfile -t rows < <(history_list)
    if ((${#rows[@]} < 3)); then
        fail "the list holds ${#rows[@]} entries (${rows[*]}), too few to choose two of three"
        return
    fi
    press ctrl+Home Down Up ctrl+Down ctrl+Down ctrl+space F8 || return
    answer '^Vidmill$' Return || return
    wait_for "$kHistoryLimit" history_lacks_all "clips/${rows[0]}.avi" "clips/${rows[2]}.avi" ||
        fail "the history still names ${rows[0]} or ${rows[2]}"
    for name in "${rows[0]}" "${rows[2]}"; do
        if [[ -e $dest/$name.mp4 ]]; then
            fail "$dest/$name.mp4 was not deleted"
        else
            unset "expected[$name.mp4]"
        fi
    done
    for name in "${rows[1]}" "${rows[@]:3}"; do
        [[ -e $dest/$name.mp4 ]] || fail "$name.mp4, not chosen, was deleted as well"
        unset "expected[$name.mp4]"
        [[ -e $dest/$name.mp4 ]] && expected[$name.mp4]=$clips/$name.avi
    done
    check_destination
    all_exist "$clips"/c0{5..8}.avi || fail "Delete Video deleted a source"
}

# Rename Video (F6) on the focused row, typing the new name into its prompt.
rename_focused() {  # new name
    press F6 || return 1
    if ! wait_for "$kShowLimit" find_dialog '^Rename Video$' || [[ -z $dialog_id ]]; then
        if dead "$win_pid"; then
            reap_window
            fail "the window ended ($win_status) on Rename Video instead of asking" \
                "for the name (its output window.$window_runs.log is shown at the end)"
        else
            fail "no Rename Video prompt within ${kShowLimit} s"
        fi
        return 1
    fi
    focus "$dialog_id" || { fail "the Rename Video prompt does not take the focus"; return 1; }
    # The old name is selected: typing replaces it.
    xdotool type --delay 60 "$1"
    xdotool key --clearmodifiers Return
    wait_for "$kGoneLimit" not_shown "$dialog_id" || fail "the Rename Video prompt stays open"
}

step_rename() {
    # The first row of the list.
    local rows=() inode
    mapfile -t rows < <(history_list)
    if ((${#rows[@]} == 0)) || [[ ! -e $dest/${rows[0]}.mp4 ]]; then
        fail "the list has no converted first row to rename (${rows[*]})"
        return
    fi
    local old=${rows[0]}
    inode=$(stat -c %i "$dest/$old.mp4")
    press ctrl+Home && rename_focused "renamed clip" || return
    if ! wait_for "$kHistoryLimit" exists "$dest/renamed clip.mp4"; then
        fail "no $dest/renamed clip.mp4 after the rename"
    else
        [[ $(stat -c %i "$dest/renamed clip.mp4") == "$inode" ]] ||
            fail "'renamed clip.mp4' is not the file that $old.mp4 was"
        expected["renamed clip.mp4"]=$clips/$old.avi
        unset "expected[$old.mp4]"
    fi
    missing "$dest/$old.mp4" || fail "$dest/$old.mp4 is still there"
    wait_for "$kHistoryLimit" in_history "Vidmill/renamed clip.mp4" ||
        fail "the history does not name the new name"
    check_destination
}

# Preview (Ctrl+P): a clip of the focused video made in the cache, and the
# player started on it.
preview_pid=""
preview_player() {
    local pid
    for pid in $(own_processes "$work" "$bin"); do
        if tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "/vidmill/preview/preview-"; then
            preview_pid=$pid
            return 0
        fi
    done
    return 1
}

step_preview() {
    ensure_window || return
    preview_pid=""
    press ctrl+Home ctrl+p || return
    if ! wait_for "$kConvertLimit" preview_player; then
        fail "no player on a preview within ${kConvertLimit} s"
        return
    fi
    local file length
    file=$(tr '\0' '\n' <"/proc/$preview_pid/cmdline" | grep "/preview-" | head -n 1)
    length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file" 2>/dev/null)
    # The clips are shorter than a preview: it is the whole clip, ten seconds at most.
    awk -v d="${length:-0}" 'BEGIN { exit !(d > 0.5 && d <= 10.25) }' ||
        fail "the preview $file lasts '${length}' s"
    end_processes "$preview_pid"
}

# A second start hands its file to the running window and ends at once.
second_start() {  # file
    local begun=$EPOCHREALTIME
    "$bin/vidmill" "$1" >"$logs/second.$window_runs.log" 2>&1 &
    local second=$!
    if ! wait_for "$kHandOverLimit" dead "$second"; then
        fail "the second start still runs after ${kHandOverLimit} s"
        second_pid=$second
        return 1
    fi
    wait "$second"
    local status=$?
    say "    second start ended after $(seconds_since "$begun") s with status $status"
    ((status == 0)) || fail "the second start ended with status $status, not 0"
    second_pid=""
}

# A second start that hung is waited for once its window has moved on.
finish_second_start() {
    [[ -n ${second_pid:-} ]] || return 0
    if wait_for "$kGoneLimit" dead "$second_pid"; then
        wait "$second_pid"
        say "    (the late second start ended with status $?)"
    else
        kill -9 "$second_pid" 2>/dev/null
        say "    (the second start was killed after ${kGoneLimit} s more)"
    fi
    second_pid=""
}

step_second_start_idle() {
    ensure_window || return
    second_start "$clips/c09.avi"
    answer '^Settings: 1 video to convert$' Return
    finish_second_start
    await_outputs "$clips/c09.avi"
    check_destination
}

step_reopen() {
    # The window saves the history within a few seconds of a change.
    wait_for "$kHistoryLimit" in_history clips/c09.avi || fail "the history does not name c09"
    close_window
    [[ -f $history ]] || fail "no history file after closing"
    local rows=() last
    mapfile -t rows < <(history_list)
    last=${rows[${#rows[@]} - 1]:-}
    start_window || return
    if [[ -z $last || ! -e $dest/$last.mp4 ]]; then
        fail "the list's last row has no converted file to delete (${rows[*]})"
        return
    fi
    # The list is back: its last row, focused at start, is a converted entry,
    # whose file Delete Video deletes.
    press F8 || return
    answer '^Vidmill$' Return || return
    if wait_for "$kHistoryLimit" missing "$dest/$last.mp4"; then
        unset "expected[$last.mp4]"
    else
        fail "Delete Video on the last row after reopening left $last.mp4: the list did not come back"
    fi
    wait_for "$kHistoryLimit" not_in_history "clips/$last.avi" ||
        fail "the history still names $last"
    local name
    for name in "${rows[@]:0:${#rows[@]}-1}"; do
        in_history "clips/$name.avi" || fail "the history lost $name's entry"
    done
    check_destination
}

step_stop_one() {
    close_window
    start_window "$clips/long1.avi" "$clips/long2.avi" || return
    answer '^Settings: 2 videos to convert$' Return || return
    local part1 part2
    part1=$(part_of long1.mp4)
    part2=$(part_of long2.mp4)
    if ! wait_for "$kShowLimit" all_exist "$part1" "$part2"; then
        fail "the two long conversions did not start: part files $(echo $(part_files))"
        return
    fi
    # long1 is the row above the last.
    press ctrl+End Up ctrl+t || return
    answer '^Vidmill$' Return || return
    wait_for "$kGoneLimit" missing "$part1" || fail "$part1 is still there after Stop"
    grows "$part2" || fail "long2's conversion does not go on after long1 was stopped"
    [[ -z $(final_files | grep '^long1') ]] || fail "a final long1 output is there: $(final_files)"
}

step_second_start_busy() {
    [[ -n $win_pid ]] && alive "$win_pid" || { fail "no window to hand over to"; return; }
    exists "$(part_of long2.mp4)" || fail "long2 is not converting"
    second_start "$clips/c10.avi"
    # It waits for the batch: nothing may be made of it yet.
    [[ ! -e $dest/c10.mp4 ]] || fail "c10 was converted during the batch"
}

step_stop_all() {
    local part2
    part2=$(part_of long2.mp4)
    press Escape || return
    answer '^Vidmill$' Return || return
    wait_for "$kGoneLimit" missing "$part2" || fail "$part2 is still there after Stop All"
    [[ -z $(final_files | grep '^long') ]] || fail "a final long output is there: $(final_files)"
    # Once the batch is over, the handed-over file is added and converted.
    answer '^Settings: 1 video to convert$' Return
    finish_second_start
    await_outputs "$clips/c10.avi"
    check_destination
}

# The window was started on a short clip and a long one: answers the
# settings and waits until the short one is converted and the long one under
# way.
convert_short_and_long() {  # short, long
    answer '^Settings: 2 videos to convert$' Return || return 1
    local part
    part=$(part_of "$2.mp4")
    expected[$1.mp4]=$clips/$1.avi
    if ! wait_for "$kConvertLimit" all_exist "$dest/$1.mp4" "$part"; then
        fail "$1 converted and $2 under way did not come: $(echo $(final_files) $(part_files))"
        return 1
    fi
    grows "$part" || fail "$2's conversion does not go on"
}

# Kills the window with kill -9 mid-conversion. With "alone" its converters
# must follow it; with "converters" they are killed with it, as a power cut
# would, and leave their part file for the next start to remove.
finished_sums=""
kill_window() {  # alone|converters, the long clip under way
    finished_sums=$(cd "$dest" && final_files | tr '\n' '\0' | xargs -0 md5sum)
    if [[ $1 == alone ]]; then
        kill -9 "$win_pid"
    else
        # Stopped first: a converter told of its window's death would still
        # clean up after itself in the moment before its own kill.
        local converters
        converters=$(own_processes "$work" "$bin" | grep -vx "$win_pid")
        [[ -z $converters ]] || kill -STOP $converters
        kill -9 "$win_pid" $converters
    fi
    wait_for "$kGoneLimit" dead "$win_pid"
    reap_window
    say "    window killed: $win_status"
    wait_for "$kGoneLimit" no_converters ||
        fail "converters outlive the killed window: pids $(echo $(own_processes "$work" "$bin"))"
    say "    part files left by the kill: $(echo $(part_files))"
    if [[ $1 == converters ]] && no_part_files; then
        fail "killing the converters too left no part file: the start after it is not put to the test"
    fi
    [[ -z $(final_files | grep "^$2") ]] || fail "a final $2 output is there: $(final_files)"
}

# The window has started again after a kill: no part file is left, nothing
# of the killed conversion is under a final name, the finished outputs are
# as they were.
check_after_kill() {  # the long clip that was under way
    wait_for "$kGoneLimit" no_part_files ||
        fail "part files left after reopening: $(echo $(part_files))"
    [[ -z $(final_files | grep "^$1") ]] || fail "a final $1 output is there: $(final_files)"
    (cd "$dest" && md5sum --quiet -c - <<<"$finished_sums") >/dev/null 2>&1 ||
        fail "the finished outputs changed:" \
            "$(cd "$dest" && md5sum --quiet -c - <<<"$finished_sums" 2>&1 | tr '\n' ' ')"
    check_destination
}

step_kill_window() {
    ensure_window && close_window
    start_window "$clips/c11.avi" "$clips/long3.avi" || return
    convert_short_and_long c11 long3 || return
    kill_window alone long3
    # Opened again on the next step's clips: their batch waits for its
    # settings meanwhile, so no part file of its own is there yet.
    start_window "$clips/c12.avi" "$clips/long4.avi" || return
    wait_for "$kShowLimit" find_dialog '^Settings: 2 videos to convert$' ||
        fail "no settings for the batch of the new start"
    check_after_kill long3
}

step_kill_all() {
    if [[ -z $win_pid ]] || dead "$win_pid" || ! find_dialog '^Settings: 2 videos to convert$'; then
        say "    (the window does not wait for this step's batch: starting it again)"
        ensure_window && close_window
        start_window "$clips/c12.avi" "$clips/long4.avi" || return
    fi
    convert_short_and_long c12 long4 || return
    kill_window converters long4
    start_window || return
    check_after_kill long4
    close_window
}

# Closed, the window is given a watched folder holding a video, and Keep
# Folder Structure. The tip of the day stays open while the video is converted.
step_watch_under_tip() {
    [[ -n $win_pid ]] && alive "$win_pid" && close_window
    mkdir -p "$work/watched" "$work/tree/sub1"
    cp "$clips/c01.avi" "$work/watched/w01.avi"
    cp "$clips/c02.avi" "$work/tree/sub1/x_one.avi"
    printf '[adding]\nkeepFolderStructure=true\n[watch]\nfolders=%s\n' "$work/watched" \
        >"$XDG_CONFIG_HOME/vidmill/window.ini"
    start_window --keep-tip || return
    wait_for "$kShowLimit" find_dialog '^Tip of the Day$' || { fail "no tip of the day"; return; }
    local tip=$dialog_id
    await_outputs "$work/watched/w01.avi"
    windows_of "$win_pid" '^Tip of the Day$' | grep -qx "$tip" || fail "the tip of the day closed"
    check_destination
    answer '^Tip of the Day$' Escape
}

# A video in a subfolder of the destination is renamed there.
step_rename_in_subfolder() {
    local file=$dest/sub1/x_one.mp4 inode
    second_start "$work/tree" && answer '^Settings: 1 video to convert$' Return || return
    wait_for "$kConvertLimit" exists "$file" || { fail "$file was not made"; return; }
    inode=$(stat -c %i "$file")
    press ctrl+End && rename_focused "renamed one" || return
    wait_for "$kHistoryLimit" exists "$dest/sub1/renamed one.mp4" || fail "no sub1/renamed one.mp4"
    [[ $(stat -c %i "$dest/sub1/renamed one.mp4" 2>/dev/null) == "$inode" && ! -e $file ]] ||
        fail "sub1/renamed one.mp4 is not the file x_one.mp4 was: $(ls -R "$dest" | tr '\n' ' ')"
    close_window
}

sources_before=$(cd "$clips" && md5sum -- *)

run_step 1 "start with eight clips on the command line" step_start_with_clips
run_step 2 "select three rows and Remove them (Del)" step_remove_entries
run_step 3a "Delete Video (F8) right after the Remove: the focused row alone" step_delete_focused
run_step 3b "Delete Video (F8) on two selected rows" step_delete_selection
run_step 4 "Rename Video (F6)" step_rename
run_step 4b "Preview (Ctrl+P) plays a clip made with the settings" step_preview
run_step 6a "a second start while the window is idle" step_second_start_idle
run_step 7 "close the window and reopen it" step_reopen
run_step 5a "Stop (Ctrl+T) one of two long conversions" step_stop_one
run_step 6b "a second start while the window converts" step_second_start_busy
run_step 5b "Stop All (Esc)" step_stop_all
run_step 8a "kill -9 the window mid-conversion and reopen it" step_kill_window
run_step 8b "kill -9 the window and its converters mid-conversion and reopen it" step_kill_all
run_step 9a "a watched folder's video is converted under the tip of the day" step_watch_under_tip
run_step 9b "Rename Video keeps a file in its subfolder" step_rename_in_subfolder

(cd "$clips" && md5sum --quiet -c - <<<"$sources_before") >/dev/null 2>&1 ||
    { say "a source clip was changed or deleted"; failed_steps=$((failed_steps + 1)); }

if ((failed_steps > 0)); then
    for log in "$logs"/window.*.log "$logs"/second.*.log; do
        [[ -s $log ]] || continue
        say "--- the last lines of ${log##*/}:"
        tail -n 15 "$log"
    done
    say "$failed_steps step(s) FAILED"
    exit 1
fi
say "every step passed"
