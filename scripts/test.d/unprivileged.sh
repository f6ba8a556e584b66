#!/usr/bin/env bash
# Runs again, as an unprivileged user (nobody), the tests that check
# something else when they run as root: unreadable files and folders, folders
# that take no changes, priorities that cannot be raised again. The test
# command runs as root, where those checks take root's branch or are skipped;
# here the other branch runs. Uses the plain build in build/; needs no network.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
build=$root/build
readonly kUser=65534  # nobody

if [[ $(id -u) -ne 0 ]]; then
    echo "unprivileged.sh: not root: the plain run already took the unprivileged branches"
    exit 0
fi
command -v setpriv >/dev/null || { echo "unprivileged.sh: setpriv (util-linux) is missing"; exit 1; }

# A test program, and its tests whose checks depend on the privilege.
suites=(
    "system_tests FileSizeTest.WhatCannotBeReadGivesZeroOrMinusOne"
    "process_tests ConverterRunnerTest.RunsEveryThreadOfTheConverterAtTheChosenPriority:ProgressChannelOpenTest.SweepsTheBlocksOfProcessesThatNoLongerRun"
    "engine_tests FolderWalkTest.UnreadableFoldersAndFilesAreReported:HistoryFileTest.AnEarlierDamagedCopyIsNeverReplaced:EngineTest.ADestinationRemovedSinceItWasChosenIsMadeAgain:EnginePathsTest.ADeletionThatFailsInARemovalKeepsItsEntryAndSaysWhy:PublishWithoutLinksTest.*"
    "converter_tests BadInput.AnOutputThatCannotBeWrittenIsAFailure"
)

opened=()  # folders that were given search permission for others here
cleanup() {
    local folder
    for folder in "${opened[@]}"; do
        chmod o-x "$folder" || true
    done
    rm -rf "$scratch"
}

as_nobody() {
    setpriv --reuid="$kUser" --regid="$kUser" --clear-groups \
        env -i PATH="$PATH" HOME="$scratch" TMPDIR="$scratch" LANG=C.UTF-8 "$@"
}

# The build must be reachable by nobody: each folder on the way gets search
# permission for others while this runs, when it lacks it.
folder=$build/bin
while [[ $folder != / ]]; do
    if [[ $(stat -c %A "$folder") != *x ]]; then
        chmod o+x "$folder"
        opened+=("$folder")
    fi
    folder=$(dirname "$folder")
done

# The scratch folder lies in the build tree, whose way is open to nobody now;
# /tmp itself may be closed to other users on some machines.
scratch=$(mktemp -d "$build/unprivileged.XXXXXX")
trap cleanup EXIT
chown "$kUser:$kUser" "$scratch"
chmod 700 "$scratch"

status=0
for suite in "${suites[@]}"; do
    program=${suite%% *}
    filter=${suite#* }
    binary=$build/bin/$program
    if [[ ! -x $binary ]]; then
        echo "unprivileged.sh: $program was not built here; its tests are left out"
        continue
    fi
    # A test renamed or gone must not leave the run checking nothing.
    for pattern in ${filter//:/ }; do
        if ! "$binary" --gtest_list_tests --gtest_filter="$pattern" | grep -q '^  '; then
            echo "unprivileged.sh: $program has no test $pattern"
            status=1
        fi
    done
    if [[ $program == converter_tests ]]; then
        # The media these tests share are made once per build tree, where
        # nobody may not write: made now, as the plain run makes them.
        "$binary" --gtest_filter="$filter" --gtest_brief=1 >/dev/null || true
    fi
    echo "== $program as nobody: $filter"
    if ! as_nobody timeout --kill-after=30 900 "$binary" --gtest_filter="$filter" --gtest_brief=1; then
        echo "== $program as nobody: FAILED"
        status=1
    fi
done
exit $status
