# Sourced by scripts/test and fuzz.sh: configures build-asan/, the tree of
# the unit tests under ASan+UBSan and of the libFuzzer targets, with clang.
# Both configure it alike, so neither rebuilds what the other built.

configure_asan_tree() {  # root
    local dir=$1/build-asan
    # A tree configured with another compiler is configured afresh.
    if [[ -f $dir/CMakeCache.txt ]] &&
        ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang++' "$dir/CMakeCache.txt"; then
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    CC=clang CXX=clang++ cmake -S "$1" -B "$dir" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Debug \
        -DVIDMILL_SANITIZE=address -DVIDMILL_FUZZ=ON >/dev/null
}
