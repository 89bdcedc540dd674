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

# Fails when a C++ source of src, tests, bench or fuzz is not as clang-format writes it.
check_format() {
    ensure_packages clang-format
    echo "== clang-format"
    local sources
    mapfile -t sources < <(cd "$ROOT" && find src tests bench fuzz -name '*.h' -o -name '*.cpp')
    (cd "$ROOT" && clang-format --dry-run -Werror "${sources[@]}")
}
