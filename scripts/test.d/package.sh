#!/usr/bin/env bash
# Builds the Debian package as the README's recipe does (a RelWithDebInfo
# tree without tests, `cpack -G DEB`, which strips the programs), in
# build-package/, and checks it: lintian finds nothing to warn of, it holds
# the programs, their manual pages (each listing every option of its
# program's --help), the copyright file, the changelog and the bash
# completion, and the completion works in a real bash. Compiles through ccache as the other trees do; its
# flags are build/'s and it lies at the same depth, so after scripts/test has
# built build/, it compiles nothing and only links.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
jobs=${JOBS:-2}
started=$SECONDS

failures=0
fail() {
    echo "package: $*" >&2
    failures=$((failures + 1))
}

# Run alone, it compiles through ccache as scripts/test does.
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi

mkdir -p build
scratch=$(mktemp -d "$PWD/build/package-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
tree=$PWD/build-package
version=$(sed -nE 's/^project\(Vidmill VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
deb=$tree/vidmill_${version}_$(dpkg --print-architecture).deb

cmake -S . -B "$tree" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIDMILL_TESTS=OFF >/dev/null
cmake --build "$tree" -j"$jobs" >"$scratch/build.log" 2>&1 || {
    tail -n 40 "$scratch/build.log" >&2
    fail "the package tree does not build"
    exit 1
}
echo "package: compiled in $((SECONDS - started)) s"
# The package of an earlier run is not taken for this one's.
rm -f "$deb"
(cd "$tree" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log" >&2
    fail "cpack failed"
    exit 1
}
[[ -f $deb ]] || {
    fail "no $(basename "$deb") was made"
    exit 1
}

# --- lintian: no error, no warning -----------------------------------------
# (It tells root that it would rather not run as root; that is not a finding.)
lintian "$deb" 2>/dev/null >"$scratch/lintian.log" || true
if grep -E '^[EW]: ' "$scratch/lintian.log" >&2; then
    fail "lintian has errors or warnings (above)"
fi

# --- what the package holds ------------------------------------------------
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$scratch/files"
programs=(vidmill vidmill-cli vidmill-convert vidmill-play)
expected=(/usr/share/doc/vidmill/copyright /usr/share/doc/vidmill/changelog.gz
    /usr/share/bash-completion/completions/vidmill-cli)
for program in "${programs[@]}"; do
    expected+=("/usr/bin/$program" "/usr/share/man/man1/$program.1.gz")
done
for file in "${expected[@]}"; do
    grep -qxF "$file" "$scratch/files" || fail "the package lacks $file"
done

unpacked=$scratch/root
dpkg-deb -x "$deb" "$unpacked"
doc=$unpacked/usr/share/doc/vidmill
[[ $(zcat "$doc/changelog.gz" | sed -nE '1s/^vidmill \(([^)]*)\).*/\1/p') == "$version" ]] ||
    fail "the changelog's newest entry is not version $version"
grep -q '^License: GPL-3+$' "$doc/copyright" || fail "the copyright file names no GPL-3+"

# Each manual page lists every option that its program's --help lists.
for program in "${programs[@]}"; do
    help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$unpacked/usr/bin/$program" --help) ||
        fail "$program --help failed"
    page=$(LC_ALL=C MANWIDTH=200 man -P cat -l "$unpacked/usr/share/man/man1/$program.1.gz" 2>&1) ||
        fail "man cannot show the page of $program"
    options=$(grep -oE '^ +-{1,2}[a-zA-Z][a-zA-Z0-9-]*' <<<"$help" | tr -d ' ' | sort -u)
    [[ $(wc -l <<<"$options") -ge 4 ]] || fail "$program --help lists only: $options"
    for option in $options; do
        grep -qE -- "(^|[^a-zA-Z0-9-])$option([^a-zA-Z0-9-]|$)" <<<"$page" ||
            fail "the manual page of $program lacks $option"
    done
done

# --- the completion, in a real bash ----------------------------------------
complete_words() {  # the words of the command line; the last is being completed
    PATH=$unpacked/usr/bin:$PATH bash --norc --noprofile -c '
        source /usr/share/bash-completion/bash_completion
        source "$0"
        COMP_WORDS=("$@")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        complete -p vidmill-cli >/dev/null || exit 1
        _vidmill_cli vidmill-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"' \
        "$unpacked/usr/share/bash-completion/completions/vidmill-cli" "$@"
}
expect_completion() {  # expected lines, then the words
    local expected=$1 got
    shift
    got=$(complete_words "$@" | sort | tr '\n' ' ')
    [[ $got == "$expected" ]] || fail "completing '$*' gives '$got', not '$expected'"
}
touch "$scratch/clip.avi"
mkdir "$scratch/folder"
expect_completion "--preset " vidmill-cli --pre
expect_completion "auto off " vidmill-cli --crop ""
expect_completion "auto off on " vidmill-cli --deinterlace ""
expect_completion "1 2 original " vidmill-cli --channels ""
expect_completion "5090 " vidmill-cli --preset 509
expect_completion "$scratch/folder " vidmill-cli --dest "$scratch/fo"
expect_completion "$scratch/clip.avi " vidmill-cli --json "$scratch/cl"
expect_completion "$scratch/clip.avi " vidmill-cli --crop auto -- "$scratch/cl"
# Several formats are listed with their names.
# (Read whole first: grep -q would stop reading at the match, and under
# pipefail the completion's SIGPIPE on the lines after it would fail the check.)
grep -qxF '110  PSP H264 Video (*.mp4)' <<<"$(complete_words vidmill-cli --preset 11)" ||
    fail "the formats are not offered with their names"

if ((failures > 0)); then
    echo "package: $failures check(s) failed" >&2
    exit 1
fi
echo "package: $(basename "$deb") passes lintian and holds the pages, the copyright," \
    "the changelog and a working completion ($((SECONDS - started)) s)"
