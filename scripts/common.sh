# Shared by the scripts: project paths, package check and the Release build into build/.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
JOBS=${JOBS:-2}  # the machines are shared: two unless the environment says otherwise

# Installs the given packages with apt-get (only possible as root; anyone else is told what to
# install and the script ends). Nothing to do without arguments.
install_packages() {
    [ $# -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: $*; install them (as root: apt-get install $*)" >&2
        exit 1
    fi
    echo "Installing $* ..." >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "$@" >&2 || exit 1
}

# Installs the build packages when a tool or header is missing; extra arguments name further
# commands that are also their packages' names.
ensure_packages() {
    local missing=()
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    command -v make >/dev/null 2>&1 || missing+=(make)
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    for extra in "$@"; do
        command -v "$extra" >/dev/null 2>&1 || missing+=("$extra")
    done
    install_packages "${missing[@]}"
}

# Configures and builds build/ (Release); extra arguments are passed to the build step.
build_release() {
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BUILD" -j"$JOBS" "$@"
}

# Fails when a C or C++ source of src, include, tests, bench, fuzz or examples is not as
# clang-format writes it.
check_format() {
    ensure_packages clang-format
    echo "== clang-format"
    local sources
    mapfile -t sources < <(cd "$ROOT" && find src include tests bench fuzz examples -name '*.h' -o -name '*.cpp' -o -name '*.c')
    (cd "$ROOT" && clang-format --dry-run -Werror "${sources[@]}")
}

# Fails when a file of src/ includes from a folder above its own: the layers are foundation, then
# wave and entropy, then residual, then prediction, then frontend, then api (the C interface), then
# gstreamer (the plugin, which includes only the public header <elq/elq.h>) (src/README.md).
check_layers() {
    echo "== layering"
    local -A rank=([foundation]=0 [wave]=1 [entropy]=1 [residual]=2 [prediction]=3 [frontend]=4 [api]=5
        [gstreamer]=6)
    local file folder included bad=0
    while IFS= read -r file; do
        folder="${file#src/}"
        folder="${folder%%/*}"
        while IFS= read -r included; do
            [ -n "${rank[$included]+set}" ] || continue
            if [ "${rank[$included]}" -gt "${rank[$folder]}" ] ||
                { [ "${rank[$included]}" -eq "${rank[$folder]}" ] && [ "$included" != "$folder" ]; }; then
                echo "$file includes from $included/" >&2
                bad=1
            fi
        done < <(sed -n 's/^#include "\([a-z_]*\)\/.*/\1/p' "$ROOT/$file")
    done < <(cd "$ROOT" && find src -name '*.h' -o -name '*.cpp' -o -name '*.c')
    # The plugin is a user of the library like any other: its header and nothing inside.
    if grep -n '#include "' "$ROOT"/src/gstreamer/*.c; then
        echo "src/gstreamer includes from inside the library" >&2
        bad=1
    fi
    return "$bad"
}
