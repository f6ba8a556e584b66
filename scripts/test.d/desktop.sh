#!/usr/bin/env bash
# Checks the desktop install: validates the menu entry, the metainfo, the
# icon and the manual, installs build/ into a scratch prefix with
# `cmake --install`, and checks that exactly the four programs and the
# desktop files land there and that the installed vidmill-cli converts a clip
# with the installed converter.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$root"
jobs=${JOBS:-2}

failures=0
fail() {
    echo "desktop: $*" >&2
    failures=$((failures + 1))
}

desktop=packaging/vidmill.desktop
metainfo=packaging/org.vidmill.vidmill.metainfo.xml
icon=packaging/vidmill.svg

# --- the files as written ---------------------------------------------------
desktop-file-validate "$desktop" || fail "$desktop does not validate"
appstreamcli validate --no-net "$metainfo" || fail "$metainfo does not validate"
xmllint --noout "$icon" || fail "$icon is not well-formed"
[[ $(xmllint --xpath 'local-name(/*)' "$icon") == svg ]] || fail "$icon is not an SVG image"

# The newest release named in the metainfo is the version being built.
version=$(sed -nE 's/^project\(Vidmill VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
released=$(xmllint --xpath 'string(/component/releases/release[1]/@version)' "$metainfo")
[[ -n $version && $released == "$version" ]] ||
    fail "newest release in $metainfo is '$released', the project is at '$version'"

# Every extension that the program takes and the desktop has a type for is
# offered in "Open with": one of its types is in the entry's MimeType list.
# Every listed type is one the desktop knows (a name or an alias).
mime=/usr/share/mime
extensions=$(sed -n '/kAllSupportedExtensions =/,/;/p' src/engine/adding/video_files.h |
    grep -o '"[^"]*"' | tr -d '"' | tr ' ' '\n' | sed '/^$/d')
[[ $(wc -l <<<"$extensions") -ge 30 ]] || fail "could not read the supported extensions"
listed=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n' | sed '/^$/d')
for type in $listed; do
    grep -qxF "$type" "$mime/types" || grep -q "^$type " "$mime/aliases" ||
        fail "MimeType $type is not a known type"
done
for extension in $extensions; do
    known=$(grep -i ":\*\.$extension\$" "$mime/globs2" | cut -d: -f2 | sort -u || true)
    [[ -z $known ]] && continue
    grep -qxF -f <(printf '%s\n' "$known") <(printf '%s\n' "$listed") ||
        fail "no MimeType for .$extension (one of: $(echo $known))"
done

# The manual: well-formed pages, every local link and anchor leads somewhere,
# nothing loaded from elsewhere, no scripts.
manual=docs/manual
[[ -f $manual/index.html ]] || fail "$manual/index.html is missing"
for page in "$manual"/*.html; do
    xmllint --noout "$page" || fail "$page is not well-formed"
    if grep -qiE '<script|(src|href)="(https?:)?//' "$page"; then
        fail "$page loads something from elsewhere or holds a script"
    fi
    for target in $(grep -oE '(href|src)="[^"]*"' "$page" | sed -E 's/^[a-z]+="(.*)"$/\1/'); do
        file=${target%%#*}
        anchor=${target#"$file"}
        anchor=${anchor#\#}
        [[ -n $file ]] || file=$(basename "$page")
        if [[ ! -f $manual/$file ]]; then
            fail "$page links to $target: no such file"
        elif [[ -n $anchor ]] && ! grep -q "id=\"$anchor\"" "$manual/$file"; then
            fail "$page links to $target: no such anchor"
        fi
    done
done

# --- a real install ---------------------------------------------------------
# Configured as scripts/test configures build/, so nothing is rebuilt there.
cmake -S . -B build -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target vidmill vidmill-cli vidmill-convert vidmill-play man_pages changelog
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/usr
cmake --install build --prefix "$prefix" >/dev/null

programs=$(cd "$prefix/bin" && ls | sort | tr '\n' ' ')
[[ $programs == "vidmill vidmill-cli vidmill-convert vidmill-play " ]] ||
    fail "bin/ holds '$programs', not exactly the four programs"
for file in share/applications/vidmill.desktop share/metainfo/org.vidmill.vidmill.metainfo.xml \
    share/icons/hicolor/scalable/apps/vidmill.svg share/doc/vidmill/manual/index.html \
    share/doc/vidmill/manual/style.css; do
    [[ -s $prefix/$file ]] || fail "$file was not installed"
done
# The window looks for the manual beside its own folder.
[[ -f $prefix/bin/../share/doc/vidmill/manual/index.html ]] || fail "the window would not find the manual"
desktop-file-validate "$prefix/share/applications/vidmill.desktop" ||
    fail "the installed desktop entry does not validate"
appstreamcli validate-tree --no-net "$scratch" || fail "the installed tree does not validate"

got=$("$prefix/bin/vidmill-cli" --version) || fail "the installed vidmill-cli --version failed"
[[ ${got%%$'\n'*} == "vidmill-cli $version" ]] || fail "vidmill-cli --version says '$got'"

# The manual's copy of the terminal program's help is the program's own.
help=$(sed -n '/<pre id="help"><code>/,/<\/code><\/pre>/p' "$prefix/share/doc/vidmill/manual/cli.html" |
    sed -e 's/.*<pre id="help"><code>//' -e 's/<\/code><\/pre>.*//' \
        -e 's/&lt;/</g' -e 's/&gt;/>/g' -e 's/&quot;/"/g' -e "s/&#x27;/'/g" -e 's/&amp;/\&/g')
diff <(printf '%s\n' "$help") <("$prefix/bin/vidmill-cli" --help) >&2 ||
    fail "the copy of vidmill-cli --help in docs/manual/cli.html (<pre id=\"help\">) differs" \
        "from the program's (diff above: < manual, > program)"

# The installed programs find each other: a one-second clip converts with the
# installed converter.
ffmpeg -v error -f lavfi -i testsrc=duration=1:size=160x120:rate=25 \
    -f lavfi -i sine=frequency=440:duration=1 -c:v mpeg4 -c:a mp2 -shortest "$scratch/clip.avi"
if "$prefix/bin/vidmill-cli" --dest "$scratch/out" "$scratch/clip.avi" >"$scratch/cli.log" 2>&1; then
    [[ -s $scratch/out/clip.mp4 ]] || fail "the installed vidmill-cli wrote no clip.mp4"
else
    cat "$scratch/cli.log" >&2
    fail "the installed vidmill-cli could not convert a clip"
fi

if ((failures > 0)); then
    echo "desktop: $failures check(s) failed" >&2
    exit 1
fi
echo "desktop: the desktop files validate, the install holds the four programs and converts"
