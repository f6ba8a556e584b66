#!/usr/bin/env bash
# Every program answers --help and --version on standard output with status
# 0, without a display and so without a window, and refuses an unknown
# option with a usage error (status 2) on standard error.
#   command_lines_test.sh VERSION PROGRAM...
set -uo pipefail
version=$1
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Runs PROGRAM ARGS... with no display and no session bus; a window that
# started would keep it running, so a generous limit ends it as a failure.
run() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS \
        HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" \
        timeout 120 "$@" >"$scratch/out" 2>"$scratch/err" </dev/null
    status=$?
}

for program in "$@"; do
    name=$(basename "$program")
    run "$program" --help
    [[ $status == 0 && ! -s $scratch/err ]] ||
        fail "$name --help: status $status, stderr: $(cat "$scratch/err")"
    grep -q "^Usage: $name " "$scratch/out" || fail "$name --help prints no usage line"
    grep -q -- "--version" "$scratch/out" || fail "$name --help does not list --version"

    run "$program" --version
    [[ $status == 0 && ! -s $scratch/err ]] ||
        fail "$name --version: status $status, stderr: $(cat "$scratch/err")"
    [[ $(head -n 1 "$scratch/out") == "$name $version" ]] ||
        fail "$name --version begins '$(head -n 1 "$scratch/out")', not '$name $version'"
    grep -q "^License GPL-3.0-or-later: " "$scratch/out" || fail "$name --version names no licence"

    run "$program" --no-such-option clip.avi
    [[ $status == 2 && ! -s $scratch/out ]] || fail "$name --no-such-option: status $status"
    grep -q -- "--no-such-option" "$scratch/err" ||
        fail "$name --no-such-option does not name the option: $(cat "$scratch/err")"
done
((failures == 0))
